#pragma once

#include "common/descriptor.h"
#include "common/failure.h"
#include "playrecord.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QString>

#include <memory>
#include <optional>

struct sqlite3;
struct sqlite3_stmt;

namespace quaverlink {

struct SpooledPlay
{
    qint64 id = 0;
    QString text;
    QString playedAt;
    // A play whose insert was sent and whose answer was lost: since when
    // (seconds since the epoch, 0 when not in doubt), and how many rows held
    // it before (-1 when that could not be counted, kCheckedByKey when its
    // key went with it).
    qint64 doubtSince = 0;
    qint64 rowsBefore = -1;
    // The play's PlayDetails row as JSON (PlayDetails::toJson), empty for a
    // play that has none.
    QByteArray details {};
    // Made by the spool when the play is kept, and never changed: the key
    // that tells the play apart from every other station's.
    QString key {};
    // Not a play but the listeners of the play with this text and time,
    // counted once it left the air: performances, -1 when unknown.
    bool isCount = false;
    qint64 performances = -1;

    bool inDoubt() const { return doubtSince > 0; }
};

// Weeks of outage fit many times over: a busy station logs under 50 plays an
// hour, about 35,000 in a month, at some 100 bytes each. The bounds are there
// for floods and junk senders, so that the spool never fills the disk.
struct SpoolLimits
{
    qint64 plays = 1'000'000;
    qint64 bytes = qint64(256) * 1024 * 1024;
};

// Another receiver in the same folder owns the spool.
class SpoolTaken final : public Failure
{
public:
    using Failure::Failure;
};

// The plays waiting for the database, kept in an SQLite file so that neither
// a crash nor a power cut loses one: table `waiting`, in the order they went
// on air, and table `rejected` for rows the server refused for their content;
// beside them, table `recent`, the last plays a status page lists.
// One receiver owns the file (a lock held while it is open). When the file
// stops taking writes (a full disk, a file made read-only), new plays wait
// in memory behind those on disk until it takes them again, so that none is
// lost while the receiver runs. Every call may come from any thread.
class PlaySpool final
{
public:
    // Opens or creates the spool at path (":memory:" keeps it in memory
    // only). A link in its place is followed only as the kernel's
    // protected_symlinks rule would, and the file must be ours and take
    // writes. Throws SpoolTaken when another receiver owns it, Failure when
    // it cannot be used.
    explicit PlaySpool(const QByteArray &path, SpoolLimits limits = {});
    ~PlaySpool();
    PlaySpool(const PlaySpool &) = delete;
    PlaySpool &operator=(const PlaySpool &) = delete;

    // Keeps plays at the end of the queue in one transaction, as many as the
    // limits allow, in order; returns how many were kept. Plays already kept
    // are never given up for new ones. Throws Failure when nothing could be
    // written, not even to memory.
    qsizetype keep(const QList<SpooledPlay> &plays);
    // The oldest waiting play after the one with id after.
    std::optional<SpooledPlay> oldest(qint64 after = 0);
    // A play the database has accepted leaves the queue. If the file does
    // not take the removal, the play is still never handed out again.
    void remove(qint64 id);
    // The insert of a play was sent and its answer lost (or the receiver
    // left before it came): the play is checked before it is sent again.
    void markInDoubt(qint64 id, qint64 rowsBefore);
    // Takes out the plays from the PAD feed that this spool has recorded
    // already (the play a log machine had on air when the receiver
    // stopped, told again as it starts) and remembers the rest, per host
    // and log machine; returns how many it took out.
    qsizetype dropReplays(QList<SpooledPlay> &plays);
    // Moves a play out of the queue into `rejected`, with the server's reason.
    void reject(const SpooledPlay &play, const QString &reason);
    qint64 waitingCount();
    // When the oldest waiting play went on air (kPlayedAtFormat); empty when none waits.
    QString oldestPlayedAt();
    // Plays set aside in `rejected`.
    qint64 rejectedCount();
    // The recent plays, newest first, and all of them replaced in one
    // transaction. Throws Failure when the file does not take them.
    QList<RecentPlay> recentPlays(qsizetype limit);
    void keepRecentPlays(const QList<RecentPlay> &plays);
    // Why new plays are held in memory rather than in the file; empty while
    // the file takes them.
    QString heldInMemoryBecause();
    // When the spool's file was removed or renamed while in use (the folder
    // removed and created again), moves everything it holds to a new file at
    // its path; true when it did. While the folder is missing, the spool
    // goes on in the file it has. Throws Failure when the move failed.
    bool followPath();

private:
    struct Statement;
    void open();
    void lockFile();
    void execute(const char *sql);
    bool tryExecute(const char *sql);
    // Nothing for a statement that does not compile when mayFail, else throws.
    std::unique_ptr<Statement> prepare(const char *sql, bool mayFail = false);
    void insertWaiting(const char *table, const SpooledPlay &play, qint64 id);
    bool keepOnDisk(const QList<SpooledPlay> &plays, qsizetype count);
    void keepInMemory(const QList<SpooledPlay> &plays, qsizetype count);
    void eraseWaiting(qint64 id);
    [[noreturn]] void fail(const QString &step);

    // Closed on every path, a constructor that throws included.
    struct DatabaseCloser
    {
        void operator()(sqlite3 *db) const;
    };

    QMutex m_mutex;
    QByteArray m_path;
    std::unique_ptr<Descriptor> m_lock;
    std::unique_ptr<sqlite3, DatabaseCloser> m_db;
    SpoolLimits m_limits;
    qint64 m_waitingPlays = 0;
    qint64 m_waitingBytes = 0;
    qint64 m_heldInMemory = 0; // of the waiting plays
    qint64 m_lastHeldId = 0;
    QString m_inMemoryReason;
};

} // namespace quaverlink
