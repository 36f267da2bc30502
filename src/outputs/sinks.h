#pragma once

#include "outputs.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <optional>

namespace quaverlink {

// One output, living on the outputs' thread.
class Sink : public QObject
{
public:
    Sink(const Outputs::Config &config, Outputs::Report report, Outputs::StateReport state);

    virtual void publish(const NowPlaying &playing) = 0;

protected:
    // One line when an output stops working, one when it works again.
    void failed(const QString &cause);
    void worked();
    QByteArray render(const NowPlaying &playing) const { return m_config.renderer.render(playing); }

    const Outputs::Config m_config;

private:
    const Outputs::Report m_report;
    const Outputs::StateReport m_state;
    std::optional<bool> m_failing;
};

// Pauses between attempts: about a second at first, doubling up to a minute.
class Backoff final
{
public:
    std::chrono::milliseconds next()
    {
        const auto pause = m_pause;
        m_pause = std::min(m_pause * 2, std::chrono::milliseconds(60000));
        return pause;
    }
    void reset() { m_pause = std::chrono::milliseconds(1000); }

private:
    std::chrono::milliseconds m_pause {1000};
};

using SinkMaker = Sink *(*)(const Outputs::Config &, Outputs::Report, Outputs::StateReport);
Sink *makeFileSink(const Outputs::Config &config, Outputs::Report report, Outputs::StateReport state);
Sink *makeIcecastSink(const Outputs::Config &config, Outputs::Report report, Outputs::StateReport state);
Sink *makeLineFeedSink(const Outputs::Config &config, Outputs::Report report, Outputs::StateReport state);
Sink *makeHttpFeed(const Outputs::Config &config, Outputs::Report report, Outputs::StateReport state);

} // namespace quaverlink
