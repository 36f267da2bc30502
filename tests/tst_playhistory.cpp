#include "playlog/database.h"
#include "playlog/historyfile.h"
#include "playlog/odbc.h"
#include "playlog/playhistory.h"
#include "playlog/playrecord.h"
#include "playlog/playspool.h"
#include "playlog/recentplays.h"
#include "testsupport.h"

#include <QUuid>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace quaverlink;
using namespace testsupport;

namespace {

const QString kUser = QString::fromUtf16(TestDatabase::kUser);
const QString kPassword = QString::fromUtf16(TestDatabase::kPassword);

PlayIdentity newPlay(const QString &station = u"studio"_s)
{
    return {station, QUuid::createUuid().toString(QUuid::Id128)};
}

} // namespace

// Against the MariaDB server that the test command started; what was stored
// is read back with the server's own client.
class PlayHistoryTest final : public QObject
{
    Q_OBJECT

    TestDatabase m_db;
    QTemporaryDir m_folder;
    RefusingPort m_refusing; // where no database answers

    DatabaseLogin login(quint16 port = 0) const { return {kUser, kPassword, m_db.server(port)}; }
    PlayHistory::Options options(quint16 port = 0) const
    {
        PlayHistory::Options options;
        options.spoolPath = QFile::encodeName(m_folder.filePath(u"playhistory.sqlite"_s));
        options.login = login(port);
        options.firstRetry = std::chrono::milliseconds(100);
        return options;
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_db.open(), "the test MariaDB server is not running: run through ctest"); }
    void init()
    {
        m_db.query(u"TRUNCATE TABLE Metadata"_s);
        QFile::remove(QFile::decodeName(options().spoolPath));
    }

    void textIsStoredVerbatim_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("artist");
        QTest::addColumn<QString>("title");
        QTest::newRow("SQL fragment") << u"x\\'); DROP TABLE Metadata; -- - y"_s << u"x\\'); DROP TABLE Metadata;"_s
                                      << u" y"_s;
        QTest::newRow("NUL") << QString(u"Nul\0Inside - X"_s) << QString(u"Nul\0Inside"_s) << u"X"_s;
        QTest::newRow("CJK and emoji") << u"\u5742\u672c\u9f8d\u4e00 - \U0001F3B6 Song"_s
                                       << u"\u5742\u672c\u9f8d\u4e00"_s << u"\U0001F3B6 Song"_s;
    }
    void textIsStoredVerbatim()
    {
        QFETCH(QString, text);
        QFETCH(QString, artist);
        QFETCH(QString, title);
        storePlay(login(), PlayRecord::fromText(text, u"2026-03-07 18:05:09"_s), newPlay());
        QCOMPARE(m_db.rows(u"HEX(entry_tag), HEX(full_text), HEX(played_at), HEX(artist), HEX(title)"_s),
                 (QList<QStringList> {{QString()}, {text}, {u"2026-03-07 18:05:09"_s}, {artist}, {title}}));
        // A text without a dash connects, and stores nothing.
        storePlay(login(), PlayRecord::fromText(u"Station ID"_s, u"2026-03-07 18:05:10"_s), newPlay());
        QCOMPARE(m_db.storedTexts().size(), 1);
    }

    void failuresCarryTheirDiagnostics_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("sqlState");
        QTest::addColumn<int>("nativeCode");
        QTest::newRow("wrong password") << u"wrong-Pl4y-h1st0ry"_s << QString() << u"28000"_s << 1045;
        QTest::newRow("nothing listening") << kPassword << m_db.server(m_refusing.port()) << u"HY000"_s << 2002;
    }
    void failuresCarryTheirDiagnostics()
    {
        QFETCH(QString, password);
        QFETCH(QString, server);
        QFETCH(QString, sqlState);
        QFETCH(int, nativeCode);
        const DatabaseLogin wrong {kUser, password, server.isEmpty() ? m_db.server() : server};
        try {
            storePlay(wrong, PlayRecord::fromText(u"Lost - Item"_s, u"2026-01-01 00:00:00"_s), newPlay());
            QFAIL("stored");
        } catch (const odbc::Error &error) {
            QCOMPARE(error.sqlState(), sqlState);
            QCOMPARE(error.nativeCode(), nativeCode);
            QVERIFY(!error.describe().contains(password));
        }
    }

    void nonAsciiLoginConnects()
    {
        m_db.query(u"CREATE USER IF NOT EXISTS 'r\u00e9gie'@'127.0.0.1' IDENTIFIED BY 'p\u00e4ss-\u00f8rd';"
                   "GRANT INSERT ON Brackenwaves.Metadata TO 'r\u00e9gie'@'127.0.0.1'"_s);
        storePlay({u"r\u00e9gie"_s, u"p\u00e4ss-\u00f8rd"_s, m_db.server()},
                  PlayRecord::fromText(u"Wide - Login"_s, u"2026-01-01 00:00:00"_s), newPlay());
        QCOMPARE(m_db.storedTexts(), QStringList {u"Wide - Login"_s});
    }

    void refusedRowIsSetAsideAndTheQueueGoesOn_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("undo");
        QTest::addColumn<QString>("reason");
        QTest::newRow("too long for its column (22001)")
            << u"ALTER TABLE Metadata MODIFY artist VARCHAR(12) NOT NULL"_s
            << u"ALTER TABLE Metadata MODIFY artist MEDIUMTEXT NOT NULL"_s << u"[22001]"_s;
        QTest::newRow("a unique key (23000)")
            << u"INSERT INTO Metadata VALUES('', 'Refused for its text - X', '2000-01-01', 'Refused', 'X');"
               "ALTER TABLE Metadata ADD UNIQUE KEY once (full_text(64))"_s
            << u"ALTER TABLE Metadata DROP KEY once"_s << u"[23000]"_s;
        QTest::newRow("a trigger that signals (45000)")
            << u"DELIMITER //\nCREATE TRIGGER no_jingles BEFORE INSERT ON Metadata FOR EACH ROW IF NEW.full_text "
               "LIKE 'Refused%' THEN SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'no jingles'; END IF//"_s
            << u"DROP TRIGGER no_jingles"_s << u"[45000]"_s;
    }
    void refusedRowIsSetAsideAndTheQueueGoesOn()
    {
        QFETCH(QString, change);
        QFETCH(QString, undo);
        QFETCH(QString, reason);
        m_db.query(change);
        const auto undoChange = qScopeGuard([&] { m_db.query(undo); });
        const auto stored = [&] {
            QStringList texts = m_db.storedTexts();
            texts.removeAll(u"Refused for its text - X"_s); // the row a unique key holds already
            return texts;
        };
        {
            PlayHistory history(options());
            QSignalSpy lines(&history, &PlayHistory::reported);
            history.record(u"Refused for its text - X"_s, QDateTime::currentDateTime());
            history.record(u"Short - Y"_s, QDateTime::currentDateTime());
            QTRY_COMPARE(stored(), QStringList {u"Short - Y"_s});
            history.record(u"Later - Z"_s, QDateTime::currentDateTime());
            QTRY_COMPARE(stored(), QStringList({u"Short - Y"_s, u"Later - Z"_s}));
            QTRY_COMPARE(lines.count(), 1);
            QVERIFY2(lines.at(0).at(0).toString().contains(reason), qPrintable(lines.at(0).at(0).toString()));
            QVERIFY(lines.at(0).at(0).toString().contains(u"set aside"_s));
        }
        QProcess sqlite;
        sqlite.start(u"sqlite3"_s,
                     {QFile::decodeName(options().spoolPath),
                      u"SELECT text, reason LIKE '%"_s + reason + u"%' FROM rejected"_s});
        QVERIFY(sqlite.waitForFinished());
        QCOMPARE(sqlite.readAllStandardOutput(), QByteArray("Refused for its text - X|1\n"));
    }

    void detailsTheTableRefusesOrLacksNeverCostTheMetadataRow()
    {
        m_db.query(u"TRUNCATE TABLE PlayDetails"_s);
        PlayDetails details;
        details.isrc = QString(100, u'X'); // longer than its column
        {
            PlayHistory history(options());
            QSignalSpy lines(&history, &PlayHistory::reported);
            history.record(u"Long - ISRC"_s, QDateTime::currentDateTime(), &details);
            QTRY_COMPARE(m_db.storedTexts(), QStringList {u"Long - ISRC"_s});
            QTRY_VERIFY(!lines.isEmpty() && lines.at(0).at(0).toString().contains(u"refused a play's details"_s));
        }
        m_db.query(u"RENAME TABLE PlayDetails TO PlayDetails_away"_s);
        auto putBack = qScopeGuard([&] { m_db.query(u"RENAME TABLE PlayDetails_away TO PlayDetails"_s); });
        details.isrc.clear();
        PlayHistory history(options());
        QSignalSpy lines(&history, &PlayHistory::reported);
        for (const QString &text : {u"No - Table"_s, u"Still - No Table"_s}) {
            history.record(text, QDateTime::currentDateTime(), &details);
        }
        QTRY_COMPARE(m_db.storedTexts().size(), 3);
        QTRY_COMPARE(lines.count(), 1);
        QVERIFY(lines.at(0).at(0).toString().contains(u"no table PlayDetails"_s));
        QCOMPARE(m_db.query(u"SELECT COUNT(*) FROM PlayDetails_away"_s), QByteArray("0\n"));
    }

    // The station's own table: five columns named as it likes, the time a
    // text; the login with SELECT, as the README advises, or INSERT alone.
    void stationTableStoresEachPlayOnce_data()
    {
        QTest::addColumn<bool>("maySelect");
        QTest::newRow("INSERT and SELECT") << true;
        QTest::newRow("INSERT alone") << false;
    }
    void stationTableStoresEachPlayOnce()
    {
        QFETCH(bool, maySelect);
        m_db.query(
            u"RENAME TABLE Metadata TO Metadata_ours;"
            "CREATE TABLE Metadata (kind CHAR(1), song MEDIUMTEXT, aired VARCHAR(19), singer TEXT, piece TEXT);"
            "DROP USER IF EXISTS 'desk'@'127.0.0.1'; CREATE USER 'desk'@'127.0.0.1' IDENTIFIED BY 'Desk-1';"
            "GRANT INSERT%1 ON Brackenwaves.Metadata TO 'desk'@'127.0.0.1'"_s.arg(maySelect ? u", SELECT" : u""));
        auto putBack
            = qScopeGuard([&] { m_db.query(u"DROP TABLE Metadata; RENAME TABLE Metadata_ours TO Metadata"_s); });
        QStringList texts = {u"After - Slow"_s, u"Third - One"_s};
        if (maySelect) {
            // The first try of this row outlasts the receiver's wait: the
            // server undoes it, as no commit came, and the play is sent again.
            m_db.query(u"CREATE TRIGGER slow BEFORE INSERT ON Metadata FOR EACH ROW SET @slept ="
                       " IF(NEW.song LIKE 'Slow%' AND UNIX_TIMESTAMP() < %1, SLEEP(%2), 0)"_s
                           .arg(QDateTime::currentSecsSinceEpoch() + 5)
                           .arg(kDatabaseTimeout.count() + 1));
            texts.prepend(u"Slow - Insert"_s);
        }
        PlayHistory::Options options = this->options();
        options.login = {u"desk"_s, u"Desk-1"_s, m_db.server()};
        PlayHistory history(options);
        for (const QString &text : texts) {
            history.record(text, QDateTime::fromString(u"2026-03-07T18:05:09"_s, Qt::ISODate));
        }
        QTRY_VERIFY_WITH_TIMEOUT(history.status().stored == texts.size(), 60000);
        texts.sort();
        QByteArray expected;
        for (const QString &text : std::as_const(texts)) {
            expected += text.toUtf8() + "\t2026-03-07 18:05:09\n";
        }
        QCOMPARE(m_db.query(u"SELECT song, aired FROM Metadata ORDER BY song"_s), expected);
    }

    // A play whose answer was lost is looked for by its key: another
    // station's row with the same text in the same second never stands in.
    void lostAnswerIsLookedForByItsKey()
    {
        m_db.query(u"TRUNCATE TABLE StationPlays"_s);
        const QString second = u"2026-03-07 18:05:09"_s;
        const QString text = u"Network News - Top of the hour"_s;
        {
            PlaySpool spool(options().spoolPath);
            spool.keep({{0, text, second}, {0, text, second}});
            const SpooledPlay stored = *spool.oldest(0);
            const SpooledPlay lost = *spool.oldest(stored.id);
            const auto storeAs = [&](const QString &station, const QString &key) {
                m_db.query(u"INSERT INTO Metadata VALUES ('', '%1', '%2', 'Network News ', ' Top of the hour');"
                           "INSERT INTO StationPlays (station, play_key, played_at, full_text, in_metadata)"
                           " VALUES ('%3', '%4', '%2', '%1', 1)"_s.arg(text, second, station, key));
            };
            storeAs(u"studio"_s, stored.key); // its commit went through
            storeAs(u"other"_s, newPlay().key);
            for (const SpooledPlay &play : {stored, lost}) {
                spool.markInDoubt(play.id, kCheckedByKey);
            }
        }
        PlayHistory::Options options = this->options();
        options.station = u"studio"_s;
        PlayHistory history(options);
        QTRY_COMPARE(history.status().stored, 2);
        QCOMPARE(m_db.storedTexts(), QStringList(3, text));
        QCOMPARE(m_db.query(u"SELECT station, COUNT(DISTINCT play_key) FROM StationPlays GROUP BY station"_s),
                 QByteArray("other\t1\nstudio\t2\n"));
    }

    void tableFaultKeepsEveryPlayWaiting()
    {
        m_db.query(u"RENAME TABLE Metadata TO Metadata_away"_s);
        auto putBack = qScopeGuard([&] { m_db.query(u"RENAME TABLE Metadata_away TO Metadata"_s); });
        PlayHistory history(options());
        QSignalSpy lines(&history, &PlayHistory::reported);
        for (const QString &text : {u"First - Waits"_s, u"Second - Waits"_s, u"Third - Waits"_s}) {
            history.record(text, QDateTime::currentDateTime());
        }
        QTRY_VERIFY(!lines.isEmpty());
        QVERIFY(lines.at(0).at(0).toString().contains(u"stopped working"_s));
        QVERIFY(lines.at(0).at(0).toString().contains(u"[42S02] (1146)"_s));
        putBack.dismiss();
        m_db.query(u"RENAME TABLE Metadata_away TO Metadata"_s);
        QTRY_COMPARE(m_db.storedTexts(), QStringList({u"First - Waits"_s, u"Second - Waits"_s, u"Third - Waits"_s}));
    }

    // A link the spool will not follow is the same rule as metadata.txt's,
    // which the atomic file's test owns; here, no folder at all.
    void spoolThatCannotBeOnDiskIsKeptInMemory()
    {
        PlayHistory::Options nowhere = options();
        nowhere.spoolPath = "/nonexistent/playhistory.sqlite";
        PlayHistory history(nowhere);
        QSignalSpy lines(&history, &PlayHistory::reported);
        history.record(u"In - Memory"_s, QDateTime::currentDateTime());
        QTRY_COMPARE(m_db.storedTexts(), QStringList {u"In - Memory"_s});
        QTRY_VERIFY(!lines.isEmpty() && lines.at(0).at(0).toString().contains(u"held in memory only"_s));
    }

    void spoolFollowsItsFolderRemovedAndMadeAgain()
    {
        const QString folder = m_folder.filePath(u"station"_s);
        QVERIFY(QDir().mkdir(folder));
        const QByteArray path = QFile::encodeName(folder + u"/playhistory.sqlite"_s);
        const auto play = [](const QString &text) { return SpooledPlay {0, text, u"2026-01-01 00:00:00"_s}; };
        {
            PlaySpool spool(path);
            spool.keep({play(u"Before - Removal"_s)});
            const qint64 uploading = spool.oldest()->id;
            QVERIFY(QDir(folder).removeRecursively());
            QVERIFY(!spool.followPath());
            QCOMPARE(spool.keep({play(u"While - Gone"_s)}), 1);
            QVERIFY(QDir().mkdir(folder));
            QVERIFY(spool.followPath());
            spool.remove(uploading);
            spool.keep({play(u"After - Return"_s)});
            // One owner at a time.
            QVERIFY_THROWS_EXCEPTION(SpoolTaken, PlaySpool {path});
        }
        PlaySpool found(path);
        QCOMPARE(found.waitingCount(), 2);
        QCOMPARE(found.oldest()->text, u"While - Gone"_s);
        // Made again, it is as private as the first: the folder may be read by all.
        for (const QByteArray &file : {path, path + "-wal"}) {
            struct stat info = {};
            QVERIFY(::stat(file.constData(), &info) == 0);
            QCOMPARE(info.st_mode & 0777, 0600u);
        }
    }

    void recentPlaysShareTheFileAndItsOwner()
    {
        const QByteArray path = QFile::encodeName(m_folder.filePath(u"recent.sqlite"_s));
        const RecentPlay play {QDateTime::currentDateTime(), u"First - Play"_s, {{u"album"_s, u"One"_s}}};
        {
            // The spool and the list make the new file at the same moment.
            auto file = std::make_shared<HistoryFile>(path);
            PlayHistory::Options shared = options(m_refusing.port());
            shared.file = file;
            PlayHistory history(shared);
            RecentPlays recent(file);
            QSignalSpy lines(&recent, &RecentPlays::reported);
            history.record(u"Kept - Play"_s, QDateTime::currentDateTime());
            recent.add(play);
            QTRY_COMPARE(history.status().kept, 1);
            // A second receiver in the folder neither keeps its list there nor blocks the first.
            RecentPlays second(std::make_shared<HistoryFile>(path));
            QSignalSpy refused(&second, &RecentPlays::reported);
            second.add({QDateTime::currentDateTime(), u"Second - Receiver"_s, {}});
            QTRY_COMPARE(refused.size(), 1);
            QVERIFY(refused.at(0).at(0).toString().contains(u"another receiver in this folder holds it"_s));
            QTest::qWait(2 * int(RecentPlays::kWriteDelay.count()));
            QVERIFY(lines.isEmpty());
            QVERIFY(history.stop());
        }
        PlaySpool found(path);
        QCOMPARE(found.waitingCount(), 1);
        const QList<RecentPlay> kept = found.recentPlays(RecentPlays::kKept);
        QCOMPARE(kept.size(), 1);
        QCOMPARE(kept.at(0).text, play.text);
        QCOMPARE(kept.at(0).details, play.details);
    }

    void fullSpoolKeepsWhatItHoldsAcrossRuns()
    {
        PlayHistory::Options limited = options(m_refusing.port());
        limited.limits.plays = 3;
        {
            PlayHistory history(limited);
            QSignalSpy lines(&history, &PlayHistory::reported);
            for (int i = 0; i < 5; ++i) {
                history.record(u"Kept %1 - Play"_s.arg(i), QDateTime::currentDateTime());
            }
            QVERIFY(history.stop());
            settle();
            QVERIFY(std::any_of(lines.cbegin(), lines.cend(), [](const QList<QVariant> &line) {
                return line.at(0).toString().contains(u"the spool is full"_s);
            }));
        }
        PlayHistory history(options());
        QSignalSpy caughtUp(&history, &PlayHistory::caughtUp);
        QVERIFY(caughtUp.wait());
        QCOMPARE(m_db.storedTexts(), QStringList({u"Kept 0 - Play"_s, u"Kept 1 - Play"_s, u"Kept 2 - Play"_s}));
    }
};

QTEST_GUILESS_MAIN(PlayHistoryTest)
#include "tst_playhistory.moc"
