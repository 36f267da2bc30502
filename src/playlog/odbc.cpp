#include "odbc.h"

#include "common/literals.h"

#include <algorithm>

#include <sqlucode.h>

namespace quaverlink::odbc {
namespace {

QString describeAll(const QList<Diagnostic> &diagnostics)
{
    QStringList records;
    for (const Diagnostic &diagnostic : diagnostics) {
        records << u"[%1] (%2) %3"_s.arg(diagnostic.sqlState).arg(diagnostic.nativeCode).arg(diagnostic.message);
    }
    return records.isEmpty() ? u"no diagnostics"_s : records.join(u"; "_s);
}

QList<Diagnostic> diagnosticsOf(const Handle &handle)
{
    QList<Diagnostic> diagnostics;
    for (SQLSMALLINT record = 1;; ++record) {
        SQLWCHAR state[6] = {};
        SQLINTEGER native = 0;
        SQLWCHAR message[SQL_MAX_MESSAGE_LENGTH + 1] = {};
        SQLSMALLINT length = 0;
        const SQLRETURN rc = SQLGetDiagRecW(handle.type(), handle.get(), record, state, &native, message,
                                            SQL_MAX_MESSAGE_LENGTH + 1, &length);
        if (!SQL_SUCCEEDED(rc)) {
            return diagnostics;
        }
        const qsizetype used = std::clamp<qsizetype>(length, 0, SQL_MAX_MESSAGE_LENGTH);
        diagnostics.append({QString::fromUtf16(reinterpret_cast<const char16_t *>(state), 5), int(native),
                            QString::fromUtf16(reinterpret_cast<const char16_t *>(message), used)});
    }
}

bool isAscii(const QString &text)
{
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 0x80; });
}

// The driver manager lives for the program; connections never outlive a play.
Handle &environment()
{
    static Handle env = [] {
        Handle handle(SQL_HANDLE_ENV, SQL_NULL_HANDLE);
        check(SQLSetEnvAttr(handle.get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0), handle,
              u"setting the ODBC version"_s);
        return handle;
    }();
    return env;
}

} // namespace

Error::Error(const QString &step, QList<Diagnostic> diagnostics)
    : Failure(step, describeAll(diagnostics))
    , m_diagnostics(std::move(diagnostics))
{
}

QString Error::sqlState() const
{
    return m_diagnostics.isEmpty() ? QString() : m_diagnostics.constFirst().sqlState;
}

int Error::nativeCode() const
{
    return m_diagnostics.isEmpty() ? 0 : m_diagnostics.constFirst().nativeCode;
}

Error Error::refusingStatement() const
{
    Error error = *this;
    error.m_statementRefused = true;
    return error;
}

Error Error::masking(const QString &secret) const
{
    QList<Diagnostic> masked = m_diagnostics;
    if (!secret.isEmpty()) {
        for (Diagnostic &diagnostic : masked) {
            diagnostic.message.replace(secret, u"*****"_s);
        }
    }
    Error error(step(), masked);
    error.m_statementRefused = m_statementRefused;
    return error;
}

Handle::Handle(SQLSMALLINT type, SQLHANDLE parent)
    : m_type(type)
{
    const SQLRETURN rc = SQLAllocHandle(type, parent, &m_handle);
    if (!SQL_SUCCEEDED(rc)) {
        m_handle = SQL_NULL_HANDLE;
        throw Failure(u"allocating an ODBC handle"_s, u"the driver manager returned "_s + QString::number(rc));
    }
}

Handle::~Handle()
{
    if (m_handle == SQL_NULL_HANDLE) {
        return;
    }
    if (m_connected) {
        SQLDisconnect(m_handle);
    }
    SQLFreeHandle(m_type, m_handle);
}

void Handle::disconnect()
{
    if (m_connected) {
        m_connected = false;
        check(SQLDisconnect(m_handle), *this, u"disconnecting"_s);
    }
}

void check(SQLRETURN rc, const Handle &handle, const QString &step)
{
    if (!SQL_SUCCEEDED(rc)) {
        throw Error(step, diagnosticsOf(handle));
    }
}

QStringList drivers()
{
    QStringList names;
    SQLCHAR name[256];
    SQLSMALLINT length = 0;
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    while (SQL_SUCCEEDED(SQLDrivers(environment().get(), direction, name, sizeof name, &length, nullptr, 0, nullptr))) {
        names << QString::fromUtf8(reinterpret_cast<const char *>(name), qMin<qsizetype>(length, sizeof name - 1));
        direction = SQL_FETCH_NEXT;
    }
    return names;
}

