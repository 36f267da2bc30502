#include "playhistory.h"

#include "common/failure.h"
#include "common/literals.h"
#include "common/reporter.h"
#include "historyfile.h"
#include "odbc.h"
#include "playrecord.h"

#include <QMap>
#include <QTimer>

#include <algorithm>
#include <atomic>

namespace quaverlink {
namespace {

QString describePlay(const SpooledPlay &play)
{
    return play.playedAt + u" \""_s + play.text + u"\""_s;
}

} // namespace

namespace {

// The play history's lines all say whose they are. How it stands goes back
// to the play history's thread as changes to apply, by signal.
class PlayWorker : public Reporter
{
    Q_OBJECT

Q_SIGNALS:
    void statusChanged(const quaverlink::PlayHistory::StatusChange &change);

protected:
    // change runs later, on the play history's thread: it holds copies.
    void update(PlayHistory::StatusChange change) { Q_EMIT statusChanged(change); }

    void noteWaiting(PlaySpool &spool)
    {
        const qint64 waiting = spool.waitingCount();
        const QDateTime oldest = QDateTime::fromString(spool.oldestPlayedAt(), kPlayedAtFormat);
        update([waiting, oldest](PlayHistory::Status &status) {
            status.waiting = waiting;
            status.oldestWaiting = oldest;
        });
    }

    void tell(Severity severity, const QString &what, const QString &cause = QString())
    {
        report(severity, u"play history: "_s + what, cause);
    }
};

} // namespace

// Stores spooled plays, oldest first, on its own thread.
class PlayUploader final : public PlayWorker
{
    Q_OBJECT

public:
    explicit PlayUploader(const PlayHistory::Options &options)
        : m_login(options.login)
        , m_servers(options.servers.isEmpty() ? QStringList {options.login.server} : options.servers)
        , m_station(options.station)
        , m_backoff(options.firstRetry, options.longestRetry)
    {
        m_login.server = m_servers.constFirst();
        m_retryTimer.setSingleShot(true);
        connect(&m_retryTimer, &QTimer::timeout, this, &PlayUploader::uploadWaiting);
    }

    void setSpool(std::shared_ptr<PlaySpool> spool)
    {
        m_spool = std::move(spool);
        uploadWaiting();
    }

    // New plays are in the spool. During a pause the retry timer decides.
    void wake()
    {
        if (m_spool && !m_retryTimer.isActive()) {
            uploadWaiting();
        }
    }

    std::atomic<bool> stopping = false;

Q_SIGNALS:
    void caughtUp();

private:
    // A row refused for a reason that may be the row's own is tried this
    // often, with a later play stored meanwhile, before it is set aside.
    static constexpr int kTriesBeforeSetAside = 3;
    // When this many plays in a row are refused, it is the table, not them.
    static constexpr int kMostPassedOver = 3;
    // A play whose answer was lost is looked for this often, and sent again
    // only once the server has had this long to finish what it was doing
    // (longer when the login may not SELECT, so the row cannot be looked for).
    static constexpr std::chrono::seconds kDoubtCheck {2};
    static constexpr std::chrono::seconds kDoubtSettle {30};
    static constexpr std::chrono::seconds kBlindSettle {120};
    // A transaction that lost to another (a deadlock, a cluster's conflict)
    // is sent again at once, this often, before the play waits its turn.
    static constexpr int kConflictRetries = 3;

    struct Refused
    {
        int tries = 0;
        bool laterStored = false;
    };

    void uploadWaiting()
    {
        try {
            qint64 after = 0; // plays up to this one were passed over in this pass
            std::optional<odbc::Error> passedOver;
            bool inDoubtWaits = false;
            int refusedInARow = 0;
            while (!stopping) {
                const std::optional<SpooledPlay> play = m_spool->oldest(after);
                if (!play && passedOver) {
                    waitForPassedOver(*passedOver);
                    return;
                }
                if (!play) {
                    if (inDoubtWaits) {
                        m_retryTimer.start(kDoubtCheck);
                    } else {
                        noteCaughtUp();
                    }
                    return;
                }
                const Outcome outcome = upload(*play);
                if (outcome.inDoubt) {
                    inDoubtWaits = true;
                    after = play->id;
                } else if (outcome.refusal) {
                    if (++refusedInARow >= kMostPassedOver) {
                        throw *outcome.refusal;
                    }
                    passedOver = passedOver.value_or(*outcome.refusal);
                    after = play->id;
                } else {
                    after = 0;
                    passedOver.reset();
                    inDoubtWaits = false;
                    refusedInARow = 0;
                }
            }
        } catch (const Failure &failure) {
            fail(failure);
        }
    }

