#pragma once

#include "common/reporter.h"
#include "outputconfig.h"

#include <QByteArray>
#include <QObject>
#include <QStringList>
#include <QThread>

#include <chrono>
#include <memory>

namespace quaverlink {

class OutputMailbox;
class OutputWorker;

// The outputs beside metadata.txt that Quaverlink.ini asks for, one section
// each, [Output NAME]: files, Icecast mounts, line feeds to RDS encoders, an
// HTTP feed for web pages and overlays, webhooks and DAB+ DLS files. Every
// text that goes on air reaches every output, in order, on a thread of their
// own, so an output never holds up the air; a push output that falls behind
// sends the newest text, and outputs that fall behind the air as a whole
// skip to the newest.
class Outputs final : public QObject
{
    Q_OBJECT

public:
    explicit Outputs(QList<OutputConfig> configs, QObject *parent = nullptr);
    ~Outputs() override;

    const QStringList &names() const { return m_names; }
    void publish(const NowPlaying &playing);
    // Hands on what was published and ends the outputs' thread; false when
    // an output was still busy after timeout and the thread was left behind.
    bool stop(std::chrono::milliseconds timeout = std::chrono::seconds(2));

Q_SIGNALS:
    // An output began or stopped working; state says how it stands.
    void stateChanged(const QString &name, const QString &state);
    // A line an output wrote to standard error.
    void reported(const QString &line, quaverlink::Severity severity);

private:
    QStringList m_names;
    std::shared_ptr<OutputMailbox> m_mailbox;
    std::unique_ptr<QThread> m_thread = std::make_unique<QThread>();
    OutputWorker *m_worker = nullptr;
};

} // namespace quaverlink