void execute(const Handle &statement, QString sql, const QString &step)
{
    check(SQLExecDirectW(statement.get(), reinterpret_cast<SQLWCHAR *>(sql.data()), SQLINTEGER(sql.size())), statement,
          step);
}

QString textColumn(const Handle &statement, SQLUSMALLINT column)
{
    QString text;
    SQLWCHAR buffer[2048];
    for (;;) {
        SQLLEN length = 0;
        const SQLRETURN rc = SQLGetData(statement.get(), column, SQL_C_WCHAR, buffer, sizeof buffer, &length);
        if (rc == SQL_NO_DATA) {
            return text;
        }
        check(rc, statement, u"reading column "_s + QString::number(column));
        if (length == SQL_NULL_DATA) {
            return QString();
        }
        // On a truncated piece the length is what was left, or unknown.
        const qsizetype units = rc == SQL_SUCCESS_WITH_INFO || length == SQL_NO_TOTAL
            ? qsizetype(std::size(buffer)) - 1
            : qsizetype(length / SQLLEN(sizeof(SQLWCHAR)));
        text.append(reinterpret_cast<const QChar *>(buffer), units);
        if (rc == SQL_SUCCESS) {
            return text.isNull() ? u""_s : text;
        }
    }
}

QString utf8Column(const Handle &statement, SQLUSMALLINT column)
{
    QByteArray text;
    char buffer[4096];
    for (;;) {
        SQLLEN length = 0;
        const SQLRETURN rc = SQLGetData(statement.get(), column, SQL_C_CHAR, buffer, sizeof buffer, &length);
        if (rc == SQL_NO_DATA) {
            break;
        }
        check(rc, statement, u"reading column "_s + QString::number(column));
        if (length == SQL_NULL_DATA) {
            return QString();
        }
        const qsizetype bytes
            = rc == SQL_SUCCESS_WITH_INFO || length == SQL_NO_TOTAL ? qsizetype(sizeof buffer) - 1 : qsizetype(length);
        text.append(buffer, bytes);
        if (rc == SQL_SUCCESS) {
            break;
        }
    }
    return text.isNull() ? u""_s : QString::fromUtf8(text);
}

QStringList columnNames(const Handle &statement)
{
    SQLSMALLINT count = 0;
    check(SQLNumResultCols(statement.get(), &count), statement, u"reading the columns' names"_s);
    QStringList names;
    for (SQLUSMALLINT column = 1; column <= SQLUSMALLINT(count); ++column) {
        SQLWCHAR name[256] = {};
        SQLSMALLINT length = 0;
        check(SQLDescribeColW(statement.get(), column, name, SQLSMALLINT(std::size(name)), &length, nullptr, nullptr,
                              nullptr, nullptr),
              statement, u"reading the columns' names"_s);
        names << QString::fromUtf16(reinterpret_cast<const char16_t *>(name),
                                    qMin<qsizetype>(length, qsizetype(std::size(name)) - 1));
    }
    return names;
}

QString quotedName(const QString &name)
{
    return u'`' + QString(name).replace(u'`', u"``"_s) + u'`';
}

Handle connect(const QString &connectionString, std::chrono::seconds timeout)
{
    Handle connection(SQL_HANDLE_DBC, environment().get());
    const auto seconds = SQLULEN(timeout.count());
    check(SQLSetConnectAttr(connection.get(), SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(seconds), 0),
          connection, u"setting the login timeout"_s);
    // MariaDB Connector/ODBC ignores the login timeout while it waits for the
    // server's greeting, and a server that accepts and never answers would
    // hold us for ever; its own keys bound every wait. Keys it does not know
    // are ignored by other drivers.
    const QString limited = connectionString + u"CONN_TIMEOUT=%1;READ_TIMEOUT=%1;WRITE_TIMEOUT=%1;"_s.arg(seconds);
    SQLRETURN rc = SQL_ERROR;
    // unixODBC 2.3.11 leaks a little memory in every SQLDriverConnectW, and
    // this program connects once per play for months. The narrow call does
    // not leak and is exact for ASCII, so it is used whenever it can be.
    if (isAscii(limited)) {
        QByteArray in = limited.toLatin1();
        rc = SQLDriverConnect(connection.get(), nullptr, reinterpret_cast<SQLCHAR *>(in.data()), SQLSMALLINT(in.size()),
                              nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    } else {
        QString in = limited;
        rc = SQLDriverConnectW(connection.get(), nullptr, reinterpret_cast<SQLWCHAR *>(in.data()),
                               SQLSMALLINT(in.size()), nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    }
    check(rc, connection, u"connecting"_s);
    connection.m_connected = true;
    return connection;
}

} // namespace quaverlink::odbc
