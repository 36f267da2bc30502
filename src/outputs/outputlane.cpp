#include "outputlane.h"

namespace quaverlink {

OutputLane::OutputLane(Sink *sink)
    : m_sink(sink)
{
    m_sink->setParent(this);
    m_delayTimer.setSingleShot(true);
    connect(&m_delayTimer, &QTimer::timeout, this, &OutputLane::releaseDue);
    m_detailsTimer.setSingleShot(true);
    connect(&m_detailsTimer, &QTimer::timeout, this, [this] {
        if (m_awaiting) {
            forward(*std::exchange(m_awaiting, std::nullopt));
        }
    });
    m_paceTimer.setSingleShot(true);
    connect(&m_paceTimer, &QTimer::timeout, this, [this] {
        if (m_held) {
            pace(*std::exchange(m_held, std::nullopt));
        }
    });
}

void OutputLane::publish(const NowPlaying &playing)
{
    if (!m_sink->config().pacing.takes(playing)) {
        return;
    }
    if (m_awaiting) {
        m_detailsTimer.stop();
        const NowPlaying held = *std::exchange(m_awaiting, std::nullopt);
        if (playing.pad && playing.text == held.text) {
            forward(playing);
            return;
        }
        forward(held);
    }
    if (m_sink->config().pacing.padWait.count() > 0 && !playing.pad && !playing.isIdle) {
        m_awaiting = playing;
        m_detailsTimer.start(m_sink->config().pacing.padWait);
        return;
    }
    forward(playing);
}

bool OutputLane::repeatsTheLast(const NowPlaying &playing)
{
    const OutputConfig &config = m_sink->config();
    if (!config.isPush()) {
        return false;
    }
    QByteArray sent = config.renderer.render(playing);
    if (const auto *webhook = config.as<WebhookTarget>()) {
        sent += webhook->url.render(playing);
        if (webhook->body) {
            sent += webhook->body->render(playing);
        }
    }
    const bool toldAgain = m_last && playing.text == m_last->text
        && (playing.isIdle == m_last->isIdle && (playing.isIdle || (playing.pad && !m_last->pad)));
    const bool same = toldAgain && sent == m_lastSent;
    m_last = playing;
    m_lastSent = std::move(sent);
    return same;
}

void OutputLane::forward(const NowPlaying &playing)
{
    if (repeatsTheLast(playing)) {
        return;
    }
    const OutputConfig &config = m_sink->config();
    if (config.pacing.delay.count() == 0) {
        pace(playing);
        return;
    }
    if (config.pacing.delaySkipReplaced) {
        m_delayed.clear();
        m_delayedBytes = 0;
    }
    m_delayed.append(playing);
    m_delayedBytes += playing.footprint();
    while (m_delayed.size() > kMaxDelayed || m_delayedBytes > kMaxDelayedBytes) {
        m_delayedBytes -= m_delayed.takeFirst().footprint();
    }
    scheduleDue();
}

void OutputLane::releaseDue()
{
    const QDateTime now = QDateTime::currentDateTime();
    while (!m_delayed.isEmpty() && dueOf(m_delayed.constFirst()) <= now) {
        m_delayedBytes -= m_delayed.constFirst().footprint();
        pace(m_delayed.takeFirst());
    }
    scheduleDue();
}

void OutputLane::scheduleDue()
{
    if (!m_delayed.isEmpty() && !m_delayTimer.isActive()) {
        const qint64 wait = QDateTime::currentDateTime().msecsTo(dueOf(m_delayed.constFirst()));
        m_delayTimer.start(std::chrono::milliseconds(qMax<qint64>(wait, 0)));
    }
}

void OutputLane::pace(const NowPlaying &playing)
{
    const qint64 interval = m_sink->config().pacing.minInterval.count();
    if (interval > 0 && m_lastPush.isValid() && m_lastPush.elapsed() < interval) {
        m_held = playing;
        if (!m_paceTimer.isActive()) {
            m_paceTimer.start(std::chrono::milliseconds(interval - m_lastPush.elapsed()));
        }
        return;
    }
    m_lastPush.start();
    m_sink->publish(playing);
}

} // namespace quaverlink
