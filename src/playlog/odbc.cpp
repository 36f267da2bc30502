#include "odbc.h"

#include "receiver/failure.h"

#include <QStringList>

#include <algorithm>

#include <sqlucode.h>

namespace quaverlink::odbc {

Handle::Handle(SQLSMALLINT type, SQLHANDLE parent)
    : m_type(type)
{
    const SQLRETURN rc = SQLAllocHandle(type, parent, &m_handle);
    if (!SQL_SUCCEEDED(rc)) {
        m_handle = SQL_NULL_HANDLE;
        throw Failure(u"allocating an ODBC handle"_qs,
                      u"the driver manager returned "_qs + QString::number(rc));
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

void Handle::disconnect(const QString &step)
{
    if (!m_connected) {
        return;
    }
    m_connected = false;
    check(SQLDisconnect(m_handle), *this, step);
}

namespace {

QString diagnostics(const Handle &handle)
{
    QStringList records;
    for (SQLSMALLINT record = 1;; ++record) {
        SQLWCHAR state[6] = {};
        SQLINTEGER native = 0;
        SQLWCHAR message[SQL_MAX_MESSAGE_LENGTH + 1] = {};
        SQLSMALLINT length = 0;
        const SQLRETURN rc = SQLGetDiagRecW(handle.type(), handle.get(), record, state, &native,
                                            message, SQL_MAX_MESSAGE_LENGTH + 1, &length);
        if (!SQL_SUCCEEDED(rc)) {
            break;
        }
        const qsizetype used = std::clamp<qsizetype>(length, 0, SQL_MAX_MESSAGE_LENGTH);
        records << u"[%1] (%2) %3"_qs.arg(QString::fromUtf16(reinterpret_cast<const char16_t *>(state), 5))
                       .arg(native)
                       .arg(QString::fromUtf16(reinterpret_cast<const char16_t *>(message), used));
    }
    return records.isEmpty() ? u"no diagnostics"_qs : records.join(u"; "_qs);
}

} // namespace

void check(SQLRETURN rc, const Handle &handle, const QString &step)
{
    if (!SQL_SUCCEEDED(rc)) {
        throw Failure(step, diagnostics(handle));
    }
}

} // namespace quaverlink::odbc
