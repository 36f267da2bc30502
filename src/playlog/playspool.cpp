#include "playspool.h"

#include "common/atomicfile.h"
#include "common/literals.h"
#include "playrecord.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace quaverlink {

struct PlaySpool::Statement
{
    sqlite3_stmt *handle = nullptr;
    ~Statement() { sqlite3_finalize(handle); }
};

namespace {

const QByteArray kMemory = ":memory:";

// What one waiting row costs against SpoolLimits::bytes, in SQL; sizeOf()
// says the same of a play not yet kept.
#define SPOOLED_PLAY_BYTES "length(CAST(text AS BLOB)) + length(played_at) + coalesce(length(CAST(details AS BLOB)), 0)"

void bindText(sqlite3_stmt *statement, int position, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    sqlite3_bind_text(statement, position, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
}

// Plays without details keep a NULL, as rows from before details had.
void bindDetails(sqlite3_stmt *statement, int position, const QByteArray &details)
{
    if (details.isEmpty()) {
        sqlite3_bind_null(statement, position);
    } else {
        sqlite3_bind_text(statement, position, details.constData(), int(details.size()), SQLITE_TRANSIENT);
    }
}

QString columnText(sqlite3_stmt *statement, int column)
{
    // Length-counted: a NUL inside a text survives.
    const auto *data = static_cast<const char *>(sqlite3_column_blob(statement, column));
    return QString::fromUtf8(data, sqlite3_column_bytes(statement, column));
}

qint64 sizeOf(const SpooledPlay &play)
{
    return play.text.toUtf8().size() + play.playedAt.size() + play.details.size();
}

} // namespace

PlaySpool::PlaySpool(const QByteArray &path, SpoolLimits limits)
    : m_path(path == kMemory ? path : followTrustedLinks(path))
    , m_limits(limits)
{
    if (m_path != kMemory) {
        lockFile();
    }
    open();
    const auto totals = prepare("SELECT count(*), total(" SPOOLED_PLAY_BYTES ") FROM waiting");
    if (sqlite3_step(totals->handle) != SQLITE_ROW) {
        fail(u"reading the spool"_s);
    }
    m_waitingPlays = sqlite3_column_int64(totals->handle, 0);
    m_waitingBytes = qint64(sqlite3_column_double(totals->handle, 1));
}

PlaySpool::~PlaySpool() = default;

// One spool, one owner: a second receiver started in the same folder must
// not store the same plays again. The lock is the kernel's, so it goes with
// the process however that ends.
void PlaySpool::lockFile()
{
    const QString name = QFile::decodeName(m_path);
    // The spool is the receiver's alone, in a folder others may read.
    auto fd = std::make_unique<Descriptor>(::open(m_path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    struct stat info = {};
    if (!fd->isValid() || ::fstat(fd->get(), &info) != 0) {
        throw Failure(u"opening the spool "_s + name, QString::fromLocal8Bit(std::strerror(errno)));
    }
    if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        throw Failure(u"opening the spool "_s + name,
                      u"it is not a file of the user running the receiver, and is left as it is"_s);
    }
    if (::flock(fd->get(), LOCK_EX | LOCK_NB) != 0) {
        throw SpoolTaken(u"opening the spool "_s + name,
                         u"another receiver in this folder holds it and stores its plays"_s);
    }
    m_lock = std::move(fd);
}

void PlaySpool::open()
{
    sqlite3 *db = nullptr;
    const int rc = sqlite3_open_v2(m_path.constData(), &db,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    m_db.reset(db);
    if (rc != SQLITE_OK) {
        fail(u"opening the spool "_s + QFile::decodeName(m_path));
    }
    sqlite3_busy_timeout(m_db.get(), 5000);
    // Each kept play reaches the disk before keep() returns. Plays that
    // the file does not take wait in "held", in memory.
    execute("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
            "CREATE TABLE IF NOT EXISTS waiting (id INTEGER PRIMARY KEY AUTOINCREMENT,"
            " played_at TEXT NOT NULL, text TEXT NOT NULL, doubt_since INTEGER, rows_before INTEGER, details TEXT,"
            " play_key TEXT, kind TEXT, performances INTEGER);"
            "CREATE TABLE IF NOT EXISTS rejected (id INTEGER PRIMARY KEY, played_at TEXT NOT NULL,"
            " text TEXT NOT NULL, reason TEXT NOT NULL, rejected_at TEXT NOT NULL, details TEXT);"
            "CREATE TABLE IF NOT EXISTS pad_plays (host TEXT NOT NULL, machine INTEGER NOT NULL,"
            " play TEXT NOT NULL, PRIMARY KEY (host, machine));"
            "CREATE TABLE IF NOT EXISTS recent (id INTEGER PRIMARY KEY, played_at TEXT NOT NULL,"
            " text TEXT NOT NULL, details TEXT);");
    // A spool from an earlier version gains the columns added since, at the
    // end, where a new spool has them too.
    if (!prepare("SELECT doubt_since FROM waiting", true)) {
        execute(
            "ALTER TABLE waiting ADD COLUMN doubt_since INTEGER; ALTER TABLE waiting ADD COLUMN rows_before INTEGER");
    }
    if (!prepare("SELECT details FROM waiting", true)) {
        execute("ALTER TABLE waiting ADD COLUMN details TEXT; ALTER TABLE rejected ADD COLUMN details TEXT");
    }
    if (!prepare("SELECT play_key FROM waiting", true)) {
        execute("ALTER TABLE waiting ADD COLUMN play_key TEXT");
    }
    if (!prepare("SELECT kind FROM waiting", true)) {
        execute("ALTER TABLE waiting ADD COLUMN kind TEXT; ALTER TABLE waiting ADD COLUMN performances INTEGER");
    }
    // Plays kept by a version that made no keys get theirs now, once.
    execute("UPDATE waiting SET play_key = lower(hex(randomblob(16))) WHERE play_key IS NULL");
    execute("ATTACH DATABASE ':memory:' AS held;"
            "CREATE TABLE held.waiting AS SELECT * FROM main.waiting WHERE 0;"
            "CREATE TABLE held.rejected AS SELECT * FROM main.rejected WHERE 0;"
            "CREATE TABLE held.gone (id INTEGER PRIMARY KEY)");
    if (sqlite3_db_readonly(m_db.get(), "main") == 1) {
        throw Failure(u"opening the spool "_s + QFile::decodeName(m_path), u"it cannot be written"_s);
    }
}

QList<RecentPlay> PlaySpool::recentPlays(qsizetype limit)
{
    QMutexLocker lock(&m_mutex);
    const auto select = prepare("SELECT played_at, text, details FROM recent ORDER BY id DESC LIMIT ?");
    sqlite3_bind_int64(select->handle, 1, limit);
    QList<RecentPlay> plays;
    while (sqlite3_step(select->handle) == SQLITE_ROW) {
        plays.append({QDateTime::fromString(columnText(select->handle, 0), Qt::ISODateWithMs),
                      columnText(select->handle, 1),
                      QJsonDocument::fromJson(columnText(select->handle, 2).toUtf8()).object()});
    }
    return plays;
}

void PlaySpool::keepRecentPlays(const QList<RecentPlay> &plays)
{
    QMutexLocker lock(&m_mutex);
    if (!tryExecute("BEGIN IMMEDIATE")) {
        fail(u"keeping the recent plays"_s);
    }
    bool written = tryExecute("DELETE FROM recent");
    const auto insert = prepare("INSERT INTO recent (played_at, text, details) VALUES (?, ?, ?)", true);
    written = written && insert;
    for (auto it = plays.crbegin(); written && it != plays.crend(); ++it) {
        const QByteArray values[] = {it->onAir.toString(Qt::ISODateWithMs).toUtf8(), it->text.toUtf8(),
                                     QJsonDocument(it->details).toJson(QJsonDocument::Compact)};
        for (int i = 0; i < 3; ++i) {
            sqlite3_bind_text(insert->handle, i + 1, values[i].constData(), int(values[i].size()), SQLITE_TRANSIENT);
        }
        written = sqlite3_step(insert->handle) == SQLITE_DONE && sqlite3_reset(insert->handle) == SQLITE_OK;
    }
    if (!written || !tryExecute("COMMIT")) {
        fail(u"keeping the recent plays"_s);
    }
}

bool PlaySpool::followPath()
{
    QMutexLocker lock(&m_mutex);
    int moved = 0;
    if (m_path == kMemory || sqlite3_file_control(m_db.get(), "main", SQLITE_FCNTL_HAS_MOVED, &moved) != SQLITE_OK
        || !moved) {
        return false;
    }
    auto heldLock = std::move(m_lock);
    auto held = std::move(m_db);
    try {
        lockFile();
        open();
    } catch (const Failure &) {
        m_lock = std::move(heldLock);
        m_db = std::move(held);
        return false;
    }
    // The ids stay as they were: the uploader may be storing one of them.
    // What waited in memory goes to the new file too.
    std::swap(m_db, held);
    if (const auto attach = prepare("ATTACH DATABASE ? AS moved");
        sqlite3_bind_text(attach->handle, 1, m_path.constData(), int(m_path.size()), SQLITE_STATIC) != SQLITE_OK
        || sqlite3_step(attach->handle) != SQLITE_DONE) {
        fail(u"moving the spool to a new file"_s);
    }
    try {
        execute("BEGIN IMMEDIATE; INSERT INTO moved.waiting SELECT * FROM main.waiting"
                " WHERE id NOT IN (SELECT id FROM held.gone);"
                "INSERT INTO moved.waiting SELECT * FROM held.waiting;"
                "INSERT INTO moved.rejected SELECT * FROM main.rejected;"
                "INSERT INTO moved.rejected SELECT * FROM held.rejected; COMMIT");
    } catch (const Failure &) {
        execute("DETACH DATABASE moved");
        throw;
    }
    execute("DETACH DATABASE moved");
    m_db = std::move(held);
    m_heldInMemory = 0;
    m_inMemoryReason.clear();
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
    if (!tryExecute(sql)) {
        fail(u"writing the spool"_s);
    }
}

bool PlaySpool::tryExecute(const char *sql)
{
    return sqlite3_exec(m_db.get(), sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::unique_ptr<PlaySpool::Statement> PlaySpool::prepare(const char *sql, bool mayFail)
{
    auto statement = std::make_unique<Statement>();
    if (sqlite3_prepare_v2(m_db.get(), sql, -1, &statement->handle, nullptr) != SQLITE_OK) {
        if (mayFail) {
            return nullptr;
        }
        fail(u"reading the spool"_s);
    }
    return statement;
}

qsizetype PlaySpool::keep(const QList<SpooledPlay> &plays)
{
    QMutexLocker lock(&m_mutex);
    qsizetype count = 0;
    qint64 bytes = m_waitingBytes;
    for (; count < plays.size(); ++count) {
        if (m_waitingPlays + count >= m_limits.plays || bytes + sizeOf(plays[count]) > m_limits.bytes) {
            break;
        }
        bytes += sizeOf(plays[count]);
    }
    if (count == 0) {
        return 0;
    }
    // Plays keep their order: once some wait in memory, the ones after them
    // do too, until the memory has been emptied into the database.
    if (m_heldInMemory > 0 || !keepOnDisk(plays, count)) {
        keepInMemory(plays, count);
    }
    m_waitingPlays += count;
    m_waitingBytes = bytes;
    return count;
}

qsizetype PlaySpool::dropReplays(QList<SpooledPlay> &plays)
{
    QMutexLocker lock(&m_mutex);
    const qsizetype before = plays.size();
    plays.removeIf([this](const SpooledPlay &play) {
        const std::optional<PlayDetails> details = PlayDetails::fromJson(play.details);
        // Without Rivendell's start time, a cart played twice in a row
        // could not be told from one play told twice.
        if (!details || details->start.isEmpty()) {
            return false;
        }
        const QString identity = u"%1/%2/%3"_s.arg(details->cart).arg(details->cut).arg(details->start);
        const auto find = prepare("SELECT play FROM pad_plays WHERE host = ? AND machine = ?");
        bindText(find->handle, 1, details->host);
        sqlite3_bind_int64(find->handle, 2, details->machine);
        if (sqlite3_step(find->handle) == SQLITE_ROW && columnText(find->handle, 0) == identity) {
            return true;
        }
        // Remembered where the file takes it; a file that takes nothing
        // costs only this check after a restart.
        const auto remember = prepare("INSERT OR REPLACE INTO pad_plays (host, machine, play) VALUES (?, ?, ?)");
        bindText(remember->handle, 1, details->host);
        sqlite3_bind_int64(remember->handle, 2, details->machine);
        bindText(remember->handle, 3, identity);
        sqlite3_step(remember->handle);
        return false;
    });
    return before - plays.size();
}

void PlaySpool::insertWaiting(const char *table, const SpooledPlay &play, qint64 id)
{
    const QByteArray sql = "INSERT INTO " + QByteArray(table)
        + " (id, played_at, text, details, play_key, kind, performances)"
          " VALUES (?, ?, ?, ?, lower(hex(randomblob(16))), ?, ?)";
    const auto insert = prepare(sql.constData());
    if (id > 0) {
        sqlite3_bind_int64(insert->handle, 1, id);
    }
    bindText(insert->handle, 2, play.playedAt);
    bindText(insert->handle, 3, play.text);
    bindDetails(insert->handle, 4, play.details);
    if (play.isCount) {
        sqlite3_bind_text(insert->handle, 5, "listeners", -1, SQLITE_STATIC);
        if (play.performances >= 0) {
            sqlite3_bind_int64(insert->handle, 6, play.performances);
        }
    }
    if (sqlite3_step(insert->handle) != SQLITE_DONE) {
        fail(u"keeping plays in the spool"_s);
    }
}

bool PlaySpool::keepOnDisk(const QList<SpooledPlay> &plays, qsizetype count)
{
    try {
        execute("BEGIN IMMEDIATE");
        // Ids go on from those that waited in memory.
        const auto sequence = prepare("UPDATE main.sqlite_sequence SET seq = max(seq, ?) WHERE name = 'waiting'");
        sqlite3_bind_int64(sequence->handle, 1, m_lastHeldId);
        if (sqlite3_step(sequence->handle) != SQLITE_DONE) {
            fail(u"keeping plays in the spool"_s);
        }
        for (qsizetype i = 0; i < count; ++i) {
            insertWaiting("main.waiting", plays[i], 0);
        }
        execute("COMMIT");
    } catch (const Failure &failure) {
        if (m_inMemoryReason.isEmpty()) {
            m_inMemoryReason = failure.cause();
        }
        return false;
    }
    m_inMemoryReason.clear();
    // Plays stored while the file took no removals leave it now.
    if (tryExecute("DELETE FROM main.waiting WHERE id IN (SELECT id FROM held.gone)")) {
        tryExecute("DELETE FROM held.gone");
    }
    return true;
}

void PlaySpool::keepInMemory(const QList<SpooledPlay> &plays, qsizetype count)
{
    // Held plays come after every play in the file.
    const auto last = prepare("SELECT max(coalesce((SELECT seq FROM main.sqlite_sequence WHERE name = 'waiting'), 0),"
                              " coalesce((SELECT max(id) FROM held.waiting), 0))");
    const qint64 lastId = sqlite3_step(last->handle) == SQLITE_ROW ? sqlite3_column_int64(last->handle, 0) : 0;
    execute("BEGIN");
    for (qsizetype i = 0; i < count; ++i) {
        insertWaiting("held.waiting", plays[i], lastId + 1 + i);
    }
    execute("COMMIT");
    m_heldInMemory += count;
    m_lastHeldId = lastId + count;
}

std::optional<SpooledPlay> PlaySpool::oldest(qint64 after)
{
    QMutexLocker lock(&m_mutex);
    const auto select
        = prepare("SELECT id, played_at, text, coalesce(doubt_since, 0), coalesce(rows_before, -1), details,"
                  " play_key, kind IS NOT NULL, coalesce(performances, -1) FROM ("
                  " SELECT * FROM (SELECT * FROM main.waiting WHERE id > ?1"
                  "  AND id NOT IN (SELECT id FROM held.gone) ORDER BY id LIMIT 1)"
                  " UNION ALL SELECT * FROM (SELECT * FROM held.waiting WHERE id > ?1 ORDER BY id LIMIT 1))"
                  " ORDER BY id LIMIT 1");
    sqlite3_bind_int64(select->handle, 1, after);
    const int rc = sqlite3_step(select->handle);
    if (rc == SQLITE_DONE) {
        return std::nullopt;
    }
    if (rc != SQLITE_ROW) {
        fail(u"reading the spool"_s);
    }
    return SpooledPlay {sqlite3_column_int64(select->handle, 0), columnText(select->handle, 2),
                        columnText(select->handle, 1),           sqlite3_column_int64(select->handle, 3),
                        sqlite3_column_int64(select->handle, 4), columnText(select->handle, 5).toUtf8(),
                        columnText(select->handle, 6),           sqlite3_column_int64(select->handle, 7) != 0,
                        sqlite3_column_int64(select->handle, 8)};
}

void PlaySpool::markInDoubt(qint64 id, qint64 rowsBefore)
{
    QMutexLocker lock(&m_mutex);
    for (const char *sql : {"UPDATE main.waiting SET doubt_since = ?, rows_before = ? WHERE id = ?",
                            "UPDATE held.waiting SET doubt_since = ?, rows_before = ? WHERE id = ?"}) {
        const auto mark = prepare(sql);
        sqlite3_bind_int64(mark->handle, 1, QDateTime::currentSecsSinceEpoch());
        sqlite3_bind_int64(mark->handle, 2, rowsBefore);
        sqlite3_bind_int64(mark->handle, 3, id);
        sqlite3_step(mark->handle);
    }
}

void PlaySpool::remove(qint64 id)
{
    QMutexLocker lock(&m_mutex);
    eraseWaiting(id);
}

void PlaySpool::eraseWaiting(qint64 id)
{
    const auto size = prepare("SELECT " SPOOLED_PLAY_BYTES
                              ", 'held' FROM held.waiting WHERE id = ?1 UNION ALL SELECT " SPOOLED_PLAY_BYTES
                              ", 'main' FROM main.waiting WHERE id = ?1 AND id NOT IN (SELECT id FROM held.gone)");
    sqlite3_bind_int64(size->handle, 1, id);
    if (sqlite3_step(size->handle) != SQLITE_ROW) {
        return; // not waiting
    }
    const qint64 bytes = sqlite3_column_int64(size->handle, 0);
    const bool held = columnText(size->handle, 1) == u"held";
    const auto erase
        = prepare(held ? "DELETE FROM held.waiting WHERE id = ?" : "DELETE FROM main.waiting WHERE id = ?");
    sqlite3_bind_int64(erase->handle, 1, id);
    if (sqlite3_step(erase->handle) != SQLITE_DONE) {
        // The file takes no removal: the play is marked gone in memory, so
        // that it is never stored a second time while the receiver runs.
        const auto gone = prepare("INSERT OR IGNORE INTO held.gone (id) VALUES (?)");
        sqlite3_bind_int64(gone->handle, 1, id);
        if (sqlite3_step(gone->handle) != SQLITE_DONE) {
            fail(u"removing a play from the spool"_s);
        }
    }
    --m_waitingPlays;
    m_waitingBytes -= bytes;
    m_heldInMemory -= held ? 1 : 0;
}

void PlaySpool::reject(const SpooledPlay &play, const QString &reason)
{
    QMutexLocker lock(&m_mutex);
    const auto setAside = [&](const char *sql) {
        const auto insert = prepare(sql);
        sqlite3_bind_int64(insert->handle, 1, play.id);
        bindText(insert->handle, 2, play.playedAt);
        bindText(insert->handle, 3, play.text);
        bindText(insert->handle, 4, reason);
        bindText(insert->handle, 5, QDateTime::currentDateTime().toString(kPlayedAtFormat));
        bindDetails(insert->handle, 6, play.details);
        return sqlite3_step(insert->handle) == SQLITE_DONE;
    };
    // One transaction where the file takes it: a play is never both waiting
    // and set aside.
    const bool onDisk = tryExecute("BEGIN IMMEDIATE")
        && setAside("INSERT OR REPLACE INTO main.rejected (id, played_at, text, reason, rejected_at, details)"
                    " VALUES (?, ?, ?, ?, ?, ?)");
    if (!onDisk) {
        tryExecute("ROLLBACK");
        setAside("INSERT OR REPLACE INTO held.rejected (id, played_at, text, reason, rejected_at, details)"
                 " VALUES (?, ?, ?, ?, ?, ?)");
    }
    eraseWaiting(play.id);
    if (onDisk && !tryExecute("COMMIT")) {
        fail(u"setting a rejected play aside"_s);
    }
}

qint64 PlaySpool::waitingCount()
{
    QMutexLocker lock(&m_mutex);
    return m_waitingPlays;
}

QString PlaySpool::oldestPlayedAt()
{
    QMutexLocker lock(&m_mutex);
    const auto select = prepare("SELECT played_at FROM (SELECT id, played_at FROM main.waiting WHERE id NOT IN"
                                " (SELECT id FROM held.gone) UNION ALL SELECT id, played_at FROM held.waiting)"
                                " ORDER BY id LIMIT 1");
    return sqlite3_step(select->handle) == SQLITE_ROW ? columnText(select->handle, 0) : QString();
}

qint64 PlaySpool::rejectedCount()
{
    QMutexLocker lock(&m_mutex);
    const auto count = prepare("SELECT (SELECT count(*) FROM main.rejected) + (SELECT count(*) FROM held.rejected)");
    return sqlite3_step(count->handle) == SQLITE_ROW ? sqlite3_column_int64(count->handle, 0) : 0;
}

QString PlaySpool::heldInMemoryBecause()
{
    QMutexLocker lock(&m_mutex);
    return m_inMemoryReason;
}

} // namespace quaverlink
