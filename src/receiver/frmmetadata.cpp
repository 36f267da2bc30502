#include "frmmetadata.h"

#include "codepage.h"
#include "conversion.h"
#include "failure.h"
#include "metadatafile.h"
#include "modini.h"
#include "playlog/logplay.h"

#include <QDateTime>
#include <QDir>
#include <QHostInfo>

#include <cerrno>
#include <cstring>
#include <limits>
#include <sys/socket.h>

namespace quaverlink {
namespace {

const QString kStartupFailureMessage = u"Error - Please restart the application!"_qs;
const QString kVersionText = QStringLiteral(QUAVERLINK_VERSION_TEXT);
const QString kNoticeText = u"Quaverlink \u2013 now-playing receiver for Rivendell \u2013 MIT licence"_qs;
const QString kMetadataFile = u"metadata.txt"_qs;

// Past this much waiting text a flood would take all memory. The oldest
// waiting items give way then: what is sent last is what belongs on air.
constexpr qint64 kMaxPendingBytes = 16 * 1024 * 1024;
// What one waiting item costs beyond its bytes.
constexpr qint64 kPendingOverhead = 64;
// Items applied in one go before other events (ticks, repaints) get a turn.
constexpr int kItemsPerTurn = 256;

std::int16_t toInt16(const QString &text, const QString &setting)
{
    const auto value = convertToInteger(text, std::numeric_limits<std::int16_t>::min(),
                                        std::numeric_limits<std::int16_t>::max());
    if (!value) {
        throw Failure(u"reading "_qs + setting,
                      u"\""_qs + text + u"\" is not a number from -32768 to 32767"_qs);
    }
    return std::int16_t(*value);
}

quint16 toPort(const QString &text)
{
    const auto value = convertToInteger(text, std::numeric_limits<std::int32_t>::min(),
                                        std::numeric_limits<std::int32_t>::max());
    if (!value || *value < 1 || *value > 65535) {
        throw Failure(u"reading RDlistenport"_qs, u"\""_qs + text + u"\" is not a port from 1 to 65535"_qs);
    }
    return quint16(*value);
}

} // namespace

frmMetaData::frmMetaData(QObject *parent)
    : QObject(parent)
{
    m_timerBacktoDefault.setInterval(kTickMilliseconds);
    connect(&m_timerBacktoDefault, &QTimer::timeout, this, [this] {
        runEvent(u"idle countdown"_qs, [this] { timerBacktoDefault_Timer(); });
    });
    connect(&m_WSockGET, &QUdpSocket::readyRead, this, &frmMetaData::WSockGET_DataArrival);
    connect(&m_Winsock, &QUdpSocket::readyRead, this, &frmMetaData::Winsock_DataArrival);
    m_continueApplying.setSingleShot(true);
    m_continueApplying.setInterval(0);
    connect(&m_continueApplying, &QTimer::timeout, this, &frmMetaData::applyQueuedItems);
}

frmMetaData::~frmMetaData() = default;

void frmMetaData::setStartupFailureHandler(StartupFailureHandler handler)
{
    m_startupFailureHandler = std::move(handler);
}

bool frmMetaData::Form_Load()
{
    try {
        m_fields.setText(Field::lblNow, QString());
        m_fields.setText(Field::lblLast, QString());
        m_fields.setText(Field::lblDefault, QString());
        m_fields.setText(Field::lblVersion, kVersionText);
        m_fields.setText(Field::lblCopyright, kNoticeText);

        const QString workingDirectory = QDir::currentPath();
        const QString settingsPath = workingDirectory + u"/Quaverlink.ini"_qs;
        auto read = [&](const char16_t *section, const char16_t *key) {
            return ReadSetting(QString::fromUtf16(section), QString::fromUtf16(key), settingsPath,
                               workingDirectory);
        };

        const QString listenPortText = read(u"Metadata", u"RDlistenport");
        m_defaultcaption = read(u"Metadata", u"IdleString");
        m_counttimeout = toInt16(read(u"Metadata", u"CountTimeout"), u"CountTimeout"_qs);
        m_fields.setText(Field::lblDBenabled, read(u"Database", u"DBenabled"));
        m_fields.setText(Field::lblDBserver, read(u"Database", u"DBserver"));
        m_fields.setText(Field::lblDBuser, read(u"Database", u"DBuser"));
        m_fields.setText(Field::lblDBpassword, read(u"Database", u"DBpassword"));
        m_fields.setText(Field::lblDBname, read(u"Database", u"DBname"));
        m_fields.setText(Field::lblDefault, m_defaultcaption);

        configureReceiver(listenPortText);
        configureSender(listenPortText);
        sendLoopback();
        sendLoopback();
        m_countdown = m_counttimeout;
        m_timerBacktoDefault.start();
        return true;
    } catch (const Failure &failure) {
        reportFailure(u"start-up failed"_qs, failure.describe());
    } catch (const std::exception &failure) {
        reportFailure(u"start-up failed"_qs, QString::fromLocal8Bit(failure.what()));
    }
    if (m_startupFailureHandler) {
        m_startupFailureHandler(kStartupFailureMessage);
    }
    return false;
}

void frmMetaData::configureReceiver(const QString &listenPortText)
{
    const quint16 port = toPort(listenPortText);
    // No address sharing: a port another program holds must fail here, not
    // split the datagrams between two receivers.
    if (!m_WSockGET.bind(QHostAddress::Any, port, QAbstractSocket::DontShareAddress)) {
        throw Failure(u"binding the receiver to port "_qs + QString::number(port), m_WSockGET.errorString());
    }
    // Room for a long burst while an item is being applied.
    m_WSockGET.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4 * 1024 * 1024);
}

