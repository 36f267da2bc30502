#include "common/failure.h"
#include "testsupport.h"

#include <QNetworkProxy>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace quaverlink;
using namespace testsupport;

namespace {

QByteArray readAvailable(int fd)
{
    QByteArray all;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
        all.append(buffer, n);
    }
    return all;
}

const QString kIdle = u"Quaverlink FM - Music"_s;
const QString kStartupMessage = u"Error - Please restart the application!"_s;

QByteArray onAir(const QString &text)
{
    return text.toUtf8() + "\r\n\r\n";
}

// Ticks once by hand; the idle text it may send is back once the loopback
// datagram has been read. A tick that fails sends nothing.
bool tickSendsIdle(ReceiverFixture &f)
{
    const qsizetype before = f.applied.size();
    try {
        f.receiver->tick();
    } catch (const Failure &) {
        return false;
    }
    settle();
    return f.applied.size() > before;
}

} // namespace

class ReceiverTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void startupSendsTheIdleTextTwiceBeforeAnythingElse()
    {
        ReceiverFixture f;
        QVERIFY(f.start());
        QVERIFY(f.messages.isEmpty());
        QCOMPARE(f.field(Field::lblVersion), kVersion);
        QCOMPARE(f.field(Field::lblDefault), kIdle);
        QCOMPARE(f.receiver->countdown(), 30);
        QVERIFY(f.receiver->isCountingDown());
        QVERIFY(f.applied.isEmpty());
        sendTo(f.settings.port(), "Artist - Title");
        QVERIFY(f.waitForItems(3));
        QCOMPARE(f.applied, QStringList({kIdle, kIdle, u"Artist - Title"_s}));
        QCOMPARE(f.field(Field::lblLast), kIdle);
    }

    void startupFailureLeavesTheStateReached_data()
    {
        QTest::addColumn<QByteArray>("countTimeout");
        QTest::addColumn<QByteArray>("listenPort");
        QTest::addColumn<bool>("databaseRead");
        QTest::newRow("timeout letters") << QByteArray("thirty") << QByteArray() << false;
        QTest::newRow("timeout above 32767") << QByteArray("40000") << QByteArray() << false;
        QTest::newRow("port letters") << QByteArray("30") << QByteArray("rivendell") << true;
        QTest::newRow("port zero") << QByteArray("30") << QByteArray("0") << true;
        QTest::newRow("port above 65535") << QByteArray("30") << QByteArray("65536") << true;
        QTest::newRow("no settings file") << QByteArray() << QByteArray() << false;
    }
    void startupFailureLeavesTheStateReached()
    {
        QFETCH(QByteArray, countTimeout);
        QFETCH(QByteArray, listenPort);
        QFETCH(bool, databaseRead);
        ReceiverFixture f;
        const bool noFile = countTimeout.isNull();
        f.settings.countTimeout = countTimeout;
        f.settings.listenPort = listenPort.isEmpty() ? f.settings.listenPort : listenPort;
        QVERIFY(!(noFile ? f.station->start() : f.start()));
        QCOMPARE(f.messages, QStringList {kStartupMessage});
        // A missing key reads as the working folder, cut to 29 characters.
        QCOMPARE(f.receiver->idleText(), noFile ? f.folder.path().left(29) : kIdle);
        QCOMPARE(f.field(Field::lblDefault), databaseRead ? kIdle : QString());
        QCOMPARE(f.field(Field::lblDBname), databaseRead ? u"Brackenwaves"_s : u"No Data"_s);
        QVERIFY(!f.receiver->isListening());
        QVERIFY(!f.receiver->isCountingDown());
        settle();
        QVERIFY(f.applied.isEmpty());
        QVERIFY(!QFile::exists(f.file(u"metadata.txt"_s)));
    }

    void onlyACapitalYKeepsPlayHistory_data()
    {
        QTest::addColumn<QByteArray>("enabled");
        QTest::addColumn<bool>("kept");
        QTest::newRow("Y") << QByteArray("Y") << true;
        for (const char *no : {"y", "Yes", "\" Y\"", "1", ""}) {
            QTest::newRow(no) << QByteArray(no) << false;
        }
    }
    void onlyACapitalYKeepsPlayHistory()
    {
        QFETCH(QByteArray, enabled);
        QFETCH(bool, kept);
        ReceiverFixture f;
        const RefusingPort noDatabase;
        f.settings.dbEnabled = enabled;
        f.settings.dbServer = "127.0.0.1;port=" + noDatabase.text();
        QVERIFY(f.startAndSettle());
        f.receiver->applyItem(u"Artist - Title"_s);
        QVERIFY(f.station->stop());
        QCOMPARE(QFile::exists(f.file(u"playhistory.sqlite"_s)), kept);
    }

    void itemsRotateAndGoOnAir()
    {
        ReceiverFixture f;
        f.settings.countTimeout = "10";
        f.receiver->setTickInterval(std::chrono::hours(1));
        QVERIFY(f.startAndSettle());
        struct Step
        {
            QString item, now, last, data;
            int countdown;
        };
        const QString astral = u"\U0001F3B5\U0001F3B5"_s; // 4 UTF-16 units
        const Step steps[] = {
            {u"Second - Two"_s, u"Second - Two"_s, kIdle, u"Second - Two"_s, 10},
            {u"Sigur R\u00f3s \u2013 Hopp\u00edpolla"_s, u"Sigur R\u00f3s \u2013 Hopp\u00edpolla"_s, u"Second - Two"_s,
             u"Sigur R\u00f3s \u2013 Hopp\u00edpolla"_s, 10},
            {u"ABBA"_s, kIdle, u"Sigur R\u00f3s \u2013 Hopp\u00edpolla"_s, u"Sigur R\u00f3s \u2013 Hopp\u00edpolla"_s,
             9},
            {astral, kIdle, kIdle, u"Sigur R\u00f3s \u2013 Hopp\u00edpolla"_s, 8},
            {QString(), kIdle, kIdle, u"Sigur R\u00f3s \u2013 Hopp\u00edpolla"_s, 7},
            {astral + u"x"_s, astral + u"x"_s, u"Sigur R\u00f3s \u2013 Hopp\u00edpolla"_s, astral + u"x"_s, 10},
            {QString(u"Nul\0Inside"_s), QString(u"Nul\0Inside"_s), astral + u"x"_s, QString(u"Nul\0Inside"_s), 10},
        };
        for (const Step &step : steps) {
            f.receiver->tick();
            f.receiver->applyItem(step.item);
            QCOMPARE(f.field(Field::lblNow), step.now);
            QCOMPARE(f.field(Field::lblLast), step.last);
            QCOMPARE(f.field(Field::lblData), step.data);
            QCOMPARE(f.receiver->countdown(), step.countdown);
            QCOMPARE(f.metadata(), onAir(step.now));
        }
        // No temporary file is left behind.
        QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden).size(), 2);

        ReceiverFixture empty;
        empty.settings.idle = "";
        QVERIFY(empty.startAndSettle());
        QCOMPARE(empty.metadata(), QByteArray("\r\n\r\n"));
    }

    // Put first, a live text holds the air against the playout; put second,
    // it fills only what the idle text would. Cleared, the air goes back to
    // the playout's text while that is current.
    void liveTextHoldsTheAirByItsPriority_data()
    {
        QTest::addColumn<bool>("playoutFirst");
        QTest::addColumn<QStringList>("air"); // after each step
        QTest::newRow("live first") << false
                                    << QStringList {u"Playout - One"_s, u"Live: Show"_s, u"Live: Show"_s,
                                                    u"Live: Show"_s, u"Playout - Two"_s};
        QTest::newRow("playout first") << true
                                       << QStringList {u"Playout - One"_s, u"Playout - One"_s, u"Live: Show"_s,
                                                       u"Playout - Two"_s, u"Playout - Two"_s};
    }
    void liveTextHoldsTheAirByItsPriority()
    {
        QFETCH(bool, playoutFirst);
        QFETCH(QStringList, air);
        ReceiverFixture f;
        f.settings.countTimeout = "30";
        f.settings.extraSections = playoutFirst ? "[Live]\nPriority=playout\n" : "";
        f.receiver->setTickInterval(std::chrono::hours(1));
        QVERIFY(f.startAndSettle());
        QSignalSpy played(f.receiver, &Receiver::played);
        const std::function<void()> steps[] = {
            [&] { f.receiver->applyItem(u"Playout - One"_s); },
            [&] {
                f.receiver->setLive({u"Live: Show"_s, {}, {}, {}, {}, false, u"127.0.0.1"_s});
            },
            [&] { f.receiver->applyItem(u"ABBA"_s); },
            [&] { f.receiver->applyItem(u"Playout - Two"_s); },
            [&] { f.receiver->clearLive(u"127.0.0.1"_s); },
        };
        for (qsizetype i = 0; i < air.size(); ++i) {
            steps[i]();
            QCOMPARE(f.metadata(), onAir(air[i]));
            QCOMPARE(f.field(Field::lblNow), air[i]);
        }
        // The playout's plays were plays all along; the live text was no play.
        QCOMPARE(played.size(), 2);
    }

    void burstIsAppliedWholeAndTheFileEndsOnItsLast()
    {
        ReceiverFixture f;
        f.settings.extraSections = "[Output log]\nType=File\nFile=log.txt\n";
        QVERIFY(f.startAndSettle());
        QStringList sent;
        for (int i = 0; i < 1000; ++i) {
            sent << u"Burst %1 - Item"_s.arg(i);
        }
        std::thread burst([&, port = f.settings.port()] {
            QUdpSocket sender;
            for (const QString &item : sent) {
                sender.writeDatagram(item.toUtf8(), QHostAddress::LocalHost, port);
            }
        });
        QVERIFY(f.waitForItems(1000));
        burst.join();
        QCOMPARE(f.applied, sent);
        QCOMPARE(f.field(Field::lblLast), sent.at(998));
        QCOMPARE(f.metadata(), onAir(sent.last()));
        QTRY_COMPARE(readBytes(f.file(u"log.txt"_s)), sent.last().toUtf8());
    }

    void outputsGetEveryTextOnAirAndBadSectionsAreSkipped()
    {
        ReceiverFixture f;
        f.settings.extraSections = "[Output overlay]\nType=File\nFile=overlay.txt\nTemplate={title} ({idle})\n"
                                   "LineEnd=LF\n[Output rds]\nType=Teletype\n";
        QSignalSpy lines(f.station.get(), &Station::reported);
        QVERIFY(f.startAndSettle());
        QCOMPARE(f.station->outputNames(), QStringList {u"overlay"_s});
        QVERIFY(lines.at(0).at(0).toString().contains(u"[Output rds] is skipped: Type \"Teletype\""_s));
        const QString overlay = f.file(u"overlay.txt"_s);
        QTRY_COMPARE(readBytes(overlay), QByteArray("Music (1)\n"));
        QTRY_COMPARE(f.station->outputSummary(), u"overlay: working"_s);
        f.receiver->applyItem(u"Artist - Title\nTwo"_s);
        QTRY_COMPARE(readBytes(overlay), QByteArray("Title Two (0)\n"));
        f.receiver->applyItem(u"ad"_s);
        QTRY_COMPARE(readBytes(overlay), QByteArray("Music (1)\n"));
    }

    void sendersOutsideTheAllowListAreRefusedAndCounted()
    {
        ReceiverFixture f;
        f.settings.countTimeout = "1";
        f.settings.allowedSenders = "10.9.0.0/16, ::2";
        QSignalSpy lines(f.station.get(), &Station::reported);
        QVERIFY(f.start());
        for (int i = 0; i < 3; ++i) {
            sendTo(f.settings.port(), "From - Loopback");
        }
        // Only the idle text's own copies come through, every second.
        QVERIFY(f.waitForItems(3));
        QVERIFY(!f.applied.contains(u"From - Loopback"_s));
        QCOMPARE(lines.count(), 1);
        QVERIFY(lines.at(0).at(0).toString().endsWith(u"outside AllowedSenders: 127.0.0.1 (1)"_s));
        // Spoofed sources are endless; a few dozen are named, and what was
        // counted is reported at the end too.
        for (int i = 2; i < 60; ++i) {
            QUdpSocket spoofed;
            QVERIFY(spoofed.bind(QHostAddress(u"127.0.1.%1"_s.arg(i))));
            spoofed.writeDatagram("Spoofed - Sender", QHostAddress::LocalHost, f.settings.port());
        }
        settle();
        QVERIFY(f.station->stop());
        const QString counted = lines.last().at(0).toString();
        QCOMPARE(counted.count(u"127.0.1."_s) + counted.count(u"127.0.0.1 (2)"_s), 32);
        QVERIFY2(counted.contains(u"other senders (27)"_s), qPrintable(counted));

        ReceiverFixture allowed;
        allowed.settings.allowedSenders = "192.168.10.0/24 127.0.0.0/8";
        QVERIFY(allowed.startAndSettle());
        sendTo(allowed.settings.port(), "From - Loopback");
        QVERIFY(allowed.waitForItems(1));
        QCOMPARE(allowed.applied, QStringList {u"From - Loopback"_s});
    }

    void startsInAFolderWhoseNameIsNotUtf8()
    {
        ReceiverFixture f;
        const QByteArray folder = QFile::encodeName(f.folder.path()) + "/R\xE9gie";
        QCOMPARE(::mkdir(folder.constData(), 0700), 0);
        QCOMPARE(::chdir(folder.constData()), 0);
        writeBytes(u"Quaverlink.ini"_s, f.settings.ini());
        QVERIFY(f.station->start());
        QVERIFY(QTest::qWaitFor([&] { return readBytes(u"metadata.txt"_s) == onAir(kIdle); }));
        // QTemporaryDir cannot remove a name that is not UTF-8.
        f.station.reset();
        for (const char *name : {"/metadata.txt", "/Quaverlink.ini"}) {
            ::unlink((folder + name).constData());
        }
        QCOMPARE(::chdir("/"), 0);
        QCOMPARE(::rmdir(folder.constData()), 0);
    }

    void linesAreEscapedCutAndCountedWhenTheyFindNoRoom()
    {
        const QString line = failureLine(u"play"_s, u"\x1b[2J\r\nBj\u00f6rk\u0085"_s);
        QVERIFY(line.endsWith(u"quaverlink: play: \\x1b[2J\\r\\nBj\u00f6rk\\u0085"_s));
        QVERIFY(failureLine(u"play"_s, QString(100000, u'x')).endsWith(u"x... (98006 more characters)"_s));
        // Standard error a pipe nobody reads for a while.
        int pipe[2];
        QCOMPARE(::pipe(pipe), 0);
        ::fcntl(pipe[0], F_SETPIPE_SZ, 4096);
        const int saved = ::dup(STDERR_FILENO);
        ::dup2(pipe[1], STDERR_FILENO);
        for (int i = 0; i < 3000; ++i) {
            writeFailureLine(failureLine(u"line"_s, QString::number(i)));
        }
        ::fcntl(pipe[0], F_SETFL, O_NONBLOCK);
        QByteArray read;
        QTRY_VERIFY((read += readAvailable(pipe[0]), read.contains("lines could not be written")));
        QVERIFY(flushFailureLines(std::chrono::seconds(5)));
        read += readAvailable(pipe[0]);
        ::dup2(saved, STDERR_FILENO);
        for (const int fd : {saved, pipe[0], pipe[1]}) {
            ::close(fd);
        }
        qint64 counted = 0;
        for (const QByteArray &line : read.split('\n')) {
            if (line.contains("lines could not be written")) {
                counted += line.mid(line.indexOf("quaverlink: ") + 12).split(' ').value(0).toLongLong();
            }
        }
        QCOMPARE(read.count("quaverlink: line: ") + counted, 3000);
    }

    void largestDatagramAndTheSenderPortAreReceived()
    {
        ReceiverFixture f;
        // A proxy the system names (here a SOCKS server nobody runs) is not
        // for the receiver's own sockets, which only talk to this machine.
        const QNetworkProxy systemProxy = QNetworkProxy::applicationProxy();
        QNetworkProxy::setApplicationProxy({QNetworkProxy::Socks5Proxy, u"127.0.0.1"_s, 9});
        QVERIFY(f.startAndSettle());
        QNetworkProxy::setApplicationProxy(systemProxy);
        QByteArray largest(65507, 'x');
        largest.front() = 'A';
        QUdpSocket peer;
        QCOMPARE(peer.writeDatagram(largest, QHostAddress::LocalHostIPv6, f.settings.port()), qint64(largest.size()));
        QVERIFY(f.waitForItems(1));
        QCOMPARE(f.metadata(), largest + "\r\n\r\n");
        sendTo(quint16(f.settings.senderPort.toUInt()), "Back - Door");
        QVERIFY(f.waitForItems(2));
        QCOMPARE(f.field(Field::lblNow), u"Back - Door"_s);
    }

    void countdownSequence_data()
    {
        QTest::addColumn<QByteArray>("timeout");
        QTest::addColumn<QStringList>("counters");
        QTest::addColumn<QList<bool>>("sends");
        QTest::newRow("3") << QByteArray("3") << QStringList {u"2"_s, u"1"_s, u"3"_s, u"2"_s, u"1"_s, u"3"_s}
                           << QList<bool> {false, false, true, false, false, true};
        QTest::newRow("1") << QByteArray("1") << QStringList {u"1"_s, u"1"_s} << QList<bool> {true, true};
        QTest::newRow("0") << QByteArray("0") << QStringList {u"0"_s, u"0"_s} << QList<bool> {true, true};
        QTest::newRow("-5") << QByteArray("-5") << QStringList {u"-5"_s, u"-5"_s} << QList<bool> {true, true};
        QTest::newRow("-32768 cannot count down")
            << QByteArray("-32768") << QStringList {u"9999"_s, u"9999"_s} << QList<bool> {false, false};
    }
    void countdownSequence()
    {
        QFETCH(QByteArray, timeout);
        QFETCH(QStringList, counters);
        QFETCH(QList<bool>, sends);
        ReceiverFixture f;
        f.settings.countTimeout = timeout;
        f.receiver->setTickInterval(std::chrono::hours(1));
        QVERIFY(f.startAndSettle());
        QCOMPARE(f.field(Field::lblCounter), u"9999"_s);
        for (qsizetype i = 0; i < counters.size(); ++i) {
            QCOMPARE(tickSendsIdle(f), sends.at(i));
            QCOMPARE(f.field(Field::lblCounter), counters.at(i));
        }
    }
};

QTEST_GUILESS_MAIN(ReceiverTest)
#include "tst_receiver.moc"
