#include "historyfile.h"

namespace quaverlink {

HistoryFile::HistoryFile(QByteArray path, SpoolLimits limits)
    : m_path(std::move(path))
    , m_limits(limits)
{
}

std::shared_ptr<PlaySpool> HistoryFile::open()
{
    QMutexLocker lock(&m_mutex);
    if (!m_spool && !m_failure) {
        try {
            m_spool = std::make_shared<PlaySpool>(m_path, m_limits);
        } catch (...) {
            m_failure = std::current_exception();
        }
    }
    if (m_failure) {
        std::rethrow_exception(m_failure);
    }
    return m_spool;
}

} // namespace quaverlink
