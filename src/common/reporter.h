#pragma once

#include <QObject>
#include <QString>

#include <chrono>

namespace quaverlink {
Q_NAMESPACE

// What a line on standard error means to someone watching the receiver.
enum class Severity {
    Failure,  // something stopped working or did not happen
    Recovery, // something works again
    Notice,   // worth knowing, nothing broken
};
Q_ENUM_NS(Severity)

// An object, often on a worker thread, that has lines to report: each is
// written to standard error at once, from whatever thread, so that a line is
// never lost to a process that must leave without waiting; observers hear of
// it through reported(), on their own thread.
class Reporter : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

Q_SIGNALS:
    void reported(const QString &line, quaverlink::Severity severity);

protected:
    void report(Severity severity, const QString &what, const QString &cause = QString());
};

// Pauses between attempts: short at first, doubling up to the longest.
class Backoff final
{
public:
    explicit Backoff(std::chrono::milliseconds first = std::chrono::seconds(1),
                     std::chrono::milliseconds longest = std::chrono::minutes(1))
        : m_first(first)
        , m_longest(longest)
        , m_pause(first)
    {
    }
    std::chrono::milliseconds next()
    {
        const auto pause = m_pause;
        m_pause = std::min(m_pause * 2, m_longest);
        return pause;
    }
    std::chrono::milliseconds first() const { return m_first; }
    void reset() { m_pause = m_first; }

private:
    std::chrono::milliseconds m_first;
    std::chrono::milliseconds m_longest;
    std::chrono::milliseconds m_pause;
};

} // namespace quaverlink
