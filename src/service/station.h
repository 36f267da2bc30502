#pragma once

#include "receiver/receiver.h"
#include "web/stationview.h"

#include <QMap>
#include <QObject>

#include <memory>

namespace quaverlink {

class HistoryFile;
class IniFile;
class ListenerCounter;
class Outputs;
class PadClient;
class PlayHistory;
class WebFace;
struct StationSettings;

// The whole receiver as a station runs it: Quaverlink.ini read once, the air
// (Receiver) and the parts that Quaverlink.ini asks for around it, the play
// history, the outputs, the PAD feed, the listener counter and the web face,
// each fed from the air's two signals. The window and the service each make
// one.
class Station final : public QObject, public StationView
{
    Q_OBJECT

public:
    explicit Station(QObject *parent = nullptr);
    ~Station() override;

    Receiver &receiver() { return m_receiver; }
    const Receiver &receiver() const { return m_receiver; }
    // Nothing when play history is off.
    PlayHistory *playHistory() { return m_history.get(); }

    // Reads Quaverlink.ini in the working folder and starts the air and
    // every part it asks for. Returns whether the air started; what failed
    // has been reported (the air's failure with the start-up message) and
    // the rest runs.
    bool start();
    // The last moments: the plays on air get their listeners, the play
    // history and the outputs hand on what they hold. False when one of them
    // had to be left behind in a call that would not end.
    bool stop();

    // The outputs beside metadata.txt, and each one and how it stands in one
    // line for the window.
    QStringList outputNames() const;
    QString outputSummary() const;

    StationStatus status() const override;
    void setLive(const LiveText &live) override { m_receiver.setLive(live); }
    void clearLive(const QString &who) override { m_receiver.clearLive(who); }

Q_SIGNALS:
    // Every line that went to standard error, the air's and every part's,
    // and what it means.
    void reported(const QString &line, quaverlink::Severity severity);
    void outputsChanged();

private:
    void startPlayHistory(const StationSettings &settings);
    void startOutputs(const IniFile &settings, const QByteArray &folder);
    void startPadClient(const IniFile &settings);
    void startListenerCounter(const IniFile &settings);
    void startWebFace(const IniFile &settings, const QByteArray &folder);
    void takePlay(const Play &play);
    void report(const QString &what, const QString &cause);
    // Each part's lines are the station's lines.
    template<typename Part>
    void relayReports(Part *part);

    Receiver m_receiver;
    std::shared_ptr<HistoryFile> m_historyFile; // playhistory.sqlite: the spool and the recent plays
    std::unique_ptr<PlayHistory> m_history;
    std::unique_ptr<Outputs> m_outputs;
    QMap<QString, OutputState> m_outputStates;
    std::unique_ptr<PadClient> m_padClient;
    std::unique_ptr<ListenerCounter> m_listeners;
    std::unique_ptr<WebFace> m_webFace; // last: it goes first, while what it shows is still there
};

} // namespace quaverlink
