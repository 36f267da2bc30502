#include "padclient.h"

#include "common/literals.h"
#include "settings/settings.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace quaverlink {

std::optional<PadClient::Options> PadClient::fromSettings(const IniFile &settings, QString *problem)
{
    const auto value
        = [&](const QString &key) { return settings.newValue(u"PAD"_s, key).value_or(QString()).trimmed(); };
    Options options;
    options.host = value(u"Host"_s);
    if (options.host.isEmpty()) {
        return std::nullopt;
    }
    if (const QString port = value(u"Port"_s); !port.isEmpty()) {
        const std::optional<quint16> number = portNumber(port);
        if (!number) {
            *problem = u"[PAD] Port \"%1\" is not a port number"_s.arg(port);
            return std::nullopt;
        }
        options.port = *number;
    }
    if (const QStringList machines = toList(value(u"Machine"_s)); !machines.isEmpty()) {
        options.machines.clear();
        for (const QString &machine : machines) {
            const std::optional<std::int64_t> number = convertToInteger(machine, 0, 1000);
            if (!number) {
                *problem = u"[PAD] Machine \"%1\" is not a log machine number"_s.arg(machine);
                return std::nullopt;
            }
            options.machines << *number;
        }
    }
    options.groups = toList(value(u"Groups"_s));
    if (const QString onAir = value(u"OnAir"_s); !onAir.isEmpty()) {
        if (onAir != u"Y" && onAir != u"N") {
            *problem = u"[PAD] OnAir \"%1\" is neither Y nor N"_s.arg(onAir);
            return std::nullopt;
        }
        options.onAirOnly = onAir == u"Y";
    }
    return options;
}

PadClient::PadClient(Options options, QObject *parent)
    : Reporter(parent)
    , m_options(std::move(options))
    , m_backoff(m_options.firstRetry, m_options.longestRetry)
{
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &PadClient::connectToFeed);
    connect(&m_socket, &QTcpSocket::readyRead, this, &PadClient::readFeed);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, [this] { reconnect(m_socket.errorString()); });
    connect(&m_socket, &QTcpSocket::connected, this, &PadClient::watchLiveness);
    // The feed is quiet between plays, so silence says nothing: the kernel's
    // keepalive probes tell a dead host or a cut link instead.
    m_stable.setSingleShot(true);
    m_stable.setInterval(kStableAfter);
    connect(&m_stable, &QTimer::timeout, this, [this] {
        if (m_socket.state() != QAbstractSocket::ConnectedState) {
            return;
        }
        m_backoff.reset();
        if (m_failing == true && m_documentRead) {
            report(Severity::Recovery, name(), u"works again"_s);
            m_failing = false;
        }
    });
    // What is read is framed at once; a sender that never ends a document
    // is cut off at PadFramer::kMaxDocument, not after all the kernel holds.
    m_socket.setReadBufferSize(256 * 1024);
}

QString PadClient::name() const
{
    return u"PAD feed %1 port %2"_s.arg(m_options.host).arg(m_options.port);
}

void PadClient::start()
{
    connectToFeed();
}

void PadClient::connectToFeed()
{
    m_socket.abort();
    m_socket.connectToHost(m_options.host, m_options.port);
}

void PadClient::readFeed()
{
    m_framer.append(m_socket.readAll());
    while (const std::optional<QByteArray> document = m_framer.takeDocument()) {
        QString error;
        const std::optional<PadUpdate> update = parsePadUpdate(*document, &error);
        if (!update) {
            reconnect(u"a document was refused: "_s + error, true);
            return;
        }
        // After a failure, it works again once the connection also stays up.
        m_documentRead = true;
        const QDateTime now = QDateTime::currentDateTime();
        if (!m_status.working) {
            m_status.working = true;
            m_status.since = now;
            m_status.reason.clear();
        }
        ++m_status.documents;
        m_status.lastDocument = now;
        Q_EMIT statusChanged();
        if (!m_failing) {
            m_failing = false;
        }
        apply(*update);
    }
    if (m_framer.isOverflowing()) {
        reconnect(u"a document was refused: it is longer than %1 bytes"_s.arg(PadFramer::kMaxDocument), true);
    }
}

void PadClient::watchLiveness()
{
    // A peer that answers no probe for about 40 s is dead, and so is one
    // that leaves what we sent unacknowledged for a minute.
    const int fd = int(m_socket.socketDescriptor());
    const int on = 1, idle = 20, interval = 5, probes = 4, unacknowledgedMs = 60'000;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledgedMs, sizeof unacknowledgedMs);
    // The pauses between attempts start again from the shortest only once
    // a connection has stayed up a while: a host that takes each connection
    // and drops it again is not asked every second.
    m_stable.start();
}

void PadClient::apply(const PadUpdate &update)
{
    if (!m_options.machines.contains(update.machine) || !update.now || (m_options.onAirOnly && !update.onAir)) {
        return;
    }
    const bool counts = m_options.groups.isEmpty() || m_options.groups.contains(update.now->group, Qt::CaseInsensitive);
    const auto last = m_lastPlay.find(update.machine);
    if (last != m_lastPlay.end() && last->now->isSamePlay(*update.now)) {
        const bool nextChanged = last->next != update.next;
        *last = update;
        if (nextChanged && counts) {
            Q_EMIT this->nextChanged(update);
        }
        return;
    }
    m_lastPlay.insert(update.machine, update);
    if (counts) {
        Q_EMIT played(update);
    }
}

void PadClient::reconnect(const QString &cause, bool documentRefused)
{
    // Once per failure, however the socket tells of it.
    if (m_retry.isActive()) {
        return;
    }
    if (documentRefused) {
        report(Severity::Failure, name(), cause + u"; connecting again"_s);
    } else if (!m_failing.value_or(false)) {
        report(Severity::Failure, name(), u"stopped working: "_s + cause);
        m_failing = true;
    }
    m_stable.stop();
    m_documentRead = false;
    if (m_status.working || m_status.since.isNull()) {
        m_status.working = false;
        m_status.since = QDateTime::currentDateTime();
    }
    m_status.reason = cause;
    Q_EMIT statusChanged();
    m_socket.abort();
    m_framer.clear();
    m_retry.start(m_backoff.next());
}

} // namespace quaverlink
