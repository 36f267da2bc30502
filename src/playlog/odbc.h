#pragma once

#include "common/failure.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <sql.h>
#include <sqlext.h>

#include <chrono>
#include <utility>

namespace quaverlink::odbc {

// One diagnostic record of a failed call.
struct Diagnostic
{
    QString sqlState;
    int nativeCode = 0;
    QString message;
};

// A failed ODBC call: the step, and every diagnostic record the driver left.
class Error final : public Failure
{
public:
    Error(const QString &step, QList<Diagnostic> diagnostics);

    // Of the first record; empty when the driver left none.
    QString sqlState() const;
    int nativeCode() const;
    const QList<Diagnostic> &diagnostics() const { return m_diagnostics; }
    // The server had taken the connection and the statement and refused to
    // carry it out, as opposed to a failure to connect or to prepare.
    bool isStatementRefusal() const { return m_statementRefused; }
    Error refusingStatement() const;
    // The same error with every occurrence of secret masked.
    Error masking(const QString &secret) const;

private:
    QList<Diagnostic> m_diagnostics;
    bool m_statementRefused = false;
};

// Owns one ODBC handle; frees it on every path. Connections are disconnected
// before they are freed.
class Handle final
{
public:
    Handle(SQLSMALLINT type, SQLHANDLE parent);
    ~Handle();
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    Handle(Handle &&other) noexcept
        : m_type(other.m_type)
        , m_handle(std::exchange(other.m_handle, SQLHANDLE(nullptr)))
        , m_connected(std::exchange(other.m_connected, false))
    {
    }

    SQLHANDLE get() const { return m_handle; }
    SQLSMALLINT type() const { return m_type; }
    // Disconnects now, reporting a failure; the destructor only tries.
    void disconnect();

private:
    friend Handle connect(const QString &connectionString, std::chrono::seconds timeout);

    SQLSMALLINT m_type;
    SQLHANDLE m_handle = SQL_NULL_HANDLE;
    bool m_connected = false;
};

// Throws Error for step unless rc is a success.
void check(SQLRETURN rc, const Handle &handle, const QString &step);

// Runs one statement on a statement handle.
void execute(const Handle &statement, QString sql, const QString &step);
// One column of the current row as text, however long; a null QString for NULL.
QString textColumn(const Handle &statement, SQLUSMALLINT column);
// The same as the driver sends it in the connection's character set, for a
// connection that asked for UTF-8 (CHARSET=utf8mb4): no conversion per value.
QString utf8Column(const Handle &statement, SQLUSMALLINT column);

// The names of the result's columns, in order, after execute().
QStringList columnNames(const Handle &statement);
// A name quoted for MariaDB, whatever it holds.
QString quotedName(const QString &name);

// The names under which drivers are registered with the driver manager.
QStringList drivers();

// A new connection through the driver manager, without prompting. Neither
// connecting nor any later exchange on it waits longer than timeout.
Handle connect(const QString &connectionString, std::chrono::seconds timeout);

} // namespace quaverlink::odbc
