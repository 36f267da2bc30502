#include "database.h"

#include "odbc.h"
#include "playrecord.h"

#include <sqlucode.h>

namespace quaverlink {
namespace {

void bindText(const odbc::Handle &statement, SQLUSMALLINT position, const QString &value, SQLLEN &length)
{
    length = SQLLEN(value.size()) * SQLLEN(sizeof(SQLWCHAR));
    // A column size of 0 is refused by some drivers even for an empty value.
    const SQLULEN columnSize = SQLULEN(qMax<qsizetype>(value.size(), 1));
    auto *data = const_cast<SQLWCHAR *>(reinterpret_cast<const SQLWCHAR *>(value.utf16()));
    const SQLRETURN rc = SQLBindParameter(statement.get(), position, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                                          columnSize, 0, data, length, &length);
    odbc::check(rc, statement, u"binding value "_qs + QString::number(position));
}

// The rows already holding this play, on an open connection; nothing when
// the login may not SELECT.
std::optional<qint64> countRows(const odbc::Handle &connection, const PlayRecord &record)
{
    odbc::Handle statement(SQL_HANDLE_STMT, connection.get());
    const std::array<QString, 5> values = record.values();
    std::array<SQLLEN, 2> lengths {};
    bindText(statement, 1, values[1], lengths[0]);
    bindText(statement, 2, values[2], lengths[1]);
    QString sql = u"SELECT COUNT(*) FROM Metadata WHERE full_text = ? AND played_at = ?"_qs;
    try {
        odbc::check(SQLExecDirectW(statement.get(), reinterpret_cast<SQLWCHAR *>(sql.data()), SQLINTEGER(sql.size())),
                    statement, u"counting the rows of a play"_qs);
    } catch (const odbc::Error &error) {
        if (error.nativeCode() == 1142) { // SELECT denied: the README's minimal grant
            return std::nullopt;
        }
        throw;
    }
    SQLBIGINT count = 0;
    odbc::check(SQLFetch(statement.get()), statement, u"counting the rows of a play"_qs);
    odbc::check(SQLGetData(statement.get(), 1, SQL_C_SBIGINT, &count, 0, nullptr), statement,
                u"counting the rows of a play"_qs);
    return qint64(count);
}

void insertRow(const odbc::Handle &connection, const PlayRecord &record)
{
    odbc::Handle statement(SQL_HANDLE_STMT, connection.get());
    const std::array<QString, 5> values = record.values();
    std::array<SQLLEN, 5> lengths {};
    for (size_t i = 0; i < values.size(); ++i) {
        bindText(statement, SQLUSMALLINT(i + 1), values[i], lengths[i]);
    }
    QString sql = u"INSERT INTO Metadata VALUES(?,?,?,?,?)"_qs;
    try {
        odbc::check(SQLExecDirectW(statement.get(), reinterpret_cast<SQLWCHAR *>(sql.data()), SQLINTEGER(sql.size())),
                    statement, u"storing the row"_qs);
    } catch (const odbc::Error &error) {
        throw error.refusingStatement();
    }
}

} // namespace

QString connectionString(const DatabaseLogin &login)
{
    return u"uid="_qs + login.user + u";pwd="_qs + login.password + u";server="_qs + login.server
        + u";driver={MySQL ODBC 3.51 Driver};database=Brackenwaves;dsn='';"_qs;
}

Refusal refusalOf(const odbc::Error &error)
{
    if (!error.isStatementRefusal()) {
        return Refusal::None;
    }
    const QString state = error.sqlState();
    // An answer lost, and MariaDB's codes for a read-only server or a
    // locked row, and for a table or a grant that does not fit the insert:
    // none of them is about the row.
    static const QList<int> kNotTheRow
        = {2006, 2013, 2055, 1290, 1836, 1205, 1213, 1142, 1143, 1044, 1146, 1054, 1136, 1036};
    if (leavesInDoubt(error) || state.startsWith(u"40") || kNotTheRow.contains(error.nativeCode())) {
        return Refusal::None;
    }
    if (state.startsWith(u"22") || state.startsWith(u"23")) {
        return Refusal::ForGood;
    }
    return Refusal::Uncertain;
}

bool leavesInDoubt(const odbc::Error &error)
{
    const QString state = error.sqlState();
    static const QList<int> kAnswerLost = {2006, 2013, 2055};
    return error.isStatementRefusal()
        && (state.startsWith(u"08") || state.startsWith(u"HYT") || kAnswerLost.contains(error.nativeCode()));
}

void storePlay(const DatabaseLogin &login, const PlayRecord &record,
               const std::function<void(qint64 rowsBefore)> &sending)
{
    try {
        odbc::Handle connection = odbc::connect(connectionString(login), kDatabaseTimeout);
        if (record.hasDash) {
            const qint64 rowsBefore = sending ? countRows(connection, record).value_or(-1) : -1;
            if (sending) {
                sending(rowsBefore);
            }
            insertRow(connection, record);
        }
        connection.disconnect();
    } catch (const odbc::Error &error) {
        throw error.masking(login.password);
    }
}

std::optional<qint64> countStored(const DatabaseLogin &login, const PlayRecord &record)
{
    try {
        odbc::Handle connection = odbc::connect(connectionString(login), kDatabaseTimeout);
        const std::optional<qint64> count = countRows(connection, record);
        connection.disconnect();
        return count;
    } catch (const odbc::Error &error) {
        throw error.masking(login.password);
    }
}

} // namespace quaverlink
