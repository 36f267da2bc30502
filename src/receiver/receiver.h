#pragma once

#include "common/atomicfile.h"
#include "common/reporter.h"
#include "datagramintake.h"
#include "livetext.h"
#include "outputs/template.h"
#include "play.h"
#include "statusfields.h"

#include <QDateTime>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUdpSocket>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace quaverlink {

struct AirSettings;
struct PadUpdate;
struct StationSettings;

// The air, with no widget in sight: the status fields, the idle text and
// countdown, the two datagram endpoints, the PAD feed's plays and the live
// text as they take the air, and the metadata file. What goes on air leaves
// by two signals, played() and onAirChanged(); the station connects the play
// history, the outputs and the rest to them. Tests drive it under
// QCoreApplication.
class Receiver final : public QObject
{
    Q_OBJECT

public:
    using StartupFailureHandler = std::function<void(const QString &message)>;

    explicit Receiver(QObject *parent = nullptr);
    ~Receiver() override;

    StatusFields &fields() { return m_fields; }
    const StatusFields &fields() const { return m_fields; }
    const QString &idleText() const { return m_idleText; }
    std::int16_t countdown() const { return m_countdown; }
    bool isListening() const { return m_listener.state() == QAbstractSocket::BoundState; }
    bool isCountingDown() const { return m_tickTimer.isActive(); }
    // What a status page shows besides the fields.
    struct Counters
    {
        qint64 itemsApplied = 0;
        qint64 idleTexts = 0; // sent by the receiver to itself
        qint64 dropped = 0;   // given up in floods
    };
    const Counters &counters() const { return m_counters; }
    qint64 refusedDatagrams() const { return m_intake.refusedTotal(); }
    // When the last item other than the idle text arrived; null before one did.
    const QDateTime &lastItemAt() const { return m_lastItemAt; }
    // What the PAD feed said comes next, while the play it came with is on air.
    QString nextText() const;

    // Shown, modally, when start-up fails. Tests replace the message box.
    void setStartupFailureHandler(StartupFailureHandler handler);
    // One second in production; tests that tick by hand make it long.
    void setTickInterval(std::chrono::milliseconds interval) { m_tickTimer.setInterval(interval); }

    // Fills the fields from the settings, binds the endpoints, sends the
    // idle text to itself twice and starts the countdown. Returns whether
    // every step succeeded; a failure has been reported, with the start-up
    // message, and leaves the receiver in the state reached.
    bool start(const StationSettings &settings);

    // Puts one received item on air. Throws Failure when the metadata file
    // cannot be written; what was done before stays done.
    void applyItem(const QString &text);

    // A live text holds the air until it expires or is cleared, and the
    // playout's plays meanwhile are recorded but not shown; with playoutFirst
    // it only fills what the idle text would. Either way, the air then goes
    // back to the playout's text if that is still current, else to the idle
    // text.
    void setLive(const LiveText &live);
    void clearLive(const QString &who);
    const std::optional<LiveText> &live() const { return m_live; }

    // What the PAD feed tells: a play on air, and what comes after it.
    void receivePadPlay(const quaverlink::PadUpdate &update);
    void receivePadNext(const quaverlink::PadUpdate &update);

    // One second of the idle countdown. Throws Failure on overflow or a
    // failed loopback send.
    void tick();

    // Reports the refused senders and dropped items not reported yet.
    void reportLastCounts();

Q_SIGNALS:
    // Every line that went to standard error, and what it means.
    void reported(const QString &line, quaverlink::Severity severity);
    // After each item put on air (from the UDP endpoint or the PAD feed),
    // whether or not all of its work succeeded.
    void itemApplied(const QString &text);
    // A play went on air, or the play on air gained what the PAD feed told
    // of it (Play::addsDetails).
    void played(const quaverlink::Play &play);
    // What the outputs are to show now.
    void onAirChanged(const quaverlink::NowPlaying &playing);
    // What the PAD feed says comes next changed, the play on air the same.
    void nextChanged();

private:
    // Reported, with the start-up message.
    void failStartup(const QString &cause);
    void receiveItem(const QByteArray &datagram);
    void putOnAir(const QString &text, std::shared_ptr<const PadUpdate> pad);
    // What puts a text on air: the file first, then the fields and the
    // outputs. Throws Failure when the file cannot be written.
    void show(const QString &onAirText, bool isLong, const QDateTime &onAir, std::shared_ptr<const PadUpdate> pad,
              bool live = false);
    void showFieldsAndOutputs(const QString &onAirText, bool isLong, const QDateTime &onAir,
                              std::shared_ptr<const PadUpdate> pad, bool live);
    void showLive();
    // The live text is gone: the playout's text, if still current, else the idle text.
    void returnToPlayout();
    // The same text came from the other source a moment ago: one play.
    bool isEchoOf(const QString &text, bool fromPad) const;
    void bindListener(quint16 port);
    void aimSender(quint16 port);
    void sendIdleText();
    void writeMetadataFile(const QString &text);
    // Writes the text a burst left unwritten, once nothing waits.
    void flushMetadataFile();
    void restrictSenders(const QList<QPair<QHostAddress, int>> &networks);
    void reportRefusedSenders();
    void reportDropped();
    void reportFailure(const QString &what, const QString &cause, Severity severity = Severity::Failure);
    template<typename Work>
    void runEvent(const QString &what, Work &&work);

    StatusFields m_fields;
    QString m_idleText;
    std::int16_t m_countdown = 0;
    std::int16_t m_countTimeout = 0;

    QUdpSocket m_listener;
    QUdpSocket m_sender;
    QHostAddress m_loopbackHost;
    quint16 m_loopbackPort = 0;
    quint16 m_senderLocalPort = 0;
    QTimer m_tickTimer;
    QTimer m_refusalReport;
    QTimer m_dropReport;
    qint64 m_droppedUnreported = 0;
    DatagramIntake m_intake;
    std::unique_ptr<AtomicFile> m_metadataFile;
    // The last play on air, and what the PAD feed told of it (nothing when
    // only the UDP endpoint delivered it).
    struct LastPlay
    {
        QString text;
        QDateTime onAir;   // as the history has it
        QDateTime arrived; // when it reached us
        std::shared_ptr<const PadUpdate> pad;
    } m_lastPlay;
    std::optional<QString> m_unwrittenText; // on air, not yet in metadata.txt
    Counters m_counters;
    QDateTime m_lastItemAt;
    std::optional<LiveText> m_live;
    bool m_livePlayoutFirst = false;
    QTimer m_liveExpiry;

    StartupFailureHandler m_startupFailureHandler;
};

} // namespace quaverlink
