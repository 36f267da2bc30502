#include "playreport.h"

#include "common/duration.h"
#include "common/literals.h"
#include "odbc.h"
#include "playrecord.h"

#include <QStringEncoder>

#include <array>
#include <future>
#include <memory>

namespace quaverlink {
namespace {

// A play's details are the PlayDetails row stored with it: the same time and
// text. Metadata's columns are named as the station named them (%1 to %4:
// text, time, artist, title); %5 orders the rows of one second, where the
// table has our invisible play_id. %6 is a play's listeners (kListeners,
// where the table PlayListeners is there). Each form is read in the order
// of an index, and the two are merged as they are read: sorting their
// union took the server longer than both queries together.
const QString kMetadataPlays = uR"(
SELECT m.%2, COALESCE(d.artist, m.%3), COALESCE(d.title, m.%4), d.album, d.label, d.isrc,
       d.length_ms, d.composer, d.publisher, d.group_name, d.cart, d.machine, m.%1, %6
  FROM Metadata m
  LEFT JOIN PlayDetails d ON d.played_at = m.%2 AND d.full_text = m.%1
 WHERE m.%2 >= ? AND m.%2 < ?
 ORDER BY m.%2, %5)"_s;

const QString kMetadataOnly = uR"(
SELECT %2, %3, %4, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, %1, %6
  FROM Metadata m WHERE %2 >= ? AND %2 < ? ORDER BY %2, %5)"_s;

// A play from the PAD feed whose text held no dash has only its PlayDetails
// row; %3 is its listeners.
const QString kDetailsOnlyPlays = uR"(
SELECT d.played_at, d.artist, d.title, d.album, d.label, d.isrc, d.length_ms, d.composer, d.publisher,
       d.group_name, d.cart, d.machine, d.full_text, %3
  FROM PlayDetails d
 WHERE d.played_at >= ? AND d.played_at < ?
   AND NOT EXISTS (SELECT 1 FROM Metadata m WHERE m.%2 = d.played_at AND m.%1 = d.full_text)
 ORDER BY d.played_at, d.detail_id)"_s;

// The listeners of the play with the time and text %1 and %2, as the first
// receiver that counted it stored them; %3 narrows to one station's count.
const QString kListeners = uR"((SELECT l.performances FROM PlayListeners l
  WHERE l.played_at = %1 AND l.full_text = %2%3 ORDER BY l.id LIMIT 1))"_s;

// One station's plays are those StationPlays holds for it; a play's details
// are the PlayDetails row that station stored with it (%1), and a play
// whose Metadata row an earlier play stored is that play.
const QString kOneStation = uR"(
SELECT s.played_at, d.artist, d.title, d.album, d.label, d.isrc, d.length_ms, d.composer, d.publisher,
       d.group_name, d.cart, d.machine, s.full_text, %2
  FROM StationPlays s
  LEFT JOIN PlayDetails d ON d.played_at = s.played_at AND d.full_text = s.full_text AND %1
 WHERE s.station = ? AND s.played_at >= ? AND s.played_at < ?
   AND (s.in_metadata = 1 OR NOT EXISTS (SELECT 1 FROM StationPlays o WHERE o.station = s.station
        AND o.played_at = s.played_at AND o.full_text = s.full_text AND o.in_metadata = 1))
 ORDER BY s.played_at, s.id)"_s;

const QString kOneStationAlone = uR"(
SELECT played_at, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, full_text, %1
  FROM StationPlays s
 WHERE station = ? AND played_at >= ? AND played_at < ? AND in_metadata = 1
 ORDER BY played_at, id)"_s;

void bindText(const odbc::Handle &statement, SQLUSMALLINT position, const QString &text, SQLLEN &length)
{
    length = SQLLEN(text.size()) * SQLLEN(sizeof(SQLWCHAR));
    auto *data = const_cast<SQLWCHAR *>(reinterpret_cast<const SQLWCHAR *>(text.utf16()));
    odbc::check(SQLBindParameter(statement.get(), position, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                                 SQLULEN(qMax<qsizetype>(text.size(), 1)), 0, data, length, &length),
                statement, u"binding the report's bounds"_s);
}

// The statement of the first form the database can run, from *form on: a
// table that is missing (1146) or older than a column (1054) leads to the
// next form. *form becomes the one that ran.
odbc::Handle runFirstForm(const odbc::Handle &connection, const QList<QString> &forms,
                          const QList<const QString *> &parameters, qsizetype *form)
{
    for (;; ++*form) {
        odbc::Handle statement(SQL_HANDLE_STMT, connection.get());
        std::array<SQLLEN, 4> lengths {};
        for (qsizetype i = 0; i < parameters.size(); ++i) {
            bindText(statement, SQLUSMALLINT(i + 1), *parameters[i], lengths[size_t(i)]);
        }
        try {
            odbc::execute(statement, forms[*form], u"reading the plays"_s);
            return statement;
        } catch (const odbc::Error &error) {
            if ((error.nativeCode() != 1146 && error.nativeCode() != 1054) || *form + 1 == forms.size()) {
                throw;
            }
        }
    }
}

