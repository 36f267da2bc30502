#include "playlog/playspool.h"
#include "testsupport.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QtTest>

#include <csignal>
#include <functional>
#include <unistd.h>

using namespace testsupport;

namespace {

// Sends items 100 to 300 ms apart, each put on air before the next leaves,
// and returns the local time each was sent.
QList<QDateTime> playItems(RunningReceiver &receiver, quint16 port, const QStringList &items)
{
    QList<QDateTime> sent;
    for (const QString &item : items) {
        sent << QDateTime::currentDateTime();
        sendTo(port, item.toUtf8());
        if (!receiver.waitForOnAir(item.toUtf8(), 5000)) {
            qWarning("not on air: %s", qPrintable(item));
            return {};
        }
        QTest::qWait(100 + QRandomGenerator::global()->bounded(200));
    }
    return sent;
}

// Plays items on a receiver in folder, then ends it with end(); returns the
// time each item was sent.
QList<QDateTime> playThenEnd(const Settings &settings, const QString &folder, const QStringList &items,
                             const std::function<void(RunningReceiver &)> &end)
{
    RunningReceiver receiver(settings, folder);
    if (!receiver.waitForOnAir(settings.idle)) {
        return {};
    }
    QList<QDateTime> sent = playItems(receiver, settings.port(), items);
    end(receiver);
    return sent;
}

// Every play stored exactly once, in order, with the time it went on air.
void verifyStored(const TestDatabase &db, const QStringList &items, const QList<QDateTime> &sent)
{
    QTRY_COMPARE_WITH_TIMEOUT(db.storedTexts(), items, 30000);
    const QStringList playedAt = db.rows().value(1);
    for (qsizetype i = 0; i < playedAt.size(); ++i) {
        QVERIFY2(qAbs(QDateTime::fromString(playedAt[i], u"yyyy-MM-dd HH:mm:ss"_s).secsTo(sent.at(i))) <= 1,
                 qPrintable(playedAt[i]));
    }
}

// Plays waiting in a spool that a receiver may hold, read as a person would.
int waitingIn(const QString &spool)
{
    QProcess sqlite;
    sqlite.start(u"sqlite3"_s, {spool, u"SELECT count(*) FROM waiting"_s});
    sqlite.waitForFinished();
    return sqlite.readAllStandardOutput().trimmed().toInt();
}

QStringList numbered(const QString &pattern, int count)
{
    QStringList items;
    for (int i = 0; i < count; ++i) {
        items << pattern.arg(i);
    }
    return items;
}

} // namespace

class FaultsTest final : public QObject
{
    Q_OBJECT

