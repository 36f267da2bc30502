#pragma once

#include "statusfields.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUdpSocket>

#include <cstdint>
#include <deque>
#include <functional>

namespace quaverlink {

// The receiver: the window's status fields and variables, its two datagram
// endpoints and its idle countdown, with no widget in sight. The window is a
// view over this object; tests drive it under QCoreApplication.
class frmMetaData final : public QObject
{
    Q_OBJECT

public:
    static constexpr quint16 kSenderPort = 6969;
    static constexpr int kTickMilliseconds = 1000;

    using StartupFailureHandler = std::function<void(const QString &message)>;

    explicit frmMetaData(QObject *parent = nullptr);
    ~frmMetaData() override;

    StatusFields &fields() { return m_fields; }
    const StatusFields &fields() const { return m_fields; }
    const QString &defaultcaption() const { return m_defaultcaption; }
    std::int16_t countdown() const { return m_countdown; }
    std::int16_t counttimeout() const { return m_counttimeout; }

    // Shown, modally, when start-up fails. Tests replace the message box.
    void setStartupFailureHandler(StartupFailureHandler handler);
    // The sender's local port is fixed in production; tests move it so that
    // several receivers can run side by side.
    void setSenderLocalPort(quint16 port) { m_senderLocalPort = port; }

    // Start-up: fills the fields from Quaverlink.ini in the working directory,
    // binds the endpoints, sends the idle text to itself twice and starts the
    // countdown. Returns whether every step succeeded; a failure has already
    // been reported and left the receiver in the state reached.
    bool Form_Load();

    // Applies one received item. Throws Failure when the metadata file or
    // the play history cannot be written; what was done before stays done.
    void ShowData(const QString &The_Data);

    // One tick of the idle countdown. Throws Failure on overflow or a failed
    // loopback send.
    void timerBacktoDefault_Timer();

    QUdpSocket &WSockGET() { return m_WSockGET; }
    QTimer &timerBacktoDefault() { return m_timerBacktoDefault; }

Q_SIGNALS:
    // Every failure after start-up and every start-up failure's cause, as the
    // line that went to standard error.
    void failureReported(const QString &line);
    // After each received item has been applied, whether or not all of its
    // work succeeded.
    void itemApplied(const QString &The_Data);

private:
    void WSockGET_DataArrival();
    void Winsock_DataArrival();
    void takeNotifiedDatagram(QUdpSocket &socket);
    void enqueue(QByteArray datagram);
    void drainPending();
    void drainSocket(QUdpSocket &socket);
    void applyQueuedItems();
    void reportDroppedItems();
    void LogPlay(const QString &The_Data);
    void sendLoopback();
    void configureReceiver(const QString &listenPortText);
    void configureSender(const QString &listenPortText);
    void reportFailure(const QString &what, const QString &cause);
    template<typename Work>
    void runEvent(const QString &what, Work &&work);

    StatusFields m_fields;
    QString m_defaultcaption;
    std::int16_t m_countdown = 0;
    std::int16_t m_counttimeout = 0;

    QUdpSocket m_WSockGET;
    QUdpSocket m_Winsock;
    QHostAddress m_remoteHost;
    quint16 m_remotePort = 0;
    quint16 m_senderLocalPort = kSenderPort;
    QTimer m_timerBacktoDefault;

    // Datagrams wait here, not in the kernel's buffer, so a burst is never
    // dropped while items are applied one by one.
    std::deque<QByteArray> m_pending;
    QByteArray m_receiveBuffer = QByteArray(65536, Qt::Uninitialized);
    qint64 m_pendingBytes = 0;
    qint64 m_droppedItems = 0;
    bool m_applying = false;
    QTimer m_continueApplying;

    StartupFailureHandler m_startupFailureHandler;
};

} // namespace quaverlink
