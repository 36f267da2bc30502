#pragma once

#include "common/reporter.h"
#include "database.h"
#include "playspool.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QThread>

#include <chrono>
#include <functional>
#include <memory>

namespace quaverlink {

class HistoryFile;

class PlayKeeper;
struct PlayDetails;
class PlayUploader;

// The station's play history, off the road items take to air. record()
// only hands a play over. A keeper thread writes it to the spool at once; an
// uploader thread stores the spooled plays in the database, oldest first,
// each on a connection of its own, and removes a play from the spool only
// once the server has accepted it. While the database cannot be reached the
// plays wait and are retried with growing pauses.
class PlayHistory final : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        QByteArray spoolPath; // opened here unless file holds it
        std::shared_ptr<HistoryFile> file;
        DatabaseLogin login;
        // Servers tried in turn (login.server when empty): the uploader
        // stays on one while it works, and moves straight on to the next
        // when it fails.
        QStringList servers;
        QString station; // stored with every play, in StationPlays
        SpoolLimits limits;
        std::chrono::milliseconds firstRetry {1000};
        std::chrono::milliseconds longestRetry {60000};
    };

    // How the play history stands, as a status page shows it.
    struct Status
    {
        bool working = true;
        QDateTime since;   // when it began or stopped working
        QString reason {}; // why it stopped, never holding the password
        qint64 kept = 0;   // plays kept in the spool in this run
        qint64 stored = 0; // plays the database took in this run
        qint64 waiting = 0;
        qint64 setAside = 0;        // in the spool's table rejected
        QDateTime oldestWaiting {}; // when the oldest waiting play went on air; null when none waits
    };

    // A worker's word on how the play history stands.
    using StatusChange = std::function<void(Status &status)>;

    // How long stop() waits for a database exchange in progress.
    static constexpr std::chrono::milliseconds kStopTimeout {2000};

    explicit PlayHistory(Options options, QObject *parent = nullptr);
    ~PlayHistory() override;

    // Hands one play over, with the local time it went on air and what the
    // PAD feed told of it. Never waits for the spool or the database.
    void record(const QString &text, const QDateTime &onAir, const PlayDetails *details = nullptr);

    // Hands over the listeners of the play with this text and time, counted
    // once it left the air: performances is -1 when they are unknown.
    void recordListeners(const QString &text, const QDateTime &onAir, qint64 performances);

    // Keeps every play handed over, then gives the uploader up to timeout to
    // finish the exchange in progress. False when it is still waiting for the
    // database: it is then left behind, and its play stays in the spool.
    bool stop(std::chrono::milliseconds timeout = kStopTimeout);

    // How the workers last said it stands, as of the last turn of the event
    // loop: never waits for the spool or the database.
    Status status() const;

Q_SIGNALS:
    // A line written to standard error, and what it means.
    void reported(const QString &line, quaverlink::Severity severity);
    // Every waiting play has been stored.
    void caughtUp();

private:
    void queue(SpooledPlay play);
    void handOver();

    QList<SpooledPlay> m_pending; // recorded in this turn of the event loop
    Status m_status {true, QDateTime::currentDateTime()};
    QThread m_keeperThread;
    std::unique_ptr<QThread> m_uploaderThread;
    std::unique_ptr<PlayKeeper> m_keeper;
    PlayUploader *m_uploader = nullptr; // deleted on its own thread as that ends
    bool m_stopped = false;
};

} // namespace quaverlink