    TestDatabase m_db;

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_db.open(), "the test MariaDB server is not running: run through ctest"); }
    void init() { m_db.query(u"TRUNCATE TABLE Metadata"_s); }

    void airKeepsMovingWhileTheDatabaseHangsAndPlaysOutliveAStop()
    {
        QTemporaryDir folder;
        Settings settings = m_db.logging();
        settings.countTimeout = "2";
        const QStringList items = numbered(u"Hung %1 - Database"_s, 12);
        QVERIFY(m_db.control(u"freeze"_s));
        auto thaw = qScopeGuard([&] { m_db.control(u"thaw"_s); });
        const QList<QDateTime> sent = playThenEnd(settings, folder.path(), items, [](RunningReceiver &receiver) {
            // The countdown runs on: the idle text comes back after two silent seconds.
            QVERIFY(receiver.waitForOnAir("Studio Live"));
            ::kill(pid_t(receiver.process().processId()), SIGTERM);
            QVERIFY(receiver.process().waitForFinished(8000));
            QCOMPARE(receiver.process().exitStatus(), QProcess::NormalExit);
            QCOMPARE(receiver.process().exitCode(), 0);
        });
        QCOMPARE(sent.size(), items.size());
        thaw.dismiss();
        QVERIFY(m_db.control(u"thaw"_s));
        QCOMPARE(m_db.storedTexts(), QStringList());
        RunningReceiver again(settings, folder.path());
        verifyStored(m_db, items, sent);
        QCOMPARE(QDir(folder.path()).entryList({u".metadata.txt.*"_s}, QDir::Files | QDir::Hidden), QStringList());
    }

    void playsOutliveAnUnreachableDatabaseAndAKill()
    {
        QTemporaryDir folder;
        const Settings settings = m_db.logging();
        const QStringList items = numbered(u"Unreachable %1 - Database"_s, 5);
        QVERIFY(m_db.control(u"halt"_s));
        auto resume = qScopeGuard([&] { m_db.control(u"resume"_s); });
        const QList<QDateTime> sent = playThenEnd(settings, folder.path(), items, [](RunningReceiver &receiver) {
            // The idle text's two start-up copies are plays too: they hold no
            // dash, so they only ever cost a connection.
            QTRY_COMPARE(waitingIn(receiver.path(u"playhistory.sqlite"_s)), 7);
            QTRY_COMPARE(receiver.errorLines(u"play history: stopped working"_s), 1);
            QCOMPARE(receiver.errorLines(QString::fromUtf16(TestDatabase::kPassword)), 0);
            receiver.process().kill();
            QVERIFY(receiver.process().waitForFinished());
        });
        QCOMPARE(sent.size(), items.size());
        RunningReceiver again(settings, folder.path());
        QTRY_COMPARE(again.errorLines(u"play history: stopped working"_s), 1);
        QVERIFY(m_db.control(u"resume"_s));
        resume.dismiss();
        verifyStored(m_db, items, sent);
        QCOMPARE(again.errorLines(u"7 plays from an earlier run"_s), 1);
        QTRY_COMPARE(again.errorLines(u"play history: works again: 9 waiting plays stored"_s), 1);
    }

    void spoolThatTakesNoWritesOrHasAnOwnerLosesAndRepeatsNothing()
    {
        QTemporaryDir folder;
        const QString spool = folder.filePath(u"playhistory.sqlite"_s);
        quaverlink::PlaySpool(QFile::encodeName(spool)).keep({{0, u"Earlier - Play"_s, u"2026-01-01 00:00:00"_s}});
        QVERIFY(lock(QFile::encodeName(spool), true));
        auto unlock = qScopeGuard([&] { lock(QFile::encodeName(spool), false); });
        const Settings settings = m_db.logging();
        // The first receiver can read its spool but not write it; a second
        // one in the same folder, with a window, stays up after its listen
        // port was found taken.
        RunningReceiver first(settings, folder.path());
        QVERIFY(first.waitForOnAir(settings.idle));
        QProcessEnvironment window = QProcessEnvironment::systemEnvironment();
        window.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        RunningReceiver second(settings, folder.path(), {}, window);
        QTRY_COMPARE(second.errorLines(u"Error - Please restart the application!"_s), 1);
        const QStringList items = numbered(u"Read-only %1 - Spool"_s, 6);
        const QList<QDateTime> sent = playItems(first, settings.port(), items);
        verifyStored(m_db, items, sent);
        QCOMPARE(first.errorLines(u"the spool cannot be kept on disk"_s), 1);
        QCOMPARE(waitingIn(spool), 1);

        // Made writable again, the spool is the first receiver's own at its
        // next start, which stores what waited in it.
        QVERIFY(lock(QFile::encodeName(spool), false));
        first.process().kill();
        QVERIFY(first.process().waitForFinished());
        RunningReceiver again(settings, folder.path());
        QTRY_VERIFY(m_db.storedTexts().contains(u"Earlier - Play"_s));
        QTest::qWait(500);
        QCOMPARE(m_db.storedTexts().size(), items.size() + 1);
    }

    void stopDuringASlowInsertLeavesNoDuplicate()
    {
        m_db.query(u"CREATE TRIGGER slow BEFORE INSERT ON Metadata FOR EACH ROW "
                   "SET @slept = IF(NEW.full_text LIKE 'Slow%', SLEEP(4), 0)"_s);
        auto dropTrigger = qScopeGuard([&] { m_db.query(u"DROP TRIGGER slow"_s); });
        QTemporaryDir folder;
        const Settings settings = m_db.logging();
        {
            RunningReceiver receiver(settings, folder.path(), {u"--headless"_s});
            QVERIFY(receiver.waitForOnAir(settings.idle));
            sendTo(settings.port(), "Slow - Stop");
            QVERIFY(receiver.waitForOnAir("Slow - Stop"));
            QTest::qWait(1000);
            ::kill(pid_t(receiver.process().processId()), SIGTERM);
            QVERIFY(receiver.finish());
            QCOMPARE(receiver.process().exitCode(), 0);
        }
        // Started again before the server has stored the row.
        RunningReceiver again(settings, folder.path(), {u"--headless"_s});
        QTRY_COMPARE_WITH_TIMEOUT(waitingIn(again.path(u"playhistory.sqlite"_s)), 0, 20000);
        QCOMPARE(m_db.storedTexts(), QStringList {u"Slow - Stop"_s});
    }

    void fullDiskCostsNeitherTheAirNorThePlays()
    {
        if (::geteuid() != 0) {
            QSKIP("a full disk is a small tmpfs, which only root may mount");
        }
        QTemporaryDir base;
        const QString folder = base.filePath(u"full"_s);
        QVERIFY(QDir().mkdir(folder));
        QVERIFY(QProcess::execute(u"mount"_s, {u"-t"_s, u"tmpfs"_s, u"-o"_s, u"size=1m"_s, u"tmpfs"_s, folder}) == 0);
        auto unmount = qScopeGuard([&] { QProcess::execute(u"umount"_s, {u"-l"_s, folder}); });
        const Settings settings = m_db.logging();
        std::unique_ptr<RunningReceiver> receiver = std::make_unique<RunningReceiver>(settings, folder);
        QVERIFY(receiver->waitForOnAir(settings.idle));
        sendTo(settings.port(), "Before - Full");
        QVERIFY(receiver->waitForOnAir("Before - Full"));
        QTRY_COMPARE(m_db.storedTexts(), QStringList {u"Before - Full"_s});
        QProcess::execute(u"sh"_s, {u"-c"_s, u"cat /dev/zero > '%1/filler' 2>/dev/null"_s.arg(folder)});
        const QStringList items = numbered(u"Full %1 - Disk"_s, 8);
        const QList<QDateTime> sent = playItems(*receiver, settings.port(), items);
        QCOMPARE(sent.size(), items.size());
        verifyStored(m_db, QStringList {u"Before - Full"_s} + items, QList<QDateTime> {sent.front()} + sent);
        QCOMPARE(receiver->errorLines(u"the spool's file takes no more plays"_s), 1);
        QTest::qWait(500);
        QCOMPARE(m_db.storedTexts().size(), items.size() + 1);
        // A text larger than the pages the file has leaves the old one whole.
        sendTo(settings.port(), "Too - " + QByteArray(10000, 'L'));
        QTRY_COMPARE(receiver->errorLines(u"its old text is kept"_s), 1);
        QVERIFY(receiver->waitForOnAir(items.constLast().toUtf8(), 100));
    }
};

QTEST_GUILESS_MAIN(FaultsTest)
#include "tst_faults.moc"
