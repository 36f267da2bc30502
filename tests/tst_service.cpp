#include "testsupport.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace testsupport;

namespace {

struct Run
{
    int status = -1;
    QByteArray out, err;
};

Run runOnce(const QString &folder, const QStringList &arguments)
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.start(QStringLiteral(QUAVERLINK_EXECUTABLE), arguments);
    process.waitForFinished(30000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAllStandardOutput(),
            process.readAllStandardError()};
}

// Every item fails while a folder stands where metadata.txt belongs; once it
// is gone, the next item must reach the air.
bool recoversFromFailures(RunningReceiver &receiver, quint16 port, int failures)
{
    // Paced, so that each is written: in a burst only the last one would be.
    for (int i = 0; i < failures; ++i) {
        sendTo(port, "Failing - Item");
        ::usleep(2000);
    }
    QTest::qWait(200);
    QDir().rmdir(receiver.path(u"metadata.txt"_s));
    sendTo(port, "After - Failures");
    return receiver.waitForOnAir("After - Failures", 15000);
}

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

} // namespace

class ServiceTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void optionsHaveNoSideEffects()
    {
        QTemporaryDir folder;
        Settings settings;
        settings.dbPassword = "hunter2";
        const QByteArray ini = QFile::encodeName(folder.filePath(u"Quaverlink.ini"_s));
        writeBytes(folder.filePath(u"Quaverlink.ini"_s), settings.ini());
        QCOMPARE(::chmod(ini.constData(), 0640), 0);
        QCOMPARE(runOnce(folder.path(), {u"--version"_s}).out, u"Quaverlink %1\n"_s.arg(kVersion).toUtf8());
        QVERIFY(runOnce(folder.path(), {u"--help"_s}).out.contains("--headless"));
        const Run unknown = runOnce(folder.path(), {u"--bogus"_s});
        QCOMPARE(unknown.status, 2);
        QCOMPARE(unknown.err.count('\n'), 1);
        // A report's dates are refused before any connection unless they are whole.
        for (const QString &date : {u"2026-12-07x"_s, u"2026-02-30"_s, u"0999-12-31"_s, u"2026-12-07 10:6"_s}) {
            QCOMPARE(runOnce(folder.path(), {u"report"_s, u"--from"_s, date, u"--to"_s, u"2026-12-08"_s}).status, 2);
        }
        // Without settings, a headless start-up fails and says why.
        const QTemporaryDir empty;
        const Run failed = runOnce(empty.path(), {u"--headless"_s});
        QCOMPARE(failed.status, 1);
        QVERIFY(failed.err.contains("start-up failed: reading CountTimeout")
                && failed.err.contains("Error - Please restart the application!"));

        const Run check = runOnce(folder.path(), {u"--check"_s});
        QCOMPARE(check.status, 0);
        QVERIFY(check.out.contains("DBpassword   = **********") && !check.out.contains("hunter2"));
        QVERIFY(!check.out.contains("warning"));
        settings.dbEnabled = "y";
        settings.countTimeout = "1";
        settings.idle = "An idle text of more than twenty-nine characters";
        const RefusingPort noFeed;
        settings.extraSections = "[PAD]\nHost=127.0.0.1\nPort=" + noFeed.text()
            + "\nMachin=2\n[Output web\nType=HTTP\nPort=8090\nLineEnd=LF\n";
        writeBytes(folder.filePath(u"Quaverlink.ini"_s), settings.ini());
        QCOMPARE(::chmod(ini.constData(), 0644), 0);
        // The station's own service holds the listen port while it is checked.
        QUdpSocket squatter;
        QVERIFY(squatter.bind(QHostAddress::AnyIPv4, settings.port()));
        const Run warned = runOnce(folder.path(), {u"--check"_s});
        QCOMPARE(warned.status, 0);
        for (const char *warning : {"DBenabled is \"y\"", "CountTimeout 1", "IdleString is longer than 29",
                                    "line 16: the section header has no closing ]", "LineEnd is not used",
                                    "every user of this machine may read it", "may already hold it",
                                    "[PAD] Machin is not one of its keys", "PAD feed: 127.0.0.1 port"}) {
            QVERIFY2(warned.out.contains(warning), warning);
        }
        QCOMPARE(filesIn(folder.path()), QStringList {u"Quaverlink.ini"_s});
    }

    void unreachableDisplayMeansNoWindow()
    {
        QTemporaryDir folder;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(u"QT_QPA_PLATFORM"_s);
        environment.remove(u"WAYLAND_DISPLAY"_s);
        environment.insert(u"DISPLAY"_s, u":93"_s);
        RunningReceiver receiver(Settings(), folder.path(), {}, environment);
        QVERIFY(receiver.waitForOnAir("Quaverlink FM - Music"));
        QTRY_COMPARE(receiver.errorLines(u"display :93 cannot be reached; running without a window"_s), 1);
    }

    void standardErrorNeverHoldsUpOrEndsTheReceiver()
    {
        // A log reader that stalls (the pipe is full before the receiver
        // starts), one that went away, and one that reads everything.
        int stalled[2], closed[2];
        QVERIFY(::pipe2(stalled, O_NONBLOCK) == 0 && ::pipe(closed) == 0);
        while (::write(stalled[1], QByteArray(4096, 'x').constData(), 4096) > 0) { }
        ::close(closed[0]);
        // The window, offscreen, with no XDG_RUNTIME_DIR: Qt warns at start,
        // and its warning must queue like any other line.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(u"XDG_RUNTIME_DIR"_s);
        for (const int standardError : {stalled[1], closed[1], -1}) {
            QTemporaryDir folder;
            QVERIFY(QDir(folder.path()).mkdir(u"metadata.txt"_s));
            const Settings settings;
            RunningReceiver receiver(settings, folder.path(), {}, environment, standardError);
            QVERIFY(recoversFromFailures(receiver, settings.port(), 200));
            QCOMPARE(receiver.process().state(), QProcess::Running);
            if (standardError < 0) {
                // The same line in a burst is written once, then counted.
                QTRY_COMPARE(receiver.errorLines(u"the line above repeated"_s), 1);
                QCOMPARE(receiver.errorLines(u"Is a directory"_s), 1);
                QCOMPARE(receiver.errorLines(u"quaverlink: Qt: QStandardPaths"_s), 1);
            }
            ::kill(pid_t(receiver.process().processId()), SIGTERM);
            QVERIFY(receiver.finish());
        }
        for (const int fd : {stalled[0], stalled[1], closed[1]}) {
            ::close(fd);
        }
    }

    void stopSignalsEndCleanlyDuringABurst_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGHUP") << SIGHUP;
        QTest::newRow("SIGQUIT") << SIGQUIT;
    }
    void stopSignalsEndCleanlyDuringABurst()
    {
        QFETCH(int, signal);
        QTemporaryDir folder;
        const Settings settings;
        RunningReceiver receiver(settings, folder.path(), {u"--headless"_s});
        QVERIFY(receiver.waitForOnAir("Quaverlink FM - Music"));
        std::thread burst([port = settings.port()] {
            QUdpSocket socket;
            for (int i = 0; i < 5000; ++i) {
                socket.writeDatagram("Burst " + QByteArray::number(i) + " - Item", QHostAddress::LocalHost, port);
            }
        });
        QVERIFY(QTest::qWaitFor([&] { return receiver.metadata().startsWith("Burst"); }));
        // A log rotation's signals come and go without ending anything.
        for (const int rotation : {SIGUSR1, SIGUSR2}) {
            ::kill(pid_t(receiver.process().processId()), rotation);
        }
        QTest::qWait(50);
        QCOMPARE(receiver.process().state(), QProcess::Running);
        ::kill(pid_t(receiver.process().processId()), signal);
        burst.join();
        QVERIFY(receiver.finish());
        QCOMPARE(receiver.process().exitCode(), 0);
        QVERIFY(receiver.metadata().startsWith("Burst"));
        QCOMPARE(filesIn(folder.path()), QStringList({u"Quaverlink.ini"_s, u"metadata.txt"_s}));
    }

    void stoppingWithPagesConnectedEndsCleanly()
    {
        QTemporaryDir folder;
        Settings settings;
        const quint16 web = freeTcpPort();
        settings.extraSections = "[Output web]\nType=HTTP\nPort=" + QByteArray::number(web) + "\n";
        RunningReceiver receiver(settings, folder.path(), {u"--headless"_s});
        QVERIFY(receiver.waitForOnAir("Quaverlink FM - Music"));
        std::vector<std::unique_ptr<QTcpSocket>> streams;
        for (int i = 0; i < 3; ++i) {
            auto &page = streams.emplace_back(std::make_unique<QTcpSocket>());
            // The feed listens a moment after the idle text is on air.
            QTRY_VERIFY(
                (page->abort(), page->connectToHost(QHostAddress::LocalHost, web), page->waitForConnected(200)));
            page->write("GET /events HTTP/1.1\r\n\r\n");
            QTRY_VERIFY(page->peek(4096).contains("data: "));
        }
        ::kill(pid_t(receiver.process().processId()), SIGTERM);
        QVERIFY(receiver.finish());
        QCOMPARE(receiver.process().exitCode(), 0);
    }

    void senderPortTakenLeavesTheReceiverListening()
    {
        QTemporaryDir folder;
        Settings settings;
        settings.senderPort = QByteArray(); // the default, 6969
        QUdpSocket squatter;
        QVERIFY(squatter.bind(QHostAddress::Any, 6969));
        RunningReceiver receiver(settings, folder.path(), {u"--headless"_s});
        QTRY_COMPARE(receiver.errorLines(u"binding the sender to port 6969"_s), 1);
        sendTo(settings.port(), "Still - Listening");
        QVERIFY(receiver.waitForOnAir("Still - Listening"));
        QCOMPARE(receiver.process().state(), QProcess::Running);
    }

    // A flood that the outputs cannot keep up with, and hundreds of pages
    // that ask for the largest answers and never read them: the receiver's
    // memory stays within its stated bounds, and the air goes on.
    void floodsAndUnreadAnswersKeepMemoryBounded()
    {
        QTemporaryDir folder;
        Settings settings;
        const QByteArray web = QByteArray::number(freeTcpPort());
        settings.extraSections = "[Output slow]\nType=File\nFile=slow.txt\nCharset=ASCII\n[Web]\nPort=" + web + '\n';
        RunningReceiver receiver(settings, folder.path(), {u"--headless"_s});
        QVERIFY(receiver.waitForOnAir(settings.idle));
        QUdpSocket sender;
        const QByteArray big(60000, 'x');
        QElapsedTimer flood;
        flood.start();
        for (int i = 0; i < 200000 && !flood.hasExpired(4000); ++i) {
            sender.writeDatagram(big + QByteArray::number(i), QHostAddress::LocalHost, settings.port());
        }
        sender.writeDatagram("After - Flood", QHostAddress::LocalHost, settings.port());
        QVERIFY(receiver.waitForOnAir("After - Flood"));
        QTRY_COMPARE(readBytes(receiver.path(u"slow.txt"_s)), QByteArray("After - Flood"));
        std::vector<std::unique_ptr<QTcpSocket>> pages;
        for (int i = 0; i < 300; ++i) {
            auto &page = pages.emplace_back(std::make_unique<QTcpSocket>());
            page->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
            page->setReadBufferSize(4096);
            page->connectToHost(QHostAddress::LocalHost, quint16(web.toUInt()));
            page->write("GET /api/plays HTTP/1.1\r\n\r\n");
        }
        // Every page answered, or turned away once the server holds all the
        // connections it takes: none is left waiting.
        const auto settled = [](const std::unique_ptr<QTcpSocket> &page) {
            return page->bytesAvailable() > 0 || page->state() == QAbstractSocket::UnconnectedState;
        };
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(pages.cbegin(), pages.cend(), settled), 20000);
        QVERIFY(std::any_of(pages.cbegin(), pages.cend(),
                            [](const std::unique_ptr<QTcpSocket> &page) { return page->bytesAvailable() > 0; }));
        const QByteArray status = readBytes(u"/proc/%1/status"_s.arg(receiver.process().processId()));
        const qint64 peakKiB = status.mid(status.indexOf("VmHWM:") + 6).trimmed().split(' ').first().toLongLong();
        qInfo("peak resident memory: %lld MiB", peakKiB / 1024);
        const qint64 boundKiB = qMax(200, qEnvironmentVariableIntValue("QUAVERLINK_PEAK_MIB")) * 1024;
        QVERIFY2(peakKiB < boundKiB, QByteArray::number(peakKiB).constData());
        // Each kind of giving way said once, not once per item.
        QCOMPARE(receiver.errorLines(u"texts were skipped"_s), 1);
        QVERIFY(receiver.errorLines(u"were dropped"_s) <= 1);
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_service.moc"
