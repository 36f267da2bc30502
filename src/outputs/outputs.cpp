#include "outputs.h"

#include "common/failure.h"
#include "common/literals.h"
#include "outputlane.h"

#include <QMutex>

#include <deque>
#include <memory>
#include <vector>

namespace quaverlink {

// The texts on their way from the air to the outputs' thread. In a flood
// that the outputs cannot keep up with, the oldest give way: the air never
// waits, and memory stays bounded.
class OutputMailbox final
{
public:
    static constexpr qsizetype kMaxTexts = 1000;
    static constexpr qint64 kMaxBytes = 8 * 1024 * 1024;

    // Whether the mailbox was empty, so that the outputs' thread is to be woken.
    bool post(const NowPlaying &playing)
    {
        QMutexLocker lock(&m_mutex);
        const bool wasEmpty = m_texts.empty();
        m_texts.push_back(playing);
        m_bytes += playing.footprint();
        while (m_texts.size() > 1 && (qsizetype(m_texts.size()) > kMaxTexts || m_bytes > kMaxBytes)) {
            m_bytes -= m_texts.front().footprint();
            m_texts.pop_front();
            ++m_skipped;
        }
        return wasEmpty;
    }
    // Everything waiting, and how many gave way since the last call.
    std::pair<std::deque<NowPlaying>, qint64> take()
    {
        QMutexLocker lock(&m_mutex);
        m_bytes = 0;
        return {std::exchange(m_texts, {}), std::exchange(m_skipped, 0)};
    }

private:
    QMutex m_mutex;
    std::deque<NowPlaying> m_texts;
    qint64 m_bytes = 0;
    qint64 m_skipped = 0;
};

// Owns the sinks; made and run on the outputs' thread.
class OutputWorker final : public QObject
{
    Q_OBJECT

public:
    void start(const QList<OutputConfig> &configs)
    {
        for (const OutputConfig &config : configs) {
            Sink *made = std::visit([&](const auto &target) { return makeSink(config, target); }, config.target);
            Sink *sink = &m_lanes.emplace_back(std::make_unique<OutputLane>(made))->sink();
            connect(sink, &Sink::reported, this, &OutputWorker::reported);
            connect(sink, &Sink::stateChanged, this, &OutputWorker::stateChanged);
            sink->start();
        }
    }

    // Hands every text waiting in the mailbox to every output, in order.
    void deliver(OutputMailbox &mailbox)
    {
        const auto [texts, skipped] = mailbox.take();
        if (skipped > 0) {
            noteSkipped(skipped);
        }
        for (const NowPlaying &playing : texts) {
            for (const std::unique_ptr<OutputLane> &lane : m_lanes) {
                lane->publish(playing);
            }
        }
    }

Q_SIGNALS:
    void reported(const QString &line, quaverlink::Severity severity);
    void stateChanged(const QString &name, const QString &state);

private:
    // One line a minute at most, with how many since the last.
    void noteSkipped(qint64 skipped)
    {
        m_skipped += skipped;
        if (!m_skipReport.isActive()) {
            reportSkipped();
        }
    }
    void reportSkipped()
    {
        if (m_skipped > 0) {
            const QString line = failureLine(u"outputs"_s,
                                             u"%1 texts were skipped: the outputs fell behind the air,"
                                             " and went on with the newest"_s.arg(std::exchange(m_skipped, 0)));
            writeFailureLine(line);
            Q_EMIT reported(line, Severity::Failure);
            m_skipReport.start(std::chrono::minutes(1));
        }
    }

    std::vector<std::unique_ptr<OutputLane>> m_lanes;
    qint64 m_skipped = 0;
    QTimer m_skipReport;

public:
    OutputWorker()
    {
        m_skipReport.setSingleShot(true);
        connect(&m_skipReport, &QTimer::timeout, this, &OutputWorker::reportSkipped);
    }
};

Outputs::Outputs(QList<OutputConfig> configs, QObject *parent)
    : QObject(parent)
    , m_mailbox(std::make_shared<OutputMailbox>())
{
    for (const OutputConfig &config : std::as_const(configs)) {
        m_names << config.name;
    }
    m_worker = new OutputWorker;
    m_worker->moveToThread(m_thread.get());
    connect(m_thread.get(), &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread->setObjectName(u"outputs"_s);
    m_thread->start();
    // Lines and states come back to this object's thread.
    connect(m_worker, &OutputWorker::reported, this, &Outputs::reported);
    connect(m_worker, &OutputWorker::stateChanged, this, &Outputs::stateChanged);
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker, configs] { worker->start(configs); }, Qt::QueuedConnection);
}

Outputs::~Outputs()
{
    stop();
}

bool Outputs::stop(std::chrono::milliseconds timeout)
{
    if (!m_thread || !m_thread->isRunning()) {
        return true;
    }
    // What was published is handed on before the outputs end.
    QMetaObject::invokeMethod(
        m_worker, [thread = m_thread.get()] { thread->quit(); }, Qt::QueuedConnection);
    if (!m_thread->wait(QDeadlineTimer(timeout))) {
        // An output stuck in a call of its own: it is left behind, and the
        // process leaves without it.
        (void)m_thread.release();
        return false;
    }
    return true;
}

void Outputs::publish(const NowPlaying &playing)
{
    if (m_mailbox->post(playing)) {
        QMetaObject::invokeMethod(
            m_worker, [worker = m_worker, mailbox = m_mailbox] { worker->deliver(*mailbox); }, Qt::QueuedConnection);
    }
}

} // namespace quaverlink

#include "outputs.moc"