void frmMetaData::configureSender(const QString &listenPortText)
{
    m_Winsock.abort();
    const QHostInfo localhost = QHostInfo::fromName(u"localhost"_qs);
    if (localhost.error() != QHostInfo::NoError || localhost.addresses().isEmpty()) {
        throw Failure(u"resolving localhost"_qs, localhost.errorString());
    }
    m_remoteHost = localhost.addresses().constFirst();
    for (const QHostAddress &address : localhost.addresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            m_remoteHost = address;
            break;
        }
    }
    m_remotePort = toPort(listenPortText);
}

void frmMetaData::sendLoopback()
{
    if (m_Winsock.state() != QAbstractSocket::BoundState
        && !m_Winsock.bind(QHostAddress::Any, m_senderLocalPort, QAbstractSocket::DontShareAddress)) {
        throw Failure(u"binding the sender to port "_qs + QString::number(m_senderLocalPort),
                      m_Winsock.errorString());
    }
    const QByteArray payload = encode8Bit(m_defaultcaption);
    if (m_Winsock.writeDatagram(payload, m_remoteHost, m_remotePort) != payload.size()) {
        throw Failure(u"sending the idle text"_qs, m_Winsock.errorString());
    }
}

void frmMetaData::ShowData(const QString &The_Data)
{
    if (The_Data.size() <= 4) {
        m_fields.setText(Field::lblLast, m_fields.text(Field::lblNow));
        m_fields.setText(Field::lblNow, m_defaultcaption);
        replaceMetadataFile(kMetadataFile, m_fields.text(Field::lblDefault));
        return;
    }
    m_countdown = m_counttimeout;
    m_fields.setText(Field::lblLast, m_fields.text(Field::lblData));
    m_fields.setText(Field::lblNow, The_Data);
    m_fields.setText(Field::lblData, The_Data);
    replaceMetadataFile(kMetadataFile, m_fields.text(Field::lblNow));
    if (m_fields.text(Field::lblDBenabled) == u"Y") {
        LogPlay(The_Data);
    }
}

void frmMetaData::LogPlay(const QString &The_Data)
{
    const DatabaseLogin login {m_fields.text(Field::lblDBuser), m_fields.text(Field::lblDBpassword),
                               m_fields.text(Field::lblDBserver)};
    try {
        quaverlink::LogPlay(login, The_Data);
    } catch (const Failure &failure) {
        // Enough to complete the play history by hand.
        throw Failure(u"play history: not logged: "_qs
                          + QDateTime::currentDateTime().toString(u"yyyy-MM-dd HH:mm:ss"_qs) + u" \""_qs
                          + The_Data + u"\""_qs,
                      failure.describe());
    }
}

