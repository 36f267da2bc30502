#include "playreport.h"

#include "common/duration.h"
#include "odbc.h"
#include "playrecord.h"

namespace quaverlink {
namespace {

// A play's details are the PlayDetails row stored with it: the same time and
// text. A play from the PAD feed whose text held no dash has only that row.
// Metadata's columns are named as the station named them (%1 to %4: text,
// time, artist, title); %5 orders the rows of one second, where the table
// has our invisible play_id.
const QString kWithDetails = uR"(
SELECT m.%2, COALESCE(d.artist, m.%3), COALESCE(d.title, m.%4), d.album, d.label, d.isrc,
       d.length_ms, d.composer, d.publisher, 0 AS source, %5 AS id
  FROM Metadata m
  LEFT JOIN PlayDetails d ON d.played_at = m.%2 AND d.full_text = m.%1
 WHERE m.%2 >= ? AND m.%2 < ?
UNION ALL
SELECT d.played_at, d.artist, d.title, d.album, d.label, d.isrc, d.length_ms, d.composer, d.publisher,
       1 AS source, d.detail_id AS id
  FROM PlayDetails d
 WHERE d.played_at >= ? AND d.played_at < ?
   AND NOT EXISTS (SELECT 1 FROM Metadata m WHERE m.%2 = d.played_at AND m.%1 = d.full_text)
 ORDER BY 1, 10, 11)"_qs;

const QString kMetadataOnly = uR"(
SELECT %2, %3, %4, NULL, NULL, NULL, NULL, NULL, NULL
  FROM Metadata m WHERE %2 >= ? AND %2 < ? ORDER BY %2, %5)"_qs;

void bindTime(const odbc::Handle &statement, SQLUSMALLINT position, const QString &time, SQLLEN &length)
{
    length = SQLLEN(time.size()) * SQLLEN(sizeof(SQLWCHAR));
    auto *data = const_cast<SQLWCHAR *>(reinterpret_cast<const SQLWCHAR *>(time.utf16()));
    odbc::check(SQLBindParameter(statement.get(), position, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                                 SQLULEN(time.size()), 0, data, length, &length),
                statement, u"binding the report's dates"_qs);
}

} // namespace

void readPlays(const DatabaseLogin &login, const QDateTime &from, const QDateTime &until,
               const std::function<void(const QStringList &values)> &row)
{
    try {
        odbc::Handle connection = odbc::connect(connectionString(login), kDatabaseTimeout);
        const QString bounds[] = {from.toString(kPlayedAtFormat), until.toString(kPlayedAtFormat)};
        QStringList names = metadataColumns(connection).value_or(QStringList());
        if (names.size() < 5) {
            names = {QString(), u"full_text"_qs, u"played_at"_qs, u"artist"_qs, u"title"_qs};
        }
        const auto query = [&](const QString &sql, const QString &order) {
            return sql.arg(odbc::quotedName(names[1]), odbc::quotedName(names[2]), odbc::quotedName(names[3]),
                           odbc::quotedName(names[4]), order);
        };
        // Without PlayDetails (1146), or a station table without play_id
        // (1054), the next form is tried.
        const std::pair<QString, int> forms[] = {{query(kWithDetails, u"m.play_id"_qs), 4},
                                                 {query(kWithDetails, u"0"_qs), 4},
                                                 {query(kMetadataOnly, u"m.play_id"_qs), 2},
                                                 {query(kMetadataOnly, u"1"_qs), 2}};
        std::optional<odbc::Handle> statement;
        for (const auto &[sql, parameters] : forms) {
            statement.emplace(SQL_HANDLE_STMT, connection.get());
            std::array<SQLLEN, 4> lengths {};
            for (SQLUSMALLINT i = 0; i < parameters; ++i) {
                bindTime(*statement, i + 1, bounds[i % 2], lengths[i]);
            }
            try {
                odbc::execute(*statement, sql, u"reading the plays"_qs);
                break;
            } catch (const odbc::Error &error) {
                if ((error.nativeCode() != 1146 && error.nativeCode() != 1054) || &sql == &forms[3].first) {
                    throw;
                }
            }
        }
        for (SQLRETURN rc; (rc = SQLFetch(statement->get())) != SQL_NO_DATA;) {
            odbc::check(rc, *statement, u"reading the plays"_qs);
            QStringList values;
            for (SQLUSMALLINT column = 1; column <= 9; ++column) {
                values << odbc::textColumn(*statement, column);
            }
            const QString length = values[6];
            values[6] = length.isNull() ? QString() : formatLength(length.toLongLong());
            row(values);
        }
        statement.reset();
        connection.disconnect();
    } catch (const odbc::Error &error) {
        throw error.masking(login.password);
    }
}

QByteArray csvLine(const QStringList &values)
{
    QStringList cells;
    for (const QString &value : values) {
        const bool quoted
            = value.contains(u',') || value.contains(u'"') || value.contains(u'\n') || value.contains(u'\r');
        cells << (quoted ? u'"' + QString(value).replace(u'"', u"\"\""_qs) + u'"' : value);
    }
    return cells.join(u',').toUtf8() + "\r\n";
}

} // namespace quaverlink
