#pragma once

#include "common/atomicfile.h"
#include "common/reporter.h"
#include "datagramintake.h"
#include "playlog/recentplays.h"
#include "settings/inifile.h"
#include "statusfields.h"

#include <QDateTime>
#include <QHostAddress>
#include <QMap>
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

class Outputs;
class PadClient;
class PlayHistory;
struct PadUpdate;
struct StationSettings;

// The receiver, with no widget in sight: the status fields, the idle text
// and countdown, the two datagram endpoints, the metadata file, and the
// parts it starts and hands each play to: the play history, the outputs and
// the PAD feed. The window is a view over it; tests drive it under
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
    // The names of the outputs beside metadata.txt that start-up set up.
    QStringList outputNames() const;
    // Each output and how it stands, one line for the window.
    QString outputSummary() const;

    // What a status page shows besides the fields.
    struct OutputState
    {
        QString state;
        QDateTime since;
        bool working = false;
        qint64 failures = 0; // times it stopped working
    };
    struct Counters
    {
        qint64 itemsApplied = 0;
        qint64 idleTexts = 0; // sent by the receiver to itself
        qint64 dropped = 0;   // given up in floods
    };
    const QMap<QString, OutputState> &outputStates() const { return m_outputStates; }
    const Counters &counters() const { return m_counters; }
    qint64 refusedDatagrams() const { return m_intake.refusedTotal(); }
    // When the last item other than the idle text arrived; null before one did.
    const QDateTime &lastItemAt() const { return m_lastItemAt; }
    // What the PAD feed said comes next, while the play it came with is on air.
    QString nextText() const;
    const PlayHistory *playHistory() const { return m_playHistory.get(); }
    PlayHistory *playHistory() { return m_playHistory.get(); }
    // Nothing when [PAD] names no host.
    const PadClient *padClient() const { return m_padClient.get(); }
    // Quaverlink.ini as start-up read it.
    const IniFile &settings() const { return m_settings; }

    // Shown, modally, when start-up fails. Tests replace the message box.
    void setStartupFailureHandler(StartupFailureHandler handler);
    // One second in production; tests that tick by hand make it long.
    void setTickInterval(std::chrono::milliseconds interval) { m_tickTimer.setInterval(interval); }

    // Fills the fields from Quaverlink.ini in the working directory, starts
    // the play history, the outputs and the PAD feed it asks for, binds the
    // endpoints, sends the idle text to itself twice and starts the
    // countdown. Returns whether every step succeeded; a failure has been
    // reported and leaves the receiver in the state reached.
    bool start();

    // Puts one received item on air. Throws Failure when the metadata file
    // cannot be written; what was done before stays done.
    void applyItem(const QString &text);

    // A text put on air by hand or from a studio (the web face's API): it
    // holds the air until it expires or is cleared, and the playout's plays
    // meanwhile are recorded but not shown; with playoutFirst it only fills
    // what the idle text would. Either way, the air then goes back to the
    // playout's text if that is still current, else to the idle text.
    struct LiveText
    {
        QString text;
        QString artist;
        QString title;
        QString album;
        QDateTime until; // null: until cleared
        bool isPlay = true;
        QString who; // who set it: an address
    };
    void setLive(const LiveText &live);
    // A line on standard error that is no failure.
    void reportNotice(const QString &what, const QString &cause) { reportFailure(what, cause, Severity::Notice); }
    void clearLive(const QString &who);
    const std::optional<LiveText> &live() const { return m_live; }
    void setLivePlayoutFirst(bool playoutFirst) { m_livePlayoutFirst = playoutFirst; }

    // One second of the idle countdown. Throws Failure on overflow or a
    // failed loopback send.
    void tick();

    // Gives the play history and the outputs their last moments; false when
    // one of them had to be left behind in a call that would not end.
    bool stopWorkers();

Q_SIGNALS:
    // Every line that went to standard error, and what it means.
    void reported(const QString &line, quaverlink::Severity severity);
    // After each item put on air (from the UDP endpoint or the PAD feed),
    // whether or not all of its work succeeded.
    void itemApplied(const QString &text);
    // A play went on air, or, with addsDetails, the play on air gained what
    // the PAD feed told of it.
    void played(const quaverlink::RecentPlay &play, bool addsDetails);
    void outputsChanged();
    // What the PAD feed says comes next changed, the play on air the same.
    void nextChanged();
    // The PAD feed's connection or count of documents changed.
    void padChanged();

private:
    void receiveItem(const QByteArray &datagram);
    void receivePadPlay(const PadUpdate &update);
    void receivePadNext(const PadUpdate &update);
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
    void startPadClient(const IniFile &settings);
    void bindListener(quint16 port);
    void aimSender(quint16 port);
    void sendIdleText();
    void startPlayHistory(const StationSettings &settings, const QByteArray &folder);
    void startOutputs(const IniFile &settings, const QByteArray &folder);
    void writeMetadataFile(const QString &text);
    // Writes the text a burst left unwritten, once nothing waits.
    void flushMetadataFile();
    void restrictSenders(const QString &allowed);
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
    std::unique_ptr<PlayHistory> m_playHistory;
    std::unique_ptr<Outputs> m_outputs;
    std::unique_ptr<PadClient> m_padClient;
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
    QMap<QString, OutputState> m_outputStates;
    Counters m_counters;
    QDateTime m_lastItemAt;
    IniFile m_settings;
    std::optional<LiveText> m_live;
    bool m_livePlayoutFirst = false;
    QTimer m_liveExpiry;

    StartupFailureHandler m_startupFailureHandler;
};

} // namespace quaverlink
