#include "datagramintake.h"

#include <QUdpSocket>

#include <array>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace quaverlink {
namespace {

// What one waiting datagram costs beyond its bytes.
constexpr qint64 kWaitingOverhead = 64;

} // namespace

DatagramIntake::DatagramIntake(Handler handler, qint64 maxWaitingBytes, QObject *parent)
    : QObject(parent)
    , m_handler(std::move(handler))
    , m_maxWaitingBytes(maxWaitingBytes)
{
    m_nextTurn.setSingleShot(true);
    m_nextTurn.setInterval(0);
    connect(&m_nextTurn, &QTimer::timeout, this, &DatagramIntake::handOn);
}

void DatagramIntake::watch(QUdpSocket *socket)
{
    m_sockets.append(socket);
    connect(socket, &QUdpSocket::readyRead, this, [this, socket] {
        // Qt holds further readyRead signals back until one of its own
        // reads has run; what follows is drained directly.
        QHostAddress address;
        quint16 port = 0;
        const qint64 size = socket->readDatagram(m_buffer.data(), m_buffer.size(), &address, &port);
        if (size >= 0 && accepts(address, port)) {
            take(QByteArray(m_buffer.constData(), size));
        } else {
            // Refused senders come in floods: the rest is read in one go.
            drainSocket(*socket);
        }
        handOn();
    });
}

void DatagramIntake::take(QByteArray datagram)
{
    m_waitingBytes += datagram.size() + kWaitingOverhead;
    m_waiting.push_back(std::move(datagram));
    while (m_waitingBytes > m_maxWaitingBytes && m_waiting.size() > 1) {
        m_waitingBytes -= m_waiting.front().size() + kWaitingOverhead;
        m_waiting.pop_front();
        ++m_dropped;
    }
}

void DatagramIntake::drain()
{
    for (QUdpSocket *socket : std::as_const(m_sockets)) {
        drainSocket(*socket);
    }
}

void DatagramIntake::drainSocket(QUdpSocket &socket)
{
    if (socket.state() != QAbstractSocket::BoundState) {
        return;
    }
    // One non-blocking recv per datagram straight from the descriptor:
    // QUdpSocket would make three system calls for each. A UDP datagram is
    // at most 65,507 bytes, so the buffer always holds one whole.
    const int fd = int(socket.socketDescriptor());
    for (;;) {
        sockaddr_storage sender = {};
        socklen_t senderSize = sizeof sender;
        const ssize_t size
            = ::recvfrom(fd, m_buffer.data(), size_t(m_buffer.size()), MSG_DONTWAIT | MSG_TRUNC,
                         m_filter ? reinterpret_cast<sockaddr *>(&sender) : nullptr, m_filter ? &senderSize : nullptr);
        if (size < 0) {
            if (errno == EINTR) {
                continue;
            }
            // ECONNREFUSED only says an earlier send found no listener.
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNREFUSED) {
                Q_EMIT readFailed(QString::fromLocal8Bit(std::strerror(errno)));
            }
            return;
        }
        if (m_filter) {
            const QHostAddress address(reinterpret_cast<const sockaddr *>(&sender));
            const auto *in = reinterpret_cast<const sockaddr_in *>(&sender); // the port sits alike in both families
            if (!accepts(address, ntohs(in->sin_port))) {
                continue;
            }
        }
        take(QByteArray(m_buffer.constData(), qMin<qsizetype>(size, m_buffer.size())));
    }
}

bool DatagramIntake::anyReadable() const
{
    std::array<pollfd, 2> fds {};
    nfds_t count = 0;
    for (const QUdpSocket *socket : m_sockets) {
        if (socket->state() == QAbstractSocket::BoundState && count < fds.size()) {
            fds[count++] = {int(socket->socketDescriptor()), POLLIN, 0};
        }
    }
    return count > 0 && ::poll(fds.data(), count, 0) > 0;
}

bool DatagramIntake::accepts(const QHostAddress &address, quint16 port)
{
    if (!m_filter) {
        return true;
    }
    // A dual-stack socket reports IPv4 senders as ::ffff:a.b.c.d.
    bool isIPv4 = false;
    const QHostAddress ipv4(address.toIPv4Address(&isIPv4));
    const QHostAddress &sender = isIPv4 ? ipv4 : address;
    if (m_filter(sender, port)) {
        return true;
    }
    ++m_refusedTotal;
    const bool first = m_refused.isEmpty();
    // Spoofed sources are endless: a few dozen are counted by name, the
    // rest together.
    const QString name = sender.toString();
    if (m_refused.size() < kNamedSenders || m_refused.contains(name)) {
        ++m_refused[name];
    } else {
        ++m_refused[kOtherSenders];
    }
    if (first) {
        Q_EMIT refused();
    }
    return false;
}

void DatagramIntake::handOn()
{
    // A handler that reaches the event loop must not start a second turn inside this one.
    if (m_handingOn) {
        return;
    }
    m_handingOn = true;
    for (int handed = 0; handed < kItemsPerTurn && !m_waiting.empty(); ++handed) {
        const QByteArray datagram = std::move(m_waiting.front());
        m_waiting.pop_front();
        m_waitingBytes -= datagram.size() + kWaitingOverhead;
        m_handler(datagram);
        // What arrived meanwhile joins the queue now, before the kernel's
        // buffer can fill up behind a slow item. A lone item asks once
        // whether anything did, rather than read each socket empty.
        if (!m_waiting.empty() || handed > 0 || anyReadable()) {
            drain();
        }
    }
    m_handingOn = false;
    if (m_dropped > 0) {
        Q_EMIT dropped(std::exchange(m_dropped, 0));
    }
    if (!m_waiting.empty()) {
        m_nextTurn.start();
    }
}

} // namespace quaverlink
