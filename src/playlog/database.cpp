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

void insertRow(const odbc::Handle &connection, const PlayRecord &record)
{
    odbc::Handle statement(SQL_HANDLE_STMT, connection.get());
    const std::array<QString, 5> values = record.values();
    std::array<SQLLEN, 5> lengths {};
    for (size_t i = 0; i < values.size(); ++i) {
        bindText(statement, SQLUSMALLINT(i + 1), values[i], lengths[i]);
    }
    QString sql = u"INSERT INTO Metadata VALUES(?,?,?,?,?)"_qs;
    odbc::check(SQLExecDirectW(statement.get(), reinterpret_cast<SQLWCHAR *>(sql.data()), SQLINTEGER(sql.size())),
                statement, u"storing the row"_qs);
}

} // namespace

QString connectionString(const DatabaseLogin &login)
{
    return u"uid="_qs + login.user + u";pwd="_qs + login.password + u";server="_qs + login.server
        + u";driver={MySQL ODBC 3.51 Driver};database=Brackenwaves;dsn='';"_qs;
}

void storePlay(const DatabaseLogin &login, const PlayRecord &record)
{
    try {
        odbc::Handle connection = odbc::connect(connectionString(login), kDatabaseTimeout);
        if (record.hasDash) {
            insertRow(connection, record);
        }
        connection.disconnect();
    } catch (const odbc::Error &error) {
        throw error.masking(login.password);
    }
}

} // namespace quaverlink
