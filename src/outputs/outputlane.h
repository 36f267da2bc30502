#pragma once

#include "sink.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <optional>

namespace quaverlink {

// One output's road from the air: its filters, then its delay, then its
// pace, then the output itself.
class OutputLane final : public QObject
{
public:
    // A delay holds texts back; in a flood the oldest give way, as they
    // would be replaced before anyone saw them anyway.
    static constexpr qsizetype kMaxDelayed = 1000;
    static constexpr qint64 kMaxDelayedBytes = 4 * 1024 * 1024;

    explicit OutputLane(Sink *sink);

    Sink &sink() const { return *m_sink; }

    void publish(const NowPlaying &playing);

private:
    // A push output sends a play once. The same play told again (the idle
    // text's second copy at start-up, a play's details from the PAD feed
    // after it went out) goes out again only when what it sends changed.
    bool repeatsTheLast(const NowPlaying &playing);

    void forward(const NowPlaying &playing);

    QDateTime dueOf(const NowPlaying &playing) const
    {
        return playing.onAir.addMSecs(m_sink->config().pacing.delay.count());
    }

    // Each text leaves at its own time on air plus the delay, in order.
    void releaseDue();

    void scheduleDue();

    // At most one text per MinInterval; meanwhile the newest waits.
    void pace(const NowPlaying &playing);

    Sink *m_sink;                         // a child
    std::optional<NowPlaying> m_awaiting; // a datagram's play, waiting for its details
    QTimer m_detailsTimer;
    std::optional<NowPlaying> m_last;
    QByteArray m_lastSent;
    QList<NowPlaying> m_delayed;
    qint64 m_delayedBytes = 0;
    QTimer m_delayTimer;
    std::optional<NowPlaying> m_held;
    QTimer m_paceTimer;
    QElapsedTimer m_lastPush;
};

} // namespace quaverlink
