#include "reportcommand.h"

#include "common/failure.h"
#include "playlog/playreport.h"
#include "settings/settings.h"

#include <QCommandLineParser>

#include <cstdio>

namespace quaverlink {
namespace {

// A day, from its first second, or a moment to the second.
std::optional<QDateTime> parseMoment(const QString &text, bool endOfDay)
{
    const QDate day = QDate::fromString(text, Qt::ISODate);
    if (day.isValid()) {
        return QDateTime(endOfDay ? day.addDays(1) : day, QTime(0, 0));
    }
    QDateTime moment = QDateTime::fromString(text, u"yyyy-MM-dd HH:mm:ss"_qs);
    if (!moment.isValid()) {
        moment = QDateTime::fromString(text, Qt::ISODate);
    }
    // Up to the second named, and that second too.
    return moment.isValid() ? std::optional(endOfDay ? moment.addSecs(1) : moment) : std::nullopt;
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
    const QCommandLineOption from(u"from"_qs, u"The first day (YYYY-MM-DD) or moment (YYYY-MM-DD HH:MM:SS)."_qs,
                                  u"DATE"_qs);
    const QCommandLineOption to(u"to"_qs, u"The last day, or moment, included."_qs, u"DATE"_qs);
    const QCommandLineOption format(u"format"_qs, u"csv, the only format so far."_qs, u"FORMAT"_qs, u"csv"_qs);
    const QCommandLineOption help({u"h"_qs, u"help"_qs}, u"Show this help and exit."_qs);
    parser.addOptions({from, to, format, help});
    if (!parser.parse(arguments)) {
        return usageError(parser.errorText());
    }
    if (parser.isSet(help)) {
        std::printf("Usage: quaverlink report --from DATE --to DATE [--format csv]\n\n"
                    "Writes one line per play with the columns a royalty report asks for, in on-air order,\n"
                    "read from the play history with the login in Quaverlink.ini (SELECT on Metadata and\n"
                    "PlayDetails).\n\n%s",
                    qPrintable(parser.helpText().section(u"\n\n"_qs, -1)));
        return 0;
    }
    const std::optional<QDateTime> first = parseMoment(parser.value(from), false);
    const std::optional<QDateTime> last = parseMoment(parser.value(to), true);
    if (!first || !last) {
        return usageError(u"--from and --to take a date, YYYY-MM-DD, or a moment, YYYY-MM-DD HH:MM:SS"_qs);
    }
    if (parser.value(format).compare(u"csv"_qs, Qt::CaseInsensitive) != 0) {
        return usageError(u"--format %1: only csv is known"_qs.arg(parser.value(format)));
    }
    const StationSettings settings = StationSettings::read(folder);
    try {
        QByteArray out = csvLine(kReportColumns);
        readPlays({settings.dbUser, settings.dbPassword, settings.dbServer}, *first, *last,
                  [&](const QStringList &values) {
                      out += csvLine(values);
                      if (out.size() > 64 * 1024) {
                          std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
                          out.clear();
                      }
                  });
        std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    } catch (const Failure &failure) {
        std::fprintf(stderr, "quaverlink report: %s\n", qPrintable(failure.describe()));
        return 1;
    }
}

} // namespace quaverlink
