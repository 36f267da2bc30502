#pragma once

#include "common/literals.h"
#include "common/reporter.h"
#include "outputconfig.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <optional>

namespace quaverlink {

// One output, living on the outputs' thread.
class Sink : public Reporter
{
    Q_OBJECT

public:
    explicit Sink(const OutputConfig &config);

    // Once whoever listens to it is connected.
    virtual void start() { }
    virtual void publish(const NowPlaying &playing) = 0;
    const OutputConfig &config() const { return m_config; }

Q_SIGNALS:
    // The output began or stopped working; state says how it stands.
    void stateChanged(const QString &name, const QString &state);

protected:
    // One line when an output stops working, one when it works again.
    void failed(const QString &cause);
    void worked();
    // A line about this output that changes nothing about how it stands.
    void notice(const QString &cause) { report(Severity::Notice, u"output "_s + m_config.name, cause); }
    QByteArray render(const NowPlaying &playing) const { return m_config.renderer.render(playing); }

    const OutputConfig m_config;

private:
    std::optional<bool> m_failing;
};

// The sink of each kind of output, one file each.
Sink *makeSink(const OutputConfig &config, const FileTarget &target);
Sink *makeSink(const OutputConfig &config, const IcecastTarget &target);
Sink *makeSink(const OutputConfig &config, const LineFeedTarget &target);
Sink *makeSink(const OutputConfig &config, const HttpFeedTarget &target);
Sink *makeSink(const OutputConfig &config, const WebhookTarget &target);
Sink *makeSink(const OutputConfig &config, const DlsTarget &target);

} // namespace quaverlink
