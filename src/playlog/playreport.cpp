#include "playreport.h"

#include "common/duration.h"
#include "common/literals.h"
#include "odbc.h"
#include "playrecord.h"

namespace quaverlink {
namespace {

// A play's details are the PlayDetails row stored with it: the same time and
// text. A play from the PAD feed whose text held no dash has only that row.
// Metadata's columns are named as the station named them (%1 to %4: text,
// time, artist, title); %5 orders the rows of one second, where the table
// has our invisible play_id. %6 is a play's listeners (kListeners, where
// the table PlayListeners is there).
const QString kWithDetails = uR"(
SELECT m.%2, COALESCE(d.artist, m.%3), COALESCE(d.title, m.%4), d.album, d.label, d.isrc,
       d.length_ms, d.composer, d.publisher, d.group_name, d.cart, d.machine, m.%1, %6, 0 AS source, %5 AS id
  FROM Metadata m
  LEFT JOIN PlayDetails d ON d.played_at = m.%2 AND d.full_text = m.%1
 WHERE m.%2 >= ? AND m.%2 < ?
UNION ALL
SELECT d.played_at, d.artist, d.title, d.album, d.label, d.isrc, d.length_ms, d.composer, d.publisher,
       d.group_name, d.cart, d.machine, d.full_text, %7, 1 AS source, d.detail_id AS id
  FROM PlayDetails d
 WHERE d.played_at >= ? AND d.played_at < ?
   AND NOT EXISTS (SELECT 1 FROM Metadata m WHERE m.%2 = d.played_at AND m.%1 = d.full_text)
 ORDER BY 1, 15, 16)"_s;

const QString kMetadataOnly = uR"(
SELECT %2, %3, %4, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, %1, %6
  FROM Metadata m WHERE %2 >= ? AND %2 < ? ORDER BY %2, %5)"_s;

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

// The statement of the first form the database can run: a table that is
// missing (1146) or older than a column (1054) leads to the next form.
odbc::Handle runFirstForm(const odbc::Handle &connection, const QList<QString> &forms,
                          const QList<QList<const QString *>> &parameters)
{
    for (qsizetype form = 0;; ++form) {
        odbc::Handle statement(SQL_HANDLE_STMT, connection.get());
        std::array<SQLLEN, 4> lengths {};
        for (qsizetype i = 0; i < parameters[form].size(); ++i) {
            bindText(statement, SQLUSMALLINT(i + 1), *parameters[form][i], lengths[size_t(i)]);
        }
        try {
            odbc::execute(statement, forms[form], u"reading the plays"_s);
            return statement;
        } catch (const odbc::Error &error) {
            if ((error.nativeCode() != 1146 && error.nativeCode() != 1054) || form + 1 == forms.size()) {
                throw;
            }
        }
    }
}

// Each row as a reported play. A play without details takes the artist and
// title from its text, as its Metadata row did.
void readRows(const odbc::Handle &statement, const std::function<void(const ReportedPlay &play)> &row)
{
    for (SQLRETURN rc; (rc = SQLFetch(statement.get())) != SQL_NO_DATA;) {
        odbc::check(rc, statement, u"reading the plays"_s);
        QStringList values;
        for (SQLUSMALLINT column = 1; column <= 14; ++column) {
            values << odbc::utf8Column(statement, column);
        }
        ReportedPlay play {values[0], values[12], values[1], values[2],  values[3],  values[4], values[5],
                           values[7], values[8],  values[9], values[10], values[11], values[6]};
        if (!values[13].isNull()) {
            play.performances = values[13].toLongLong();
        }
        if (play.artist.isNull()) {
            const PlayRecord record = PlayRecord::fromText(play.text, play.time);
            play.artist = record.artist;
            play.title = record.title;
        }
        row(play);
    }
}

} // namespace