void frmMetaData::timerBacktoDefault_Timer()
{
    if (m_countdown == std::numeric_limits<std::int16_t>::min()) {
        throw Failure(u"counting down"_qs, u"the countdown cannot go below -32768"_qs);
    }
    --m_countdown;
    if (m_countdown < 1) {
        sendLoopback();
        m_countdown = m_counttimeout;
    }
    m_fields.setText(Field::lblCounter, QString::number(m_countdown));
}

void frmMetaData::WSockGET_DataArrival()
{
    takeNotifiedDatagram(m_WSockGET);
    drainPending();
    applyQueuedItems();
}

void frmMetaData::Winsock_DataArrival()
{
    takeNotifiedDatagram(m_Winsock);
    drainPending();
    applyQueuedItems();
}

void frmMetaData::takeNotifiedDatagram(QUdpSocket &socket)
{
    // Qt holds further readyRead signals back until one of its own reads
    // has run; the rest is drained directly.
    const qint64 size = socket.readDatagram(m_receiveBuffer.data(), m_receiveBuffer.size());
    if (size >= 0) {
        enqueue(QByteArray(m_receiveBuffer.constData(), size));
    }
}

void frmMetaData::enqueue(QByteArray datagram)
{
    m_pendingBytes += datagram.size() + kPendingOverhead;
    m_pending.push_back(std::move(datagram));
    while (m_pendingBytes > kMaxPendingBytes && m_pending.size() > 1) {
        m_pendingBytes -= m_pending.front().size() + kPendingOverhead;
        m_pending.pop_front();
        ++m_droppedItems;
    }
}

void frmMetaData::drainSocket(QUdpSocket &socket)
{
    if (socket.state() != QAbstractSocket::BoundState) {
        return;
    }
    // One non-blocking receive per datagram straight from the descriptor;
    // QUdpSocket would peek twice per datagram and once more to find none.
    // UDP datagrams are at most 65,507 bytes: the buffer always holds one.
    const int fd = int(socket.socketDescriptor());
    for (;;) {
        const ssize_t size = ::recv(fd, m_receiveBuffer.data(), size_t(m_receiveBuffer.size()), MSG_DONTWAIT | MSG_TRUNC);
        if (size < 0) {
            if (errno == EINTR) {
                continue;
            }
            // ECONNREFUSED only says an earlier send found no listener.
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNREFUSED) {
                reportFailure(u"reading a datagram"_qs, QString::fromLocal8Bit(std::strerror(errno)));
            }
            return;
        }
        enqueue(QByteArray(m_receiveBuffer.constData(), qMin<qsizetype>(size, m_receiveBuffer.size())));
    }
}

void frmMetaData::reportDroppedItems()
{
    if (m_droppedItems > 0) {
        reportFailure(u"flood"_qs, QString::number(m_droppedItems)
                          + u" waiting items were dropped to keep memory bounded; newer items went on air"_qs);
        m_droppedItems = 0;
    }
}

void frmMetaData::drainPending()
{
    drainSocket(m_WSockGET);
    drainSocket(m_Winsock);
}

void frmMetaData::applyQueuedItems()
{
    if (m_applying) {
        return;
    }
    m_applying = true;
    for (int applied = 0; applied < kItemsPerTurn && !m_pending.empty(); ++applied) {
        const QByteArray datagram = std::move(m_pending.front());
        m_pending.pop_front();
        m_pendingBytes -= datagram.size() + kPendingOverhead;
        const QString The_Data = decode8Bit(datagram);
        runEvent(u"applying an item"_qs, [&] { ShowData(The_Data); });
        Q_EMIT itemApplied(The_Data);
        // What arrived meanwhile joins the queue now, before the kernel's
        // buffer can fill up behind a slow item.
        drainPending();
    }
    m_applying = false;
    reportDroppedItems();
    if (!m_pending.empty()) {
        // Let ticks and repaints in before the next stretch.
        m_continueApplying.start();
    }
}

template<typename Work>
void frmMetaData::runEvent(const QString &what, Work &&work)
{
    try {
        work();
    } catch (const Failure &failure) {
        reportFailure(what + u" failed"_qs, failure.describe());
    } catch (const std::exception &failure) {
        reportFailure(what + u" failed"_qs, QString::fromLocal8Bit(failure.what()));
    }
}

void frmMetaData::reportFailure(const QString &what, const QString &cause)
{
    const QString line = failureLine(what, cause);
    writeFailureLine(line);
    Q_EMIT failureReported(line);
}

} // namespace quaverlink
