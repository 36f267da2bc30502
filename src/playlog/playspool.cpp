#include "playspool.h"

#include "common/failure.h"
#include "playrecord.h"

#include <QDateTime>
#include <QFile>

#include <sqlite3.h>

namespace quaverlink {

struct PlaySpool::Statement
{
    sqlite3_stmt *handle = nullptr;
    ~Statement() { sqlite3_finalize(handle); }
};

namespace {

void bindText(sqlite3_stmt *statement, int position, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    sqlite3_bind_text(statement, position, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
}

QString columnText(sqlite3_stmt *statement, int column)
{
    // Length-counted: a NUL inside a text survives.
    const auto *data = static_cast<const char *>(sqlite3_column_blob(statement, column));
    return QString::fromUtf8(data, sqlite3_column_bytes(statement, column));
}

qint64 sizeOf(const SpooledPlay &play)
{
    return play.text.toUtf8().size() + play.playedAt.size();
}

} // namespace

PlaySpool::PlaySpool(const QByteArray &path, SpoolLimits limits)
    : m_path(path)
    , m_limits(limits)
{
    open();
    const auto totals = prepare("SELECT count(*), total(length(CAST(text AS BLOB)) + length(played_at)) FROM waiting");
    if (sqlite3_step(totals->handle) != SQLITE_ROW) {
        fail(u"reading the spool"_qs);
    }
    m_waitingPlays = sqlite3_column_int64(totals->handle, 0);
    m_waitingBytes = qint64(sqlite3_column_double(totals->handle, 1));
}

PlaySpool::~PlaySpool() = default;

void PlaySpool::open()
{
    sqlite3 *db = nullptr;
    const int rc = sqlite3_open_v2(m_path.constData(), &db,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    m_db.reset(db);
    if (rc != SQLITE_OK) {
        fail(u"opening the spool "_qs + QFile::decodeName(m_path));
    }
    sqlite3_busy_timeout(m_db.get(), 5000);
    // Each kept play reaches the disk before keep() returns.
    execute("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
            "CREATE TABLE IF NOT EXISTS waiting (id INTEGER PRIMARY KEY AUTOINCREMENT,"
            " played_at TEXT NOT NULL, text TEXT NOT NULL);"
            "CREATE TABLE IF NOT EXISTS rejected (id INTEGER PRIMARY KEY, played_at TEXT NOT NULL,"
            " text TEXT NOT NULL, reason TEXT NOT NULL, rejected_at TEXT NOT NULL);");
}

bool PlaySpool::followPath()
{
    QMutexLocker lock(&m_mutex);
    int moved = 0;
    if (sqlite3_file_control(m_db.get(), "main", SQLITE_FCNTL_HAS_MOVED, &moved) != SQLITE_OK || !moved) {
        return false;
    }
    auto held = std::move(m_db);
    try {
        open();
    } catch (const Failure &) {
        m_db = std::move(held);
        return false;
    }
    // The ids stay as they were: the uploader may be storing one of them.
    std::swap(m_db, held);
    if (const auto attach = prepare("ATTACH DATABASE ? AS moved");
        sqlite3_bind_text(attach->handle, 1, m_path.constData(), int(m_path.size()), SQLITE_STATIC) != SQLITE_OK
        || sqlite3_step(attach->handle) != SQLITE_DONE) {
        fail(u"moving the spool to a new file"_qs);
    }
    try {
        execute("BEGIN IMMEDIATE; INSERT INTO moved.waiting SELECT * FROM main.waiting;"
                "INSERT INTO moved.rejected SELECT * FROM main.rejected; COMMIT");
    } catch (const Failure &) {
        execute("DETACH DATABASE moved");
        throw;
    }
    execute("DETACH DATABASE moved");
    m_db = std::move(held);
    return true;
}

void PlaySpool::DatabaseCloser::operator()(sqlite3 *db) const
{
    sqlite3_close_v2(db);
}

void PlaySpool::fail(const QString &step)
{
    const QString message = QString::fromUtf8(m_db.get() ? sqlite3_errmsg(m_db.get()) : "out of memory");
    if (m_db.get()) {
        // Whatever the failed step began is undone; outside a transaction
        // this does nothing.
        sqlite3_exec(m_db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
    throw Failure(step, message);
}

void PlaySpool::execute(const char *sql)
{
    if (sqlite3_exec(m_db.get(), sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        fail(u"writing the spool"_qs);
    }
}

std::unique_ptr<PlaySpool::Statement> PlaySpool::prepare(const char *sql)
{
    auto statement = std::make_unique<Statement>();
    if (sqlite3_prepare_v2(m_db.get(), sql, -1, &statement->handle, nullptr) != SQLITE_OK) {
        fail(u"reading the spool"_qs);
    }
    return statement;
}

qsizetype PlaySpool::keep(const QList<SpooledPlay> &plays)
{
    QMutexLocker lock(&m_mutex);
    const auto insert = prepare("INSERT INTO waiting (played_at, text) VALUES (?, ?)");
    execute("BEGIN IMMEDIATE");
    qsizetype kept = 0;
    qint64 bytes = m_waitingBytes;
    for (const SpooledPlay &play : plays) {
        if (m_waitingPlays + kept >= m_limits.plays || bytes + sizeOf(play) > m_limits.bytes) {
            break;
        }
        sqlite3_reset(insert->handle);
        bindText(insert->handle, 1, play.playedAt);
        bindText(insert->handle, 2, play.text);
        if (sqlite3_step(insert->handle) != SQLITE_DONE) {
            fail(u"keeping plays in the spool"_qs);
        }
        bytes += sizeOf(play);
        ++kept;
    }
    execute("COMMIT");
    m_waitingPlays += kept;
    m_waitingBytes = bytes;
    return kept;
}

std::optional<SpooledPlay> PlaySpool::oldest(qint64 after)
{
    QMutexLocker lock(&m_mutex);
    const auto select = prepare("SELECT id, played_at, text FROM waiting WHERE id > ? ORDER BY id LIMIT 1");
    sqlite3_bind_int64(select->handle, 1, after);
    const int rc = sqlite3_step(select->handle);
    if (rc == SQLITE_DONE) {
        return std::nullopt;
    }
    if (rc != SQLITE_ROW) {
        fail(u"reading the spool"_qs);
    }
    return SpooledPlay {sqlite3_column_int64(select->handle, 0), columnText(select->handle, 2),
                        columnText(select->handle, 1)};
}

void PlaySpool::remove(qint64 id)
{
    QMutexLocker lock(&m_mutex);
    erase(id);
}

void PlaySpool::erase(qint64 id)
{
    const auto size = prepare("SELECT length(CAST(text AS BLOB)) + length(played_at) FROM waiting WHERE id = ?");
    sqlite3_bind_int64(size->handle, 1, id);
    const qint64 bytes = sqlite3_step(size->handle) == SQLITE_ROW ? sqlite3_column_int64(size->handle, 0) : -1;
    const auto erase = prepare("DELETE FROM waiting WHERE id = ?");
    sqlite3_bind_int64(erase->handle, 1, id);
    if (sqlite3_step(erase->handle) != SQLITE_DONE) {
        fail(u"removing a play from the spool"_qs);
    }
    if (bytes >= 0) {
        --m_waitingPlays;
        m_waitingBytes -= bytes;
    }
}

void PlaySpool::reject(const SpooledPlay &play, const QString &reason)
{
    QMutexLocker lock(&m_mutex);
    // One transaction: a play is never both waiting and set aside.
    execute("BEGIN IMMEDIATE");
    const auto insert = prepare("INSERT OR REPLACE INTO rejected (id, played_at, text, reason, rejected_at)"
                                " VALUES (?, ?, ?, ?, ?)");
    sqlite3_bind_int64(insert->handle, 1, play.id);
    bindText(insert->handle, 2, play.playedAt);
    bindText(insert->handle, 3, play.text);
    bindText(insert->handle, 4, reason);
    bindText(insert->handle, 5, QDateTime::currentDateTime().toString(kPlayedAtFormat));
    if (sqlite3_step(insert->handle) != SQLITE_DONE) {
        fail(u"setting a rejected play aside"_qs);
    }
    erase(play.id);
    execute("COMMIT");
}

qint64 PlaySpool::waitingCount()
{
    QMutexLocker lock(&m_mutex);
    return m_waitingPlays;
}

} // namespace quaverlink
