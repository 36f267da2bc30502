#pragma once

#include "common/reporter.h"
#include "icecastlisteners.h"

#include <QDateTime>
#include <QThread>

#include <chrono>

namespace quaverlink {

class ListenerTally;

// Counts the listeners of each play: Icecast is asked who listens when the
// play goes on air, every interval while it stays there, and once more when
// it leaves; its count is the number of distinct listeners seen in those
// answers, added up over the mounts. With an interval of 4 s and answers
// bounded to 3 s, two looks are never more than 7 s apart, so a listener
// who stays 8 s or more is always counted. A play during which one question
// failed has an unknown count, never a low one. The asking runs on a thread
// of its own; the plays are handed over and never wait.
class ListenerCounter final : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kInterval {4000};
    // Distinct listeners kept for one play; beyond, its count is unknown.
    static constexpr qsizetype kMostListeners = 250'000;

    explicit ListenerCounter(IcecastListeners::Settings settings, std::chrono::milliseconds interval = kInterval,
                             QObject *parent = nullptr);
    ~ListenerCounter() override;

    // A play went on air: the one before it, if any, has left.
    void startPlay(const QString &text, const QDateTime &playedAt);
    // Something that is no play (the idle text) went on air.
    void endPlay();
    // Gives each play still on air its count from the answers so far, then
    // ends the thread.
    void stop();

Q_SIGNALS:
    // A play's listeners: performances is -1 when they are unknown.
    void counted(const QString &text, const QDateTime &playedAt, qint64 performances);
    void reported(const QString &line, quaverlink::Severity severity);

private:
    QThread m_thread;
    ListenerTally *m_tally = nullptr; // lives on m_thread
};

} // namespace quaverlink
