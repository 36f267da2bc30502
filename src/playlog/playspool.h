#pragma once

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
};

// Weeks of outage fit many times over: a busy station logs under 50 plays an
// hour, about 35,000 in a month, at some 100 bytes each. The bounds are there
// for floods and junk senders, so that the spool never fills the disk.
struct SpoolLimits
{
    qint64 plays = 1'000'000;
    qint64 bytes = qint64(256) * 1024 * 1024;
};

// The plays waiting for the database, kept in an SQLite file so that neither
// a crash nor a power cut loses one: table `waiting`, in the order they went
// on air, and table `rejected` for rows the server refused for their content.
// Every call may come from any thread.
class PlaySpool final
{
public:
    // Opens or creates the spool at path (":memory:" keeps it in memory
    // only). Throws Failure.
    explicit PlaySpool(const QByteArray &path, SpoolLimits limits = {});
    ~PlaySpool();
    PlaySpool(const PlaySpool &) = delete;
    PlaySpool &operator=(const PlaySpool &) = delete;

    // Keeps plays at the end of the queue in one transaction, as many as the
    // limits allow, in order; returns how many were kept. Plays already kept
    // are never given up for new ones. Throws Failure when nothing could be
    // written.
    qsizetype keep(const QList<SpooledPlay> &plays);
    // The oldest waiting play after the one with id after.
    std::optional<SpooledPlay> oldest(qint64 after = 0);
    void remove(qint64 id);
    // Moves a play out of the queue into `rejected`, with the server's reason.
    void reject(const SpooledPlay &play, const QString &reason);
    qint64 waitingCount();
    // When the spool's file was removed or renamed while in use (the folder
    // removed and created again), moves everything it holds to a new file at
    // its path; true when it did. While the folder is missing, the spool
    // goes on in the file it has. Throws Failure when the move failed.
    bool followPath();

private:
    struct Statement;
    void open();
    void execute(const char *sql);
    std::unique_ptr<Statement> prepare(const char *sql);
    void erase(qint64 id);
    [[noreturn]] void fail(const QString &step);

    // Closed on every path, a constructor that throws included.
    struct DatabaseCloser
    {
        void operator()(sqlite3 *db) const;
    };

    QMutex m_mutex;
    const QByteArray m_path;
    std::unique_ptr<sqlite3, DatabaseCloser> m_db;
    SpoolLimits m_limits;
    qint64 m_waitingPlays = 0;
    qint64 m_waitingBytes = 0;
};

} // namespace quaverlink
