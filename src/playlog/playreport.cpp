#include "playreport.h"

#include "common/duration.h"
#include "odbc.h"
#include "playrecord.h"

namespace quaverlink {
namespace {

// A play's details are the PlayDetails row stored with it: the same time and
// text. A play from the PAD feed whose text held no dash has only that row.
const QString kWithDetails = uR"(
SELECT m.played_at, COALESCE(d.artist, m.artist), COALESCE(d.title, m.title), d.album, d.label, d.isrc,
       d.length_ms, d.composer, d.publisher, 0 AS source, m.play_id AS id
  FROM Metadata m
  LEFT JOIN PlayDetails d ON d.played_at = m.played_at AND d.full_text = m.full_text
 WHERE m.played_at >= ? AND m.played_at < ?
UNION ALL
SELECT d.played_at, d.artist, d.title, d.album, d.label, d.isrc, d.length_ms, d.composer, d.publisher,
       1 AS source, d.detail_id AS id
  FROM PlayDetails d
 WHERE d.played_at >= ? AND d.played_at < ?
   AND NOT EXISTS (SELECT 1 FROM Metadata m WHERE m.played_at = d.played_at AND m.full_text = d.full_text)
 ORDER BY 1, 10, 11)"_qs;

const QString kMetadataOnly = uR"(
SELECT played_at, artist, title, NULL, NULL, NULL, NULL, NULL, NULL
  FROM Metadata WHERE played_at >= ? AND played_at < ? ORDER BY played_at, play_id)"_qs;

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
        std::optional<odbc::Handle> statement;
        for (const QString &sql : {kWithDetails, kMetadataOnly}) {
            statement.emplace(SQL_HANDLE_STMT, connection.get());
            std::array<SQLLEN, 4> lengths {};
            for (SQLUSMALLINT i = 0; i < (sql == kWithDetails ? 4 : 2); ++i) {
                bindTime(*statement, i + 1, bounds[i % 2], lengths[i]);
            }
            try {
                odbc::execute(*statement, sql, u"reading the plays"_qs);
                break;
            } catch (const odbc::Error &error) {
                if (error.nativeCode() != 1146 || sql != kWithDetails) { // 1146: no PlayDetails
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
