#pragma once

#include "playspool.h"

#include <QByteArray>
#include <QMutex>

#include <exception>
#include <memory>

namespace quaverlink {

// A station's playhistory.sqlite, held by one PlaySpool for the whole run:
// the plays waiting for the database and the recent plays a status page
// lists go through it, under its lock, so a second receiver in the same
// folder writes neither. It is opened by whichever part asks first, from
// any thread.
class HistoryFile final
{
public:
    explicit HistoryFile(QByteArray path, SpoolLimits limits = {});

    // The spool, opened on the first call. Throws SpoolTaken or Failure,
    // the same on every call after the first: a run decides once.
    std::shared_ptr<PlaySpool> open();

private:
    QMutex m_mutex;
    const QByteArray m_path;
    const SpoolLimits m_limits;
    std::shared_ptr<PlaySpool> m_spool;
    std::exception_ptr m_failure;
};

} // namespace quaverlink