    // A play refused as the table refuses every play is no reason to hold
    // the plays behind it; it is tried again after a pause, and set aside
    // once later plays were stored while it was not.
    void waitForPassedOver(const odbc::Error &refusal)
    {
        const bool rowAlone = std::all_of(m_refused.cbegin(), m_refused.cend(),
                                          [](const Refused &refused) { return refused.laterStored; });
        if (!rowAlone) {
            throw refusal;
        }
        m_retryTimer.start(m_backoff.first());
    }

    struct Outcome
    {
        std::optional<odbc::Error> refusal; // refused, passed over for now
        bool inDoubt = false;               // its answer lost, checked again later
    };

    // Stored or set aside, passed over for a refusal, or waiting to be checked.
    Outcome upload(const SpooledPlay &play)
    {
        if (play.isCount) {
            uploadCount(play);
            return {};
        }
        const PlayRecord record = PlayRecord::fromText(play.text, play.playedAt);
        const std::optional<PlayDetails> details = PlayDetails::fromJson(play.details);
        const PlayDetails *detailsOf = details ? &*details : nullptr;
        if (play.inDoubt()) {
            if (const std::optional<Outcome> outcome = settleDoubt(play, record, detailsOf)) {
                return *outcome;
            }
        }
        for (int conflicts = 0;; ++conflicts) {
            try {
                const StoreOutcome stored = storePlay(m_login, record, {m_station, play.key}, detailsOf,
                                                      [&](qint64 check) { setInFlight(play.id, check); });
                setInFlight(0, -1);
                noteStored(play, stored);
                break;
            } catch (const odbc::Error &error) {
                const std::optional<qint64> check = takeInFlight();
                if (asksForRetry(error) && conflicts < kConflictRetries) {
                    continue;
                }
                if (check && leavesInDoubt(error)) {
                    m_spool->markInDoubt(play.id, *check);
                    tell(Severity::Failure,
                         u"the database's answer to a play was lost; the play is checked before it is sent again: "_s
                             + describePlay(play),
                         error.describe());
                    return {std::nullopt, true};
                }
                const Refusal refusal = refusalOf(error);
                if (refusal == Refusal::None) {
                    throw;
                }
                Refused &refused = m_refused[play.id];
                if (refusal == Refusal::Uncertain && (++refused.tries < kTriesBeforeSetAside || !refused.laterStored)) {
                    return {error, false};
                }
                m_refused.remove(play.id);
                m_spool->reject(play, error.describe());
                noteSetAside();
                tell(Severity::Failure,
                     u"the server refused a play, set aside in the spool's table rejected: "_s + describePlay(play),
                     error.describe());
                return {};
            }
        }
        removeStored(play);
        return {};
    }

    // A count sent again after a lost answer is stored once, under its key.
    void uploadCount(const SpooledPlay &count)
    {
        try {
            if (storeListeners(m_login, {m_station, count.key}, count.playedAt, count.text, count.performances)
                    == CountOutcome::NoTable
                && !m_toldNoListenersTable) {
                m_toldNoListenersTable = true;
                tell(Severity::Failure,
                     u"the database has no table PlayListeners (or the login may not write it), so the plays'"
                     " listener counts are not stored"_s,
                     u"create it with sql/playlisteners.sql"_s);
            }
        } catch (const odbc::Error &error) {
            if (refusalOf(error) != Refusal::ForGood) {
                throw;
            }
            m_spool->reject(count, u"PlayListeners: "_s + error.describe());
            noteSetAside();
            return;
        }
        removeStored(count);
    }

    // Whether the server has a play whose answer was lost. Nothing when it
    // is to be sent again; else it was found, or it waits: a statement the
    // server still works on may yet store it.
    std::optional<Outcome> settleDoubt(const SpooledPlay &play, const PlayRecord &record, const PlayDetails *details)
    {
        // Its key went with it: found, it is stored; not found, it was not,
        // and sending it again is safe, as the key can be stored only once.
        if (play.rowsBefore == kCheckedByKey) {
            const std::optional<bool> stored = isKeyStored(m_login, {m_station, play.key});
            if (stored == true) {
                removeStored(play);
                return Outcome {};
            }
            if (stored == false) {
                return std::nullopt;
            }
        }
        const std::optional<qint64> rows = play.rowsBefore >= 0 ? countStored(m_login, record, details) : std::nullopt;
        if (rows && *rows > play.rowsBefore) {
            removeStored(play);
            return Outcome {};
        }
        // Without a count, only a long wait makes a late store unlikely.
        const qint64 settle = rows ? kDoubtSettle.count() : kBlindSettle.count();
        if (QDateTime::currentSecsSinceEpoch() - play.doubtSince < settle) {
            return Outcome {std::nullopt, true};
        }
        return std::nullopt;
    }

