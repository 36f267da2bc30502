#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>

class QUdpSocket;

namespace quaverlink {

// Takes datagrams off the sockets into a queue of our own and hands them on
// one at a time, in arrival order. The kernel's buffer is small; a burst
// waits here instead of being dropped while items are applied. Past a bound
// the oldest waiting datagrams give way, so that what is sent last is what
// reaches the air.
class DatagramIntake final : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<void(const QByteArray &datagram)>;
    // Whether a datagram from this sender may go on; without one, all may.
    // IPv4 senders arrive as IPv4 addresses, never IPv4-mapped IPv6 ones.
    using SenderFilter = std::function<bool(const QHostAddress &address, quint16 port)>;

    // Beyond this much waiting text a flood would take all memory.
    static constexpr qint64 kDefaultMaxWaitingBytes = 16 * 1024 * 1024;
    // Datagrams handed on in one go before ticks and repaints get a turn.
    static constexpr int kItemsPerTurn = 256;

    explicit DatagramIntake(Handler handler, qint64 maxWaitingBytes = kDefaultMaxWaitingBytes,
                            QObject *parent = nullptr);

    void watch(QUdpSocket *socket);
    void setSenderFilter(SenderFilter filter) { m_filter = std::move(filter); }
    // Refused senders counted by name; the others as kOtherSenders.
    static constexpr qsizetype kNamedSenders = 32;
    static inline const QString kOtherSenders = QStringLiteral("other senders");
    // The senders refused since the last call, with how many datagrams each.
    QMap<QString, qint64> takeRefused() { return std::exchange(m_refused, {}); }
    // Every datagram refused since the start.
    qint64 refusedTotal() const { return m_refusedTotal; }
    // Moves every datagram the sockets hold into the queue.
    void drain();
    // Hands on up to one turn's worth of waiting datagrams, draining the
    // sockets after each, and schedules the next turn if any are left.
    void handOn();

    qsizetype waitingCount() const { return qsizetype(m_waiting.size()); }

Q_SIGNALS:
    // So many waiting datagrams gave way since the last report.
    void dropped(qint64 count);
    void readFailed(const QString &cause);
    // The first datagram refused since takeRefused() was last called.
    void refused();

private:
    void take(QByteArray datagram);
    bool accepts(const QHostAddress &address, quint16 port);
    void drainSocket(QUdpSocket &socket);
    bool anyReadable() const;

    Handler m_handler;
    SenderFilter m_filter;
    QMap<QString, qint64> m_refused;
    qint64 m_refusedTotal = 0;
    const qint64 m_maxWaitingBytes;
    QList<QUdpSocket *> m_sockets;
    std::deque<QByteArray> m_waiting;
    QByteArray m_buffer = QByteArray(65536, Qt::Uninitialized);
    qint64 m_waitingBytes = 0;
    qint64 m_dropped = 0;
    bool m_handingOn = false;
    QTimer m_nextTurn;
};

} // namespace quaverlink