// The report's columns, each bound to a buffer that the driver fills as it
// fetches the row: one call a row rather than one a value. A value longer
// than its buffer is asked for again whole.
class BoundRow final
{
public:
    static constexpr SQLUSMALLINT kColumns = 14;

    explicit BoundRow(const odbc::Handle &statement)
    {
        for (SQLUSMALLINT column = 0; column < kColumns; ++column) {
            odbc::check(SQLBindCol(statement.get(), column + 1, SQL_C_CHAR, m_buffers[column].data(), kWidth,
                                   &m_lengths[column]),
                        statement, u"reading the plays"_s);
        }
    }

    // Of statement's current row; statement is the one the columns are bound to.
    QString value(const odbc::Handle &statement, SQLUSMALLINT column) const
    {
        const SQLLEN length = m_lengths[column];
        if (length == SQL_NULL_DATA) {
            return QString();
        }
        if (length == SQL_NO_TOTAL || length >= kWidth) {
            return odbc::utf8Column(statement, column + 1);
        }
        return length == 0 ? u""_s : QString::fromUtf8(m_buffers[column].data(), qsizetype(length));
    }

private:
    static constexpr SQLLEN kWidth = 512;

    std::array<std::array<char, kWidth>, kColumns> m_buffers {};
    std::array<SQLLEN, kColumns> m_lengths {};
};

// The rows of one statement as reported plays, one at a time. A play
// without details takes the artist and title from its text, as its
// Metadata row did.
class PlayStream final
{
public:
    explicit PlayStream(odbc::Handle statement)
        : m_statement(std::move(statement))
        , m_row(std::make_unique<BoundRow>(m_statement))
    {
        next();
    }

    const std::optional<ReportedPlay> &current() const { return m_current; }

    void next()
    {
        const SQLRETURN rc = SQLFetch(m_statement.get());
        if (rc == SQL_NO_DATA) {
            m_current.reset();
            return;
        }
        odbc::check(rc, m_statement, u"reading the plays"_s);
        const auto value = [&](SQLUSMALLINT column) { return m_row->value(m_statement, column); };
        m_current = ReportedPlay {value(0), value(12), value(1), value(2),  value(3),  value(4), value(5),
                                  value(7), value(8),  value(9), value(10), value(11), value(6)};
        if (const QString count = value(13); !count.isNull()) {
            m_current->performances = count.toLongLong();
        }
        if (m_current->artist.isNull()) {
            const PlayRecord record = PlayRecord::fromText(m_current->text, m_current->time);
            m_current->artist = record.artist;
            m_current->title = record.title;
        }
    }

private:
    odbc::Handle m_statement;
    std::unique_ptr<BoundRow> m_row; // where the driver writes: it stays put when the stream moves
    std::optional<ReportedPlay> m_current;
};

// The plays of both streams in on-air order; of one second, first's first.
void mergeRows(PlayStream &first, PlayStream *second, const std::function<void(const ReportedPlay &play)> &row)
{
    while (first.current() || (second && second->current())) {
        const bool fromSecond
            = second && second->current() && (!first.current() || second->current()->time < first.current()->time);
        PlayStream &stream = fromSecond ? *second : first;
        row(*stream.current());
        stream.next();
    }
}

// Asks for the plays a stretch of time at a time, on connections of its own
// for each of two stretches: the server answers for the next while the
// last is read. In each, the plays PlayDetails alone holds are asked for on
// a second connection at the same time as Metadata's.
class PlayReader final
{
public:
    // The plays of one stretch, in two streams.
    struct Stretch
    {
        std::optional<PlayStream> plays;
        std::optional<PlayStream> detailsOnly;
    };

    // The first stretch's plays are asked for on connection.
    PlayReader(odbc::Handle connection, QString connectionText, QList<QString> forms, QList<QString> detailsForms,
               QString station)
        : m_connectionText(std::move(connectionText))
        , m_forms(std::move(forms))
        , m_detailsForms(std::move(detailsForms))
        , m_station(std::move(station))
    {
        m_slots[0].plays.emplace(std::move(connection));
    }

