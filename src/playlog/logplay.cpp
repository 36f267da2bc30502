#include "logplay.h"

#include "odbc.h"
#include "playrecord.h"
#include "playstore.h"
#include "receiver/failure.h"

#include <sqlucode.h>

#include <algorithm>
#include <array>

namespace quaverlink {
namespace {

const SQLWCHAR *wide(const QString &text)
{
    return reinterpret_cast<const SQLWCHAR *>(text.utf16());
}

SQLWCHAR *wideBuffer(QString &text)
{
    return reinterpret_cast<SQLWCHAR *>(text.data());
}

// The driver manager lives for the program; connections never outlive an
// item.
odbc::Handle &environment()
{
    static odbc::Handle env = [] {
        odbc::Handle handle(SQL_HANDLE_ENV, SQL_NULL_HANDLE);
        odbc::check(SQLSetEnvAttr(handle.get(), SQL_ATTR_ODBC_VERSION,
                                  reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
                    handle, u"setting the ODBC version"_qs);
        return handle;
    }();
    return env;
}

bool isAscii(const QString &text)
{
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 0x80; });
}

} // namespace

odbc::Handle connectPlayLog(const QString &connectionString)
{
    odbc::Handle connection(SQL_HANDLE_DBC, environment().get());
    SQLRETURN rc = SQL_ERROR;
    // unixODBC 2.3.11 leaks a little memory in every SQLDriverConnectW, and
    // this program connects once per item for months. The narrow call does
    // not leak and is exact for ASCII, so it is used whenever it can be.
    if (isAscii(connectionString)) {
        QByteArray in = connectionString.toLatin1();
        rc = SQLDriverConnect(connection.get(), nullptr, reinterpret_cast<SQLCHAR *>(in.data()),
                              SQLSMALLINT(in.size()), nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    } else {
        QString in = connectionString;
        rc = SQLDriverConnectW(connection.get(), nullptr, wideBuffer(in), SQLSMALLINT(in.size()), nullptr, 0,
                               nullptr, SQL_DRIVER_NOPROMPT);
    }
    odbc::check(rc, connection, u"connecting"_qs);
    connection.markConnected();
    return connection;
}

namespace {

void bindText(const odbc::Handle &statement, SQLUSMALLINT position, const QString &value, SQLLEN &length)
{
    length = SQLLEN(value.size()) * SQLLEN(sizeof(SQLWCHAR));
    // A column size of 0 is refused by some drivers even for an empty value.
    const SQLULEN columnSize = SQLULEN(qMax<qsizetype>(value.size(), 1));
    const SQLRETURN rc = SQLBindParameter(statement.get(), position, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                                          columnSize, 0, const_cast<SQLWCHAR *>(wide(value)), length, &length);
    odbc::check(rc, statement, u"binding value "_qs + QString::number(position));
}

} // namespace

void storePlayRecord(const odbc::Handle &connection, const PlayRecord &record)
{
    odbc::Handle statement(SQL_HANDLE_STMT, connection.get());
    const std::array<QString, 5> values = playRecordValues(record);
    std::array<SQLLEN, 5> lengths {};
    for (size_t i = 0; i < values.size(); ++i) {
        bindText(statement, SQLUSMALLINT(i + 1), values[i], lengths[i]);
    }
    QString sql = InsertStatement(record);
    odbc::check(SQLExecDirectW(statement.get(), wideBuffer(sql), SQLINTEGER(sql.size())), statement,
                u"storing the row"_qs);
}

QString ConnectionString(const QString &user, const QString &password, const QString &server)
{
    return u"uid="_qs + user + u";pwd="_qs + password + u";server="_qs + server
        + u";driver={MySQL ODBC 3.51 Driver};database=Brackenwaves;dsn='';"_qs;
}

void LogPlay(const DatabaseLogin &login, const QString &text, const LocalClock &clock)
{
    try {
        odbc::Handle connection = connectPlayLog(ConnectionString(login.user, login.password, login.server));
        const PlayRecord record = MakePlayRecord(text, clock());
        if (!record.dashfound) {
            return;
        }
        storePlayRecord(connection, record);
        connection.disconnect(u"disconnecting"_qs);
    } catch (const Failure &failure) {
        if (login.password.isEmpty()) {
            throw;
        }
        QString cause = failure.cause();
        throw Failure(failure.step(), cause.replace(login.password, u"*****"_qs));
    }
}

} // namespace quaverlink
