#pragma once

#include <QString>

#include <chrono>
#include <stdexcept>

namespace quaverlink {

// A failure abandons the rest of one event's work. It carries what was being
// done and why it did not work, so the event boundary can report both.
class Failure : public std::runtime_error
{
public:
    Failure(QString step, QString cause);

    const QString &step() const noexcept { return m_step; }
    const QString &cause() const noexcept { return m_cause; }
    QString describe() const;

private:
    QString m_step;
    QString m_cause;
};

// The one line a failure leaves on standard error: local time, what failed,
// and why, control characters escaped, at most this many characters long
// before the escapes.
inline constexpr qsizetype kMaxLineLength = 2000;
QString failureLine(const QString &what, const QString &cause);
// Queues a line for standard error and returns at once. The same line
// repeated in a burst is written once, then counted.
void writeFailureLine(const QString &line);
// Waits up to timeout for the queued lines to be written.
bool flushFailureLines(std::chrono::milliseconds timeout);

} // namespace quaverlink