    // Runs on a thread of its own; never two at once.
    Stretch ask(int slot, const QDateTime &start, const QDateTime &end)
    {
        const QString bounds[] = {start.toString(kPlayedAtFormat), end.toString(kPlayedAtFormat)};
        const QList<const QString *> parameters = m_station.isEmpty()
            ? QList<const QString *> {&bounds[0], &bounds[1]}
            : QList<const QString *> {&m_station, &bounds[0], &bounds[1]};
        Connections &connections = m_slots[size_t(slot)];
        std::future<std::optional<odbc::Handle>> details;
        // The first four forms join PlayDetails.
        if (!m_detailsForms.isEmpty() && m_form < 4) {
            details = std::async(std::launch::async, [&] { return askDetailsOnly(connections, parameters); });
        }
        Stretch stretch;
        stretch.plays.emplace(runFirstForm(connect(connections.plays), m_forms, parameters, &m_form));
        std::optional<odbc::Handle> detailsOnly = details.valid() ? details.get() : std::nullopt;
        if (detailsOnly && m_form < 4) {
            stretch.detailsOnly.emplace(std::move(*detailsOnly));
        }
        return stretch;
    }

    // Once every stretch is gone.
    void disconnect()
    {
        for (Connections &connections : m_slots) {
            for (std::optional<odbc::Handle> *connection : {&connections.plays, &connections.detailsOnly}) {
                if (*connection) {
                    (*connection)->disconnect();
                }
            }
        }
    }

private:
    struct Connections
    {
        std::optional<odbc::Handle> plays;
        std::optional<odbc::Handle> detailsOnly;
    };

    const odbc::Handle &connect(std::optional<odbc::Handle> &connection)
    {
        if (!connection) {
            connection.emplace(odbc::connect(m_connectionText, kDatabaseTimeout));
        }
        return *connection;
    }

    std::optional<odbc::Handle> askDetailsOnly(Connections &connections, const QList<const QString *> &parameters)
    {
        try {
            return runFirstForm(connect(connections.detailsOnly), m_detailsForms, parameters, &m_detailsForm);
        } catch (const odbc::Error &error) {
            if (error.nativeCode() != 1146) {
                throw;
            }
            return std::nullopt; // no PlayDetails
        }
    }

    const QString m_connectionText;
    const QList<QString> m_forms;
    const QList<QString> m_detailsForms;
    const QString m_station;
    std::array<Connections, 2> m_slots;
    qsizetype m_form = 0;
    qsizetype m_detailsForm = 0;
};

} // namespace

void readPlays(const DatabaseLogin &login, const QDateTime &from, const QDateTime &until, const QString &station,
               const std::function<void(const ReportedPlay &play)> &row)
{
    try {
        // Thousands of rows, each value as UTF-8 the server has it: the
        // driver converts none of them.
        const QString connectionText = connectionString(login) + u"CHARSET=utf8mb4;"_s;
        odbc::Handle connection = odbc::connect(connectionText, kDatabaseTimeout);
        QList<QString> forms;
        QList<QString> detailsForms;
        if (!station.isEmpty()) {
            const QString listeners
                = kListeners.arg(u"s.played_at"_s, u"s.full_text"_s, u" AND l.station = s.station"_s);
            for (const QString &count : {listeners, u"NULL"_s}) {
                forms << kOneStation.arg(u"d.station = s.station"_s, count) << kOneStation.arg(u"1"_s, count)
                      << kOneStationAlone.arg(count);
            }
        } else {
            QStringList names = metadataColumns(connection).value_or(QStringList());
            if (names.size() < 5) {
                names = {QString(), u"full_text"_s, u"played_at"_s, u"artist"_s, u"title"_s};
            }
            const QString text = odbc::quotedName(names[1]);
            const QString time = odbc::quotedName(names[2]);
            const QString metadataCount = kListeners.arg(u"m."_s + time, u"m."_s + text, QString());
            // Without PlayDetails or PlayListeners, or a station table
            // without play_id, the next form is tried.
            for (const QString *sql : {&kMetadataPlays, &kMetadataOnly}) {
                for (const bool counted : {true, false}) {
                    for (const QString &tie : {u"m.play_id"_s, u"m."_s + time}) {
                        forms << sql->arg(text, time, odbc::quotedName(names[3]), odbc::quotedName(names[4]), tie)
                                     .arg(counted ? metadataCount : u"NULL"_s);
                    }
                }
            }
            detailsForms << kDetailsOnlyPlays.arg(text, time,
                                                  kListeners.arg(u"d.played_at"_s, u"d.full_text"_s, QString()))
                         << kDetailsOnlyPlays.arg(text, time, u"NULL"_s);
        }
        PlayReader reader(std::move(connection), connectionText, std::move(forms), std::move(detailsForms), station);
        {
            // A month at a time: the driver holds each answer whole, so a
            // year's report holds two months' plays, not a year's.
            const auto stretchEnd = [&](const QDateTime &start) { return qMin(start.addMonths(1), until); };
            int slot = 0;
            std::future<PlayReader::Stretch> next;
            if (from < until) {
                next = std::async(std::launch::async, [&] { return reader.ask(0, from, stretchEnd(from)); });
            }
            for (QDateTime start = from; start < until; start = stretchEnd(start)) {
                PlayReader::Stretch stretch = next.get();
                const QDateTime end = stretchEnd(start);
                if (end < until) {
                    slot = 1 - slot;
                    next = std::async(std::launch::async,
                                      [&, slot, end] { return reader.ask(slot, end, stretchEnd(end)); });
                }
                mergeRows(*stretch.plays, stretch.detailsOnly ? &*stretch.detailsOnly : nullptr, row);
            }
        } // the statements go before their connections
        reader.disconnect();
    } catch (const odbc::Error &error) {
        throw error.masking(login.password);
    }
}