    // A station without the tables StationPlays or PlayDetails is told once
    // a run; details the server refused for their content are set aside
    // with the play.
    void noteStored(const SpooledPlay &play, const StoreOutcome &stored)
    {
        if (stored.keyTableMissing && !m_toldNoKeyTable) {
            m_toldNoKeyTable = true;
            tell(Severity::Notice,
                 u"the database has no table StationPlays (or the login may not write it), so the station is not"
                 " stored with its plays, and a play whose answer is lost is looked for by its text and time"_s,
                 u"create it with sql/stationplays.sql"_s);
        }
        if (stored.detailsTableMissing && !m_toldNoDetailsTable) {
            m_toldNoDetailsTable = true;
            tell(Severity::Notice,
                 u"the database has no table PlayDetails, so the details from the PAD feed are not stored"_s,
                 u"create it with sql/playdetails.sql"_s);
        }
        if (!stored.refusal.isEmpty()) {
            m_spool->reject(play, u"PlayDetails: "_s + stored.refusal);
            noteSetAside();
            tell(Severity::Failure,
                 u"the server refused a play's details, set aside in the spool's table rejected: "_s
                     + describePlay(play),
                 stored.refusal);
        }
    }

    void noteSetAside()
    {
        update([](PlayHistory::Status &status) { ++status.setAside; });
        noteWaiting(*m_spool);
    }

    void removeStored(const SpooledPlay &play)
    {
        m_spool->remove(play.id);
        if (!play.isCount) {
            update([](PlayHistory::Status &status) { ++status.stored; });
        }
        noteWaiting(*m_spool);
        for (auto it = m_refused.begin(); it != m_refused.end() && it.key() < play.id; ++it) {
            it->laterStored = true;
        }
        m_refused.remove(play.id);
        m_backoff.reset();
        m_serversFailed = 0;
        if (m_failing) {
            ++m_storedSinceFailure;
        }
    }

    // The play whose insert is on its way, for a stop that cannot wait for it.
    void setInFlight(qint64 id, qint64 rowsBefore)
    {
        QMutexLocker lock(&m_flightMutex);
        m_inFlight = id ? std::optional(std::pair(id, rowsBefore)) : std::nullopt;
    }
    std::optional<qint64> takeInFlight()
    {
        QMutexLocker lock(&m_flightMutex);
        const auto flight = std::exchange(m_inFlight, std::nullopt);
        return flight ? std::optional(flight->second) : std::nullopt;
    }

public:
    // Called on the stopping thread while this one is still in a call.
    void markInFlightInDoubt()
    {
        QMutexLocker lock(&m_flightMutex);
        if (m_inFlight && m_spool) {
            m_spool->markInDoubt(m_inFlight->first, m_inFlight->second);
        }
    }

private:
    void noteCaughtUp()
    {
        if (m_failing) {
            m_failing = false;
            tell(Severity::Recovery, u"works again: %1 waiting plays stored"_s.arg(m_storedSinceFailure));
            update([since = QDateTime::currentDateTime()](PlayHistory::Status &status) {
                status.working = true;
                status.since = since;
                status.reason.clear();
            });
        }
        Q_EMIT caughtUp();
    }

    void fail(const Failure &failure)
    {
        // A server of a cluster that fails costs no wait while another may
        // take the plays: the pause comes once each has failed in turn.
        if (m_servers.size() > 1) {
            const QString failed = m_login.server;
            m_serverIndex = (m_serverIndex + 1) % m_servers.size();
            m_login.server = m_servers.at(m_serverIndex);
            tell(Severity::Notice, u"server %1 failed; trying %2"_s.arg(serverName(failed), serverName(m_login.server)),
                 failure.describe());
            if (++m_serversFailed % m_servers.size() != 0) {
                m_retryTimer.start(0);
                return;
            }
        }
        if (!m_failing) {
            m_failing = true;
            m_storedSinceFailure = 0;
            tell(Severity::Failure, u"stopped working; plays wait in the spool and are retried"_s, failure.describe());
            update([since = QDateTime::currentDateTime(), reason = failure.describe()](PlayHistory::Status &status) {
                status.working = false;
                status.since = since;
                status.reason = reason;
            });
        }
        m_retryTimer.start(m_backoff.next());
    }

