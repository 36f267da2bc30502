#include "reportcommand.h"

#include "common/failure.h"
#include "common/literals.h"
#include "playlog/odbc.h"
#include "playlog/playreport.h"
#include "settings/settings.h"

#include <QCommandLineParser>

#include <cstdio>

namespace quaverlink {
namespace {

// A day (YYYY-MM-DD), from its first second, or a moment to the minute or
// the second; nothing for anything else, or for a year the server's
// DATETIME cannot hold.
std::optional<QDateTime> parseMoment(const QString &text, bool endOfDay)
{
    QDateTime moment;
    qint64 span = 0; // what the last one named covers, in seconds
    if (text.size() == 10) {
        moment = QDateTime(QDate::fromString(text, u"yyyy-MM-dd"_s), QTime(0, 0));
        span = 24 * 3600;
    }
    for (const auto &[format, seconds] :
         {std::pair(u"yyyy-MM-dd HH:mm:ss"_s, 1), std::pair(u"yyyy-MM-dd HH:mm"_s, 60),
          std::pair(u"yyyy-MM-ddTHH:mm:ss"_s, 1), std::pair(u"yyyy-MM-ddTHH:mm"_s, 60)}) {
        if (!moment.isValid()) {
            moment = QDateTime::fromString(text, format);
            span = seconds;
        }
    }
    if (!moment.isValid() || moment.date().year() < 1000 || moment.date().year() > 9999) {
        return std::nullopt;
    }
    // Up to the end of what was named, that day, minute or second too; no
    // later than the server's last moment.
    if (endOfDay) {
        const QDateTime last(QDate(9999, 12, 31), QTime(23, 59, 59));
        moment = qMin(moment.addSecs(span), last);
    }
    return moment;
}

int usageError(const QString &message)
{
    std::fprintf(stderr, "quaverlink report: %s (see quaverlink report --help)\n", qPrintable(message));
    return 2;
}

} // namespace

int runReport(const QStringList &arguments, const QByteArray &folder)
{
    QCommandLineParser parser;
    const QCommandLineOption from(u"from"_s, u"The first day (YYYY-MM-DD) or moment (YYYY-MM-DD HH:MM[:SS])."_s,
                                  u"DATE"_s);
    const QCommandLineOption to(u"to"_s, u"The last day, or moment, included."_s, u"DATE"_s);
    const QCommandLineOption format(u"format"_s, u"csv (one line a play), or soundexchange (a census Report of Use)."_s,
                                    u"FORMAT"_s, u"csv"_s);
    const QCommandLineOption station(u"station"_s,
                                     u"Only this station's plays, from a history several stations share."_s, u"NAME"_s);
    const QCommandLineOption help({u"h"_s, u"help"_s}, u"Show this help and exit."_s);
    parser.addOptions({from, to, format, station, help});
    if (!parser.parse(arguments)) {
        return usageError(parser.errorText());
    }
    if (parser.isSet(help)) {
        std::printf("Usage: quaverlink report --from DATE --to DATE [--station NAME] [--format csv|soundexchange]\n\n"
                    "Writes one line per play with the columns a royalty report asks for, in on-air order,\n"
                    "read from the play history with the login in Quaverlink.ini (SELECT on Metadata,\n"
                    "PlayDetails and, with --station, StationPlays).\n\n%s",
                    qPrintable(parser.helpText().section(u"\n\n"_s, -1)));
        return 0;
    }
    const std::optional<QDateTime> first = parseMoment(parser.value(from), false);
    const std::optional<QDateTime> last = parseMoment(parser.value(to), true);
    if (!first || !last) {
        return usageError(u"--from and --to take a date, YYYY-MM-DD, or a moment, YYYY-MM-DD HH:MM[:SS], in the"
                          " years 1000 to 9999"_s);
    }
    if (*first >= *last) {
        return usageError(u"--to is before --from"_s);
    }
    const bool soundExchange = parser.value(format).compare(u"soundexchange"_s, Qt::CaseInsensitive) == 0;
    if (!soundExchange && parser.value(format).compare(u"csv"_s, Qt::CaseInsensitive) != 0) {
        return usageError(u"--format %1: csv and soundexchange are known"_s.arg(parser.value(format)));
    }
    if (parser.isSet(station) && trimBlanks(parser.value(station)).isEmpty()) {
        return usageError(u"--station takes a station's name"_s);
    }
    const StationSettings settings = StationSettings::read(folder);
    const QString service = trimBlanks(settings.file.newValue(u"Report"_s, u"Service"_s).value_or(QString()));
    const QString category = trimBlanks(settings.file.newValue(u"Report"_s, u"Category"_s).value_or(QString()));
    if (soundExchange && (service.isEmpty() || category.isEmpty())) {
        return usageError(u"--format soundexchange needs [Report] Service and Category in Quaverlink.ini"_s);
    }
    const std::optional<QStringList> servers
        = settings.dbServers ? serverTexts(*settings.dbServers) : QStringList {settings.dbServer};
    if (!servers || servers->isEmpty()) {
        return usageError(u"[Database] Servers is not a list of HOST[:PORT]"_s);
    }
    // Music only: the groups [Report] names, else those the PAD feed
    // follows; a play whose group nobody told is left out then, and counted.
    // The idle text is never a play of a report.
    const QStringList groups = toList(settings.file.newValue(u"Report"_s, u"Groups"_s)
                                          .value_or(settings.file.newValue(u"PAD"_s, u"Groups"_s).value_or(QString())));
    qint64 unknownGroup = 0;
    ReportFormatter formatter;
    SoundExchangeReport recordings;
    const auto isReported = [&](const ReportedPlay &play) {
        if (play.text == settings.idleText) {
            return false;
        }
        if (groups.isEmpty()) {
            return true;
        }
        if (play.group.isNull()) {
            ++unknownGroup;
            return false;
        }
        return groups.contains(play.group, Qt::CaseInsensitive);
    };
    // A server that cannot be reached, or has left its cluster, passes the
    // report on to the next, as long as nothing has been written yet.
    bool written = false;
    for (const QString &server : *servers) {
        try {
            QByteArray out;
            appendCsvLine(out, kReportColumns);
            unknownGroup = 0;
            readPlays({settings.dbUser, settings.dbPassword, server}, *first, *last, trimBlanks(parser.value(station)),
                      [&](const ReportedPlay &play) {
                          if (!isReported(play)) {
                              return;
                          }
                          if (soundExchange) {
                              recordings.add(play);
                              return;
                          }
                          appendCsvLine(out, formatter.values(play));
                          if (out.size() > 64 * 1024) {
                              written = true;
                              std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
                              out.truncate(0);
                          }
                      });
            if (soundExchange) {
                out = recordings.text(service, category);
                for (const QString &play : recordings.uncounted()) {
                    std::fprintf(stderr, "quaverlink report: listeners unknown: %s\n", qPrintable(play));
                }
            }
            std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
            if (unknownGroup > 0) {
                std::fprintf(stderr,
                             "quaverlink report: %lld plays of no known group (datagrams the PAD feed never told"
                             " of) are left out: only the groups %s are reported\n",
                             static_cast<long long>(unknownGroup), qPrintable(groups.join(u", "_s)));
            }
            return std::fflush(stdout) == 0 ? 0 : 1;
        } catch (const odbc::Error &error) {
            std::fprintf(stderr, "quaverlink report: %s\n", qPrintable(error.describe()));
            if (written || refusalOf(error) != Refusal::None || &server == &servers->constLast()) {
                return 1;
            }
        }
    }
    return 1;
}

} // namespace quaverlink
