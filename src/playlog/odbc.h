#pragma once

#include <QString>

#include <sql.h>
#include <sqlext.h>

#include <utility>

namespace quaverlink::odbc {

// Owns one ODBC handle; frees it on every path. Connections are
// disconnected before they are freed.
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
    void markConnected() { m_connected = true; }
    // Disconnects now, reporting a failure; the destructor only tries.
    void disconnect(const QString &step);

private:
    SQLSMALLINT m_type;
    SQLHANDLE m_handle = SQL_NULL_HANDLE;
    bool m_connected = false;
};

// Throws Failure for step unless rc is a success; the cause holds each
// diagnostic record's SQLSTATE, native code and message.
void check(SQLRETURN rc, const Handle &handle, const QString &step);

} // namespace quaverlink::odbc