void readPlays(const DatabaseLogin &login, const QDateTime &from, const QDateTime &until, const QString &station,
               const std::function<void(const ReportedPlay &play)> &row)
{
    try {
        // Thousands of rows, each value as UTF-8 the server has it: the
        // driver converts none of them.
        odbc::Handle connection = odbc::connect(connectionString(login) + u"CHARSET=utf8mb4;"_s, kDatabaseTimeout);
        const QString bounds[] = {from.toString(kPlayedAtFormat), until.toString(kPlayedAtFormat)};
        if (!station.isEmpty()) {
            const QList<const QString *> three = {&station, &bounds[0], &bounds[1]};
            const QString listeners
                = kListeners.arg(u"s.played_at"_s, u"s.full_text"_s, u" AND l.station = s.station"_s);
            QList<QString> forms;
            for (const QString &count : {listeners, u"NULL"_s}) {
                forms << kOneStation.arg(u"d.station = s.station"_s, count) << kOneStation.arg(u"1"_s, count)
                      << kOneStationAlone.arg(count);
            }
            odbc::Handle statement
                = runFirstForm(connection, forms, QList<QList<const QString *>>(forms.size(), three));
            readRows(statement, row);
            connection.disconnect();
            return;
        }
        QStringList names = metadataColumns(connection).value_or(QStringList());
        if (names.size() < 5) {
            names = {QString(), u"full_text"_s, u"played_at"_s, u"artist"_s, u"title"_s};
        }
        const QString text = odbc::quotedName(names[1]);
        const QString time = odbc::quotedName(names[2]);
        const auto query = [&](const QString &sql, const QString &order, bool listeners) {
            const QString filled
                = sql.arg(text, time, odbc::quotedName(names[3]), odbc::quotedName(names[4]), order)
                      .arg(listeners ? kListeners.arg(u"m."_s + time, u"m."_s + text, QString()) : u"NULL"_s);
            if (&sql != &kWithDetails) {
                return filled;
            }
            return filled.arg(listeners ? kListeners.arg(u"d.played_at"_s, u"d.full_text"_s, QString()) : u"NULL"_s);
        };
        // Without PlayDetails or PlayListeners, or a station table without
        // play_id, the next form is tried.
        const QList<const QString *> four = {&bounds[0], &bounds[1], &bounds[0], &bounds[1]};
        const QList<const QString *> two = {&bounds[0], &bounds[1]};
        QList<QString> forms;
        QList<QList<const QString *>> parameters;
        for (const QString *sql : {&kWithDetails, &kMetadataOnly}) {
            for (const bool listeners : {true, false}) {
                forms << query(*sql, u"m.play_id"_s, listeners)
                      << query(*sql, sql == &kWithDetails ? u"0"_s : u"1"_s, listeners);
                parameters << (sql == &kWithDetails ? four : two) << (sql == &kWithDetails ? four : two);
            }
        }
        odbc::Handle statement = runFirstForm(connection, forms, parameters);
        readRows(statement, row);
        connection.disconnect();
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
    const QStringList fields = {play.artist, play.title, play.isrc, play.album, play.label};
    const QString key = fields.join(QChar(0));
    auto at = m_index.constFind(key);
    if (at == m_index.cend()) {
        at = m_index.insert(key, m_recordings.size());
        m_recordings.append({fields, std::nullopt});
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
    const auto qualified = [](QString value) {
        return u'^' + value.replace(u'^', u' ').replace(u'|', u' ').replace(u'\n', u' ').replace(u'\r', u' ') + u'^';
    };
    QByteArray out = "^NAME_OF_SERVICE^|^TRANSMISSION_CATEGORY^|^FEATURED_ARTIST^|^SOUND_RECORDING_TITLE^|^ISRC^|"
                     "^ALBUM_TITLE^|^MARKETING_LABEL^|^ACTUAL_TOTAL_PERFORMANCES^\r\n";
    for (const Recording &recording : m_recordings) {
        QStringList line = {qualified(service), qualified(category)};
        for (const QString &field : recording.fields) {
            line << qualified(field);
        }
        line << (recording.performances ? QString::number(*recording.performances) : QString());
        out += line.join(u'|').toUtf8() + "\r\n";
    }
    return out;
}

QByteArray csvLine(const QStringList &values)
{
    QStringList cells;
    for (const QString &value : values) {
        const bool quoted
            = value.contains(u',') || value.contains(u'"') || value.contains(u'\n') || value.contains(u'\r');
        cells << (quoted ? u'"' + QString(value).replace(u'"', u"\"\""_s) + u'"' : value);
    }
    return cells.join(u',').toUtf8() + "\r\n";
}

} // namespace quaverlink
