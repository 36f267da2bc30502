#include "common/literals.h"
#include "common/socketqueue.h"
#include "pushsink.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QUdpSocket>

namespace quaverlink {
namespace {

// A line of text to an RDS encoder or another device, over TCP or UDP.
class LineFeedSink final : public PushSink
{
public:
    LineFeedSink(const OutputConfig &config, LineFeedTarget target)
        : PushSink(config)
        , m_target(std::move(target))
    {
        connect(&m_socket, &QTcpSocket::connected, this, [this] {
            // A small send buffer: a device that stopped reading is noticed
            // after little data, not after the megabytes autotuning allows.
            m_socket.setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, kSendQueue);
            send();
        });
        // What a device says back is not for us; left unread it would pile up.
        connect(&m_socket, &QTcpSocket::readyRead, this, [this] { m_socket.skip(m_socket.bytesAvailable()); });
        // A device that takes a connection and drops it again (many take one
        // client only) must not count as working at every connect: that would
        // reset the pauses and write two lines a second.
        m_stable.setSingleShot(true);
        m_stable.setInterval(kStableAfter);
        connect(&m_stable, &QTimer::timeout, this, [this] {
            if (m_socket.state() == QAbstractSocket::ConnectedState) {
                confirmWorking();
            }
        });
        m_drain.setInterval(50);
        connect(&m_drain, &QTimer::timeout, this, &LineFeedSink::checkDrained);
        connect(&m_socket, &QTcpSocket::errorOccurred, this, [this] {
            m_stable.stop();
            m_drain.stop();
            m_held = false;
            const QString cause = m_socket.errorString();
            m_socket.abort();
            if (std::exchange(m_waiting, false)) {
                done(cause);
            } else {
                lost(cause);
            }
        });
    }
    ~LineFeedSink() override
    {
        // The socket, a member, goes before this object stops hearing it.
        m_socket.disconnect(this);
    }

protected:
    void push(const NowPlaying &playing) override
    {
        const QByteArray text = render(playing);
        m_text = text;
        if (m_target.udp) {
            QUdpSocket udp;
            const bool sent = udp.writeDatagram(text, QHostAddress(m_target.host), m_target.port) == text.size();
            done(sent ? std::nullopt : std::optional(udp.errorString()));
            return;
        }
        m_waiting = true;
        if (m_socket.state() == QAbstractSocket::ConnectedState) {
            send();
        } else if (m_socket.state() == QAbstractSocket::UnconnectedState) {
            m_socket.connectToHost(m_target.host, m_target.port);
        }
    }

private:
    // A device gets the newest text, never a backlog: while the line before
    // has not drained to it, the newest waits here, alone, and replaces any
    // older one; a device that takes nothing for kDrainDeadline is dropped.
    void send()
    {
        if (!m_waiting) {
            return;
        }
        m_waiting = false;
        if (unsentBytes(m_socket) > 0) {
            m_held = true;
            if (!m_drain.isActive()) {
                m_drainStarted.start();
                m_drain.start();
            }
            done(std::nullopt, false);
            return;
        }
        writeHeld();
        done(std::nullopt, false);
    }

    void writeHeld()
    {
        m_held = false;
        m_drain.stop();
        m_socket.write(m_text);
        if (!m_stable.isActive()) {
            m_stable.start();
        }
    }

    void checkDrained()
    {
        if (unsentBytes(m_socket) == 0) {
            writeHeld();
        } else if (m_drainStarted.hasExpired(kDrainDeadline.count())) {
            m_drain.stop();
            m_socket.abort();
            lost(u"the device stopped reading"_s);
        }
    }

    static constexpr int kSendQueue = 16 * 1024;
    const LineFeedTarget m_target;
    static constexpr std::chrono::seconds kStableAfter {5};
    static constexpr std::chrono::milliseconds kDrainDeadline {10000};
    QTcpSocket m_socket;
    QTimer m_stable;
    QTimer m_drain;
    QElapsedTimer m_drainStarted;
    QByteArray m_text;
    bool m_waiting = false;
    bool m_held = false; // m_text waits for the line before to drain
};

} // namespace

Sink *makeSink(const OutputConfig &config, const LineFeedTarget &target)
{
    return new LineFeedSink(config, target);
}

} // namespace quaverlink
