#include "recentplays.h"

#include "common/atomicfile.h"
#include "common/failure.h"
#include "common/literals.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTimer>

#include <sys/stat.h>

#include <sqlite3.h>

namespace quaverlink {
namespace {

// Owns the SQLite connection, on the recent plays' own thread.
class RecentWriter final : public Reporter
{
    Q_OBJECT

public:
    explicit RecentWriter(QByteArray path)
        : m_path(std::move(path))
    {
    }
    ~RecentWriter() override { sqlite3_close_v2(m_db); }
    RecentWriter(const RecentWriter &) = delete;
    RecentWriter &operator=(const RecentWriter &) = delete;

    // The plays the last run left, newest first; nothing when the file
    // cannot be used, which is said once.
    QList<RecentPlay> open()
    {
        if (!openFile()) {
            return {};
        }
        QList<RecentPlay> plays;
        sqlite3_stmt *select = nullptr;
        sqlite3_prepare_v2(m_db, "SELECT played_at, text, details FROM recent ORDER BY id DESC LIMIT 50", -1, &select,
                           nullptr);
        while (select && sqlite3_step(select) == SQLITE_ROW) {
            const auto text = [&](int column) {
                return QByteArray(static_cast<const char *>(sqlite3_column_blob(select, column)),
                                  sqlite3_column_bytes(select, column));
            };
            plays.append({QDateTime::fromString(QString::fromUtf8(text(0)), Qt::ISODateWithMs),
                          QString::fromUtf8(text(1)), QJsonDocument::fromJson(text(2)).object()});
        }
        sqlite3_finalize(select);
        return plays;
    }

    // The whole list in one transaction: fifty short rows. After a failure
    // the file is opened afresh for the next list, so a spell of a full
    // disk costs only the lists written during it.
    void write(const QList<RecentPlay> &plays)
    {
        if (!m_db && !openFile()) {
            return;
        }
        bool written = execute("BEGIN IMMEDIATE; DELETE FROM recent");
        sqlite3_stmt *insert = nullptr;
        written = written
            && sqlite3_prepare_v2(m_db, "INSERT INTO recent (played_at, text, details) VALUES (?, ?, ?)", -1, &insert,
                                  nullptr)
                == SQLITE_OK;
        for (auto it = plays.crbegin(); written && it != plays.crend(); ++it) {
            const QByteArray values[] = {it->onAir.toString(Qt::ISODateWithMs).toUtf8(), it->text.toUtf8(),
                                         QJsonDocument(it->details).toJson(QJsonDocument::Compact)};
            for (int i = 0; i < 3; ++i) {
                sqlite3_bind_text(insert, i + 1, values[i].constData(), int(values[i].size()), SQLITE_TRANSIENT);
            }
            written = sqlite3_step(insert) == SQLITE_DONE && sqlite3_reset(insert) == SQLITE_OK;
        }
        sqlite3_finalize(insert);
        if (!written || !execute("COMMIT")) {
            giveUp();
            return;
        }
        if (m_failing) {
            m_failing = false;
            report(Severity::Recovery, u"recent plays"_s, u"%1 is written again"_s.arg(QFile::decodeName(m_path)));
        }
    }

private:
    // The busy timeout comes first: the spool's owner may be creating the
    // same file at this moment.
    bool openFile()
    {
        QByteArray path;
        try {
            path = followTrustedLinks(m_path);
        } catch (const Failure &failure) {
            giveUp(failure.cause());
            return false;
        }
        // A file made here is made private, as the spool's owner makes it;
        // SQLite gives its journal the file's mode. (Not by opening it
        // first: closing any descriptor of the file would drop SQLite's own
        // locks on it in this process.)
        const bool existed = QFileInfo::exists(QFile::decodeName(path));
        if (sqlite3_open_v2(path.constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK
            || sqlite3_busy_timeout(m_db, 5000) != SQLITE_OK
            || !execute("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; CREATE TABLE IF NOT EXISTS recent (id "
                        "INTEGER PRIMARY KEY, played_at TEXT NOT NULL, text TEXT NOT NULL, details TEXT)")) {
            giveUp();
            return false;
        }
        if (!existed) {
            for (const char *suffix : {"", "-wal", "-shm"}) {
                ::chmod((path + suffix).constData(), 0600);
            }
        }
        return true;
    }

    bool execute(const char *sql) { return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

    // Said once a spell, with the cause SQLite gave for the failed step.
    void giveUp(QString cause = QString())
    {
        if (cause.isEmpty()) {
            cause = QString::fromUtf8(m_db ? sqlite3_errmsg(m_db) : "out of memory");
        }
        if (m_db) {
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        sqlite3_close_v2(std::exchange(m_db, nullptr));
        if (!m_failing) {
            m_failing = true;
            report(Severity::Failure, u"recent plays"_s,
                   u"%1 cannot be written (%2); the list is kept in memory and written again once it can be"_s
                       .arg(QFile::decodeName(m_path), cause));
        }
    }

    bool m_failing = false;
    QByteArray m_path;
    sqlite3 *m_db = nullptr;
};

} // namespace

RecentPlays::RecentPlays(const QByteArray &path, QObject *parent)
    : Reporter(parent)
{
    auto *writer = new RecentWriter(path);
    m_writer = writer;
    writer->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, writer, &QObject::deleteLater);
    connect(writer, &Reporter::reported, this, &Reporter::reported);
    m_thread.setObjectName(u"recent plays"_s);
    m_thread.start();
    QMetaObject::invokeMethod(writer, [this, writer] {
        const QList<RecentPlay> earlier = writer->open();
        QMetaObject::invokeMethod(this, [this, earlier] {
            // Plays of this run come first; the earlier ones fill the rest.
            m_plays += earlier.first(qMin(earlier.size(), kKept - qMin(m_plays.size(), kKept)));
            Q_EMIT changed();
        });
    });
}

RecentPlays::~RecentPlays()
{
    // The last of a burst is written before the thread ends.
    auto *writer = static_cast<RecentWriter *>(m_writer);
    QMetaObject::invokeMethod(writer, [writer, thread = &m_thread, plays = m_plays, pending = m_writePending] {
        if (pending) {
            writer->write(plays);
        }
        thread->quit();
    });
    m_thread.wait();
}

void RecentPlays::add(const RecentPlay &play)
{
    m_plays.prepend(play);
    if (m_plays.size() > kKept) {
        m_plays.removeLast();
    }
    keep();
}

void RecentPlays::addDetails(const QJsonObject &details)
{
    if (!m_plays.isEmpty()) {
        m_plays.first().details = details;
        keep();
    }
}

void RecentPlays::keep()
{
    // A burst is written once, at its end.
    if (!m_writePending) {
        m_writePending = true;
        QTimer::singleShot(kWriteDelay, this, [this] {
            m_writePending = false;
            auto *writer = static_cast<RecentWriter *>(m_writer);
            QMetaObject::invokeMethod(writer, [writer, plays = m_plays] { writer->write(plays); });
        });
    }
    Q_EMIT changed();
}

} // namespace quaverlink

#include "recentplays.moc"