QStringList ReportFormatter::values(const ReportedPlay &play)
{
    // The time as the station's clock had it, and the same with its offset,
    // which a year's report across a clock change needs to be exact.
    QString onAir;
    if (play.time.size() == 19) {
        const QStringView hour = QStringView(play.time).first(13);
        auto offset = m_offsets.constFind(hour);
        if (offset == m_offsets.cend()) {
            const QDateTime local = QDateTime::fromString(play.time.left(13), u"yyyy-MM-dd HH"_s);
            const QString iso = local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate);
            m_hours << hour.toString();
            offset = m_offsets.insert(m_hours.constLast(), local.isValid() ? iso.mid(19) : QString());
        }
        onAir = play.time.left(10) + u'T' + play.time.mid(11) + *offset;
    }
    const QString length = play.lengthMs.isNull() ? QString() : formatLength(play.lengthMs.toLongLong());
    return {play.time,
            play.artist,
            play.title,
            play.album,
            play.label,
            play.isrc,
            length,
            play.composer,
            play.publisher,
            play.group,
            play.cart,
            play.machine,
            play.performances ? QString::number(*play.performances) : QString(),
            onAir};
}

void SoundExchangeReport::add(const ReportedPlay &play)
{
    // NUL parts the fields of the key, so none may hold one.
    const auto field = [](const QString &value) {
        return value.contains(QChar(0)) ? QString(value).replace(QChar(0), u' ') : value;
    };
    const QString key
        = QStringList {field(play.artist), field(play.title), field(play.isrc), field(play.album), field(play.label)}
              .join(QChar(0));
    auto at = m_index.constFind(key);
    if (at == m_index.cend()) {
        at = m_index.insert(key, m_recordings.size());
        m_recordings.append({key, std::nullopt});
    }
    Recording &recording = m_recordings[*at];
    if (play.performances) {
        recording.performances = recording.performances.value_or(0) + *play.performances;
    } else {
        m_uncounted << play.time + u" \""_s + play.text + u'"';
    }
}

QByteArray SoundExchangeReport::text(const QString &service, const QString &category) const
{
    // What the format cannot hold inside a value becomes a blank.
    const auto unqualified = [](QString value) {
        for (const QChar c : {u'^', u'|', u'\n', u'\r'}) {
            value.replace(c, u' ');
        }
        return value;
    };
    QByteArray out = "^NAME_OF_SERVICE^|^TRANSMISSION_CATEGORY^|^FEATURED_ARTIST^|^SOUND_RECORDING_TITLE^|^ISRC^|"
                     "^ALBUM_TITLE^|^MARKETING_LABEL^|^ACTUAL_TOTAL_PERFORMANCES^\r\n";
    const QByteArray lineStart = (u'^' + unqualified(service) + u"^|^"_s + unqualified(category) + u"^|^"_s).toUtf8();
    for (const Recording &recording : m_recordings) {
        out += lineStart;
        out += unqualified(recording.fields).replace(QChar(0), u"^|^"_s).toUtf8();
        out += "^|";
        if (recording.performances) {
            out += QByteArray::number(*recording.performances);
        }
        out += "\r\n";
    }
    return out;
}

void appendCsvLine(QByteArray &out, const QStringList &values)
{
    QStringEncoder utf8(QStringEncoder::Utf8);
    for (qsizetype i = 0; i < values.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        const QString &value = values[i];
        const bool quoted
            = value.contains(u',') || value.contains(u'"') || value.contains(u'\n') || value.contains(u'\r');
        const QString &written = quoted ? u'"' + QString(value).replace(u'"', u"\"\""_s) + u'"' : value;
        const qsizetype start = out.size();
        out.resize(start + utf8.requiredSpace(written.size()));
        char *end = utf8.appendToBuffer(out.data() + start, written);
        out.truncate(end - out.constData());
    }
    out += "\r\n";
}

} // namespace quaverlink