    DatabaseLogin m_login; // its server the one in use
    const QStringList m_servers;
    const QString m_station;
    qsizetype m_serverIndex = 0;
    qsizetype m_serversFailed = 0; // in a row, since one last worked
    Backoff m_backoff;
    std::shared_ptr<PlaySpool> m_spool;
    QTimer m_retryTimer {this};
    bool m_failing = false;
    bool m_toldNoDetailsTable = false;
    bool m_toldNoKeyTable = false;
    bool m_toldNoListenersTable = false;
    qint64 m_storedSinceFailure = 0;
    QMap<qint64, Refused> m_refused; // by spool id, in on-air order
    QMutex m_flightMutex;
    std::optional<std::pair<qint64, qint64>> m_inFlight; // spool id, rows before
};

// Writes handed-over plays to the spool on its own thread, so that the
// thread putting items on air never waits for the disk.
class PlayKeeper final : public PlayWorker
{
    Q_OBJECT

public:
    PlayKeeper(const PlayHistory::Options &options, PlayUploader *uploader)
        : m_file(options.file ? options.file : std::make_shared<HistoryFile>(options.spoolPath, options.limits))
        , m_limits(options.limits)
        , m_uploader(uploader)
    {
    }

    std::shared_ptr<PlaySpool> spool() const { return m_spool; }

    // One batch of plays, in the order they went on air, in one transaction.
    void keep(QList<SpooledPlay> plays)
    {
        openSpool();
        if (!m_spool) {
            return;
        }
        followMovedSpool();
        if (m_spool->dropReplays(plays) > 0) {
            tell(Severity::Notice,
                 u"the PAD feed told again of a play already recorded before this start; it is not recorded twice"_s);
        }
        if (plays.isEmpty()) {
            return;
        }
        qsizetype kept = 0;
        try {
            kept = m_spool->keep(plays);
        } catch (const Failure &failure) {
            for (const SpooledPlay &play : plays) {
                tell(Severity::Failure, u"a play could not be kept: "_s + describePlay(play), failure.describe());
            }
            return;
        }
        noteHeldInMemory(m_spool->heldInMemoryBecause());
        noteRefused(plays.size() - kept);
        const qint64 keptPlays = std::count_if(plays.cbegin(), plays.cbegin() + kept,
                                               [](const SpooledPlay &play) { return !play.isCount; });
        update([keptPlays](PlayHistory::Status &status) { status.kept += keptPlays; });
        noteWaiting(*m_spool);
        QMetaObject::invokeMethod(m_uploader, &PlayUploader::wake, Qt::QueuedConnection);
    }

    void openSpool()
    {
        if (m_spool || m_spoolTaken) {
            return;
        }
        try {
            m_spool = m_file->open();
        } catch (const SpoolTaken &taken) {
            // Storing the same plays twice would be worse than a second
            // receiver that keeps none.
            m_spoolTaken = true;
            tell(Severity::Failure, u"this receiver keeps no play history"_s, taken.describe());
            update([reason = taken.describe()](PlayHistory::Status &status) {
                status.working = false;
                status.reason = reason;
            });
            return;
        } catch (const Failure &failure) {
            tell(Severity::Failure,
                 u"the spool cannot be kept on disk; new plays are held in memory only, and what waits in"
                 " the file is left there"_s,
                 failure.describe());
            m_spool = std::make_shared<PlaySpool>(":memory:", m_limits);
        }
        if (const qint64 left = m_spool->waitingCount()) {
            tell(Severity::Notice, u"%1 plays from an earlier run wait in the spool"_s.arg(left));
        }
        const qint64 setAside = m_spool->rejectedCount();
        update([setAside](PlayHistory::Status &status) { status.setAside = setAside; });
        noteWaiting(*m_spool);
        const auto handOverSpool = [uploader = m_uploader, spool = m_spool] { uploader->setSpool(spool); };
        QMetaObject::invokeMethod(m_uploader, handOverSpool, Qt::QueuedConnection);
    }

private:
    // The working folder removed and created again: what waits goes to a
    // file the next start will find.
    void followMovedSpool()
    {
        try {
            if (m_spool->followPath()) {
                tell(Severity::Failure,
                     u"the spool's file was removed while in use; its %1 waiting plays are kept in a new one"_s.arg(
                         m_spool->waitingCount()));
            }
        } catch (const Failure &failure) {
            tell(Severity::Failure, u"the spool's file was removed while in use and cannot be made again"_s,
                 failure.describe());
        }
    }

    // A file that takes no writes (a full disk, a read-only file) costs no
    // play while the receiver runs; the plays wait in memory.
    void noteHeldInMemory(const QString &reason)
    {
        if (reason == m_heldReason) {
            return;
        }
        if (reason.isEmpty()) {
            tell(Severity::Recovery, u"the spool's file takes plays again"_s);
        } else {
            tell(Severity::Failure,
                 u"the spool's file takes no more plays; new plays wait in memory until it does, and are"
                 " stored from there"_s,
                 reason);
        }
        m_heldReason = reason;
    }

    // A full spool refuses new plays: the ones it holds are never given up.
    void noteRefused(qsizetype refused)
    {
        if (refused > 0 && m_refused == 0) {
            tell(Severity::Failure,
                 u"the spool is full; new plays are not kept until the database takes waiting ones"_s);
        }
        if (refused == 0 && m_refused > 0) {
            tell(Severity::Recovery, u"the spool has room again; %1 plays were not kept"_s.arg(m_refused));
            m_refused = 0;
        }
        m_refused += refused;
    }

    const std::shared_ptr<HistoryFile> m_file;
    const SpoolLimits m_limits;
    PlayUploader *const m_uploader;
    std::shared_ptr<PlaySpool> m_spool;
    bool m_spoolTaken = false;
    QString m_heldReason;
    qint64 m_refused = 0;
};

PlayHistory::PlayHistory(Options options, QObject *parent)
    : QObject(parent)
    , m_uploaderThread(std::make_unique<QThread>())
{
    m_uploader = new PlayUploader(options);
    m_uploader->moveToThread(m_uploaderThread.get());
    connect(m_uploaderThread.get(), &QThread::finished, m_uploader, &QObject::deleteLater);
    m_keeper = std::make_unique<PlayKeeper>(options, m_uploader);
    m_keeper->moveToThread(&m_keeperThread);
    for (const PlayWorker *worker : std::initializer_list<const PlayWorker *> {m_uploader, m_keeper.get()}) {
        connect(worker, &Reporter::reported, this, &PlayHistory::reported);
        connect(worker, &PlayWorker::statusChanged, this, [this](const StatusChange &change) { change(m_status); });
    }
    connect(m_uploader, &PlayUploader::caughtUp, this, &PlayHistory::caughtUp);
    m_keeperThread.setObjectName(u"play keeper"_s);
    m_uploaderThread->setObjectName(u"play uploader"_s);
    m_keeperThread.start();
    m_uploaderThread->start();
    QMetaObject::invokeMethod(m_keeper.get(), &PlayKeeper::openSpool, Qt::QueuedConnection);
}

PlayHistory::~PlayHistory()
{
    stop();
}

void PlayHistory::record(const QString &text, const QDateTime &onAir, const PlayDetails *details)
{
    SpooledPlay play {0, text, onAir.toString(kPlayedAtFormat)};
    if (details) {
        play.details = details->toJson();
    }
    queue(std::move(play));
}

void PlayHistory::recordListeners(const QString &text, const QDateTime &onAir, qint64 performances)
{
    SpooledPlay count {0, text, onAir.toString(kPlayedAtFormat)};
    count.isCount = true;
    count.performances = performances;
    queue(std::move(count));
}

void PlayHistory::queue(SpooledPlay play)
{
    // The plays of one turn of the event loop (a burst) go to the keeper
    // together, as one transaction.
    if (m_pending.isEmpty()) {
        QTimer::singleShot(0, this, &PlayHistory::handOver);
    }
    m_pending.append(std::move(play));
}

PlayHistory::Status PlayHistory::status() const
{
    return m_status;
}

void PlayHistory::handOver()
{
    if (!m_pending.isEmpty()) {
        QMetaObject::invokeMethod(
            m_keeper.get(), [keeper = m_keeper.get(), plays = std::exchange(m_pending, {})] { keeper->keep(plays); },
            Qt::QueuedConnection);
    }
}

bool PlayHistory::stop(std::chrono::milliseconds timeout)
{
    if (m_stopped) {
        return true;
    }
    m_stopped = true;
    // Every play handed over is kept before the keeper's thread ends.
    handOver();
    QMetaObject::invokeMethod(
        m_keeper.get(), [thread = &m_keeperThread] { thread->quit(); }, Qt::QueuedConnection);
    m_keeperThread.wait();

    m_uploader->stopping = true;
    m_uploaderThread->quit();
    if (!m_uploaderThread->wait(QDeadlineTimer(timeout))) {
        // If the insert was on its way, the server may store it after we
        // are gone: the next start looks for it before sending it again.
        m_uploader->markInFlightInDoubt();
        // Still inside a database call that only its own timeout ends. The
        // play it is storing stays in the spool; the thread is left behind.
        (void)m_uploaderThread.release();
        return false;
    }
    return true;
}

} // namespace quaverlink

#include "playhistory.moc"
