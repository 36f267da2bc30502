#include "receiver/failure.h"
#include "receiverfixture.h"

#include <QtTest>

#include <atomic>
#include <sys/stat.h>
#include <thread>

using namespace quaverlink;
using testsupport::ReceiverFixture;

namespace {

const QString kIdle = u"Quaverlink FM - Music"_qs;

// A receiver that has started and applied its two loopback copies.
void startAndSettle(ReceiverFixture &f)
{
    QVERIFY(f.start());
    QVERIFY(f.waitForItems(2));
    f.applied.clear();
}

mode_t modeOf(const QString &path)
{
    struct stat info {};
    ::stat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
}

} // namespace

class ReceivingTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rotationOverShortAndLongItems();
    void lengthBoundaryCountsUtf16Units_data();
    void lengthBoundaryCountsUtf16Units();
    void fileHoldsUtf8AndTwoLineEnds();
    void readersNeverSeePartialFile();
    void linksAndModesAreRespected();
    void unwritableFileIsReportedAndRecovers();
    void datagramsAreDecodedAndAppliedInOrder();
    void largestDatagramArrivesWhole();
    void burstIsAppliedCompletelyInOrder();
};

void ReceivingTest::rotationOverShortAndLongItems()
{
    ReceiverFixture f;
    QVERIFY(f.start());
    // Before the loopback copies arrive, lblData still holds its design text.
    f.receiver->ShowData(u"First - One"_qs);
    QCOMPARE(f.field(Field::lblLast), u"No Data"_qs);
    QVERIFY(f.waitForItems(2));
    QCOMPARE(f.field(Field::lblNow), kIdle);
    QCOMPARE(f.field(Field::lblLast), kIdle);

    struct Step
    {
        QString item, now, last, data;
    };
    const Step steps[] = {
        {u"Second - Two"_qs, u"Second - Two"_qs, kIdle, u"Second - Two"_qs},
        {u"Third - Three"_qs, u"Third - Three"_qs, u"Second - Two"_qs, u"Third - Three"_qs},
        {u"abc"_qs, kIdle, u"Third - Three"_qs, u"Third - Three"_qs},
        {QString(), kIdle, kIdle, u"Third - Three"_qs},
        {u"Fourth - Four"_qs, u"Fourth - Four"_qs, u"Third - Three"_qs, u"Fourth - Four"_qs},
        {u"Fourth - Four"_qs, u"Fourth - Four"_qs, u"Fourth - Four"_qs, u"Fourth - Four"_qs},
    };
    for (const Step &step : steps) {
        f.receiver->ShowData(step.item);
        QCOMPARE(f.field(Field::lblNow), step.now);
        QCOMPARE(f.field(Field::lblLast), step.last);
        QCOMPARE(f.field(Field::lblData), step.data);
        QCOMPARE(f.metadata(), (step.now + u"\r\n\r\n"_qs).toUtf8());
    }
}

void ReceivingTest::lengthBoundaryCountsUtf16Units_data()
{
    QTest::addColumn<QString>("item");
    QTest::addColumn<bool>("isLong");
    QTest::newRow("4 ascii") << u"ABBA"_qs << false;
    QTest::newRow("5 ascii") << u"A - B"_qs << true;
    QTest::newRow("2 emoji are 4 units") << u"\U0001F3B5\U0001F3B5"_qs << false;
    QTest::newRow("2 emoji and a letter") << u"\U0001F3B5\U0001F3B5x"_qs << true;
    QTest::newRow("line break") << u"Line\r\nTwo"_qs << true;
}

void ReceivingTest::lengthBoundaryCountsUtf16Units()
{
    QFETCH(QString, item);
    QFETCH(bool, isLong);
    ReceiverFixture f;
    f.settings.countTimeout = "10";
    startAndSettle(f);
    f.receiver->timerBacktoDefault().stop();
    f.receiver->timerBacktoDefault_Timer();
    f.receiver->timerBacktoDefault_Timer();
    QCOMPARE(f.receiver->countdown(), 8);

    f.receiver->ShowData(item);
    QCOMPARE(f.field(Field::lblNow), isLong ? item : kIdle);
    QCOMPARE(f.field(Field::lblData), isLong ? item : kIdle);
    QCOMPARE(f.receiver->countdown(), isLong ? 10 : 8);
    QCOMPARE(f.metadata(), ((isLong ? item : kIdle) + u"\r\n\r\n"_qs).toUtf8());
}

void ReceivingTest::fileHoldsUtf8AndTwoLineEnds()
{
    ReceiverFixture f;
    startAndSettle(f);
    f.receiver->ShowData(u"Sigur R\u00f3s \u2013 Hopp\u00edpolla \U0001F3B5"_qs);
    QCOMPARE(f.metadata(), QByteArray("Sigur R\xC3\xB3s \xE2\x80\x93 Hopp\xC3\xADpolla \xF0\x9F\x8E\xB5\r\n\r\n"));
    f.receiver->ShowData(QString(u"Nul\0Inside"_qs));
    QCOMPARE(f.metadata(), QByteArray("Nul\0Inside\r\n\r\n", 14));
    // No temporary file is left behind.
    QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden).size(), 2);

    ReceiverFixture empty;
    empty.settings.idle = "";
    startAndSettle(empty);
    QCOMPARE(empty.metadata(), QByteArray("\r\n\r\n"));
}

void ReceivingTest::readersNeverSeePartialFile()
{
    ReceiverFixture f;
    startAndSettle(f);
    const QString path = f.folder.file(u"metadata.txt"_qs);
    const QByteArray a = QByteArray(3000, 'a') + "\r\n\r\n";
    const QByteArray b = QByteArray(5, 'b') + "\r\n\r\n";
    const QByteArray idle = kIdle.toUtf8() + "\r\n\r\n";

    std::atomic<bool> done = false;
    std::atomic<int> reads = 0;
    std::atomic<int> torn = 0;
    std::thread poller([&] {
        while (!done) {
            const QByteArray seen = testsupport::readBytes(path);
            if (seen != a && seen != b && seen != idle) {
                ++torn;
            }
            ++reads;
        }
    });
    for (int i = 0; i < 2000; ++i) {
        f.receiver->ShowData(QString::fromLatin1(i % 2 ? a.chopped(4) : b.chopped(4)));
    }
    done = true;
    poller.join();
    QVERIFY(reads > 100);
    QCOMPARE(torn.load(), 0);
}

void ReceivingTest::linksAndModesAreRespected()
{
    ReceiverFixture f;
    startAndSettle(f);
    QDir().mkdir(u"encoder"_qs);
    const QString target = f.folder.file(u"encoder/nowplaying.txt"_qs);
    QFile::remove(u"metadata.txt"_qs);
    QVERIFY(QFile::link(u"encoder/nowplaying.txt"_qs, u"metadata.txt"_qs));

    f.receiver->ShowData(u"Linked - Item"_qs);
    QVERIFY(QFileInfo(u"metadata.txt"_qs).isSymLink());
    QCOMPARE(testsupport::readBytes(target), QByteArray("Linked - Item\r\n\r\n"));

    QVERIFY(::chmod(QFile::encodeName(target).constData(), 0640) == 0);
    f.receiver->ShowData(u"Second - Item"_qs);
    QCOMPARE(modeOf(target), mode_t(0640));
    QCOMPARE(testsupport::readBytes(target), QByteArray("Second - Item\r\n\r\n"));

    // A file made read-only keeps what it holds; the window moves on.
    QVERIFY(::chmod(QFile::encodeName(target).constData(), 0444) == 0);
    QVERIFY_THROWS_EXCEPTION(Failure, f.receiver->ShowData(u"Kept - Out"_qs));
    QCOMPARE(testsupport::readBytes(target), QByteArray("Second - Item\r\n\r\n"));
    QCOMPARE(f.field(Field::lblNow), u"Kept - Out"_qs);
}

void ReceivingTest::unwritableFileIsReportedAndRecovers()
{
    ReceiverFixture f;
    f.settings.countTimeout = "10";
    startAndSettle(f);
    f.receiver->timerBacktoDefault().stop();
    f.receiver->timerBacktoDefault_Timer();
    QSignalSpy failures(f.receiver.get(), &frmMetaData::failureReported);

    QFile::remove(u"metadata.txt"_qs);
    QVERIFY(QDir().mkdir(u"metadata.txt"_qs));
    testsupport::sendTo(f.listenPort(), "Blocked - Item");
    QVERIFY(f.waitForItems(1));
    QCOMPARE(failures.count(), 1);
    QVERIFY(failures.at(0).at(0).toString().contains(u"metadata.txt"_qs));
    // The window and the countdown have taken the item all the same.
    QCOMPARE(f.field(Field::lblNow), u"Blocked - Item"_qs);
    QCOMPARE(f.receiver->countdown(), 10);

    QVERIFY(QDir().rmdir(u"metadata.txt"_qs));
    testsupport::sendTo(f.listenPort(), "Free - Again");
    QVERIFY(f.waitForItems(2));
    QCOMPARE(f.metadata(), QByteArray("Free - Again\r\n\r\n"));
    QCOMPARE(failures.count(), 1);
    QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden).size(), 2);
}

void ReceivingTest::datagramsAreDecodedAndAppliedInOrder()
{
    ReceiverFixture f;
    startAndSettle(f);
    QUdpSocket peer;
    const QList<QByteArray> payloads = {
        "Bj\xC3\xB6rk - J\xC3\xB3ga", "Caf\xE9 Tacvba \x96 Eres", "Bad \xC3 UTF-8 \xF0\x9F", QByteArray(), QByteArray("\x00\x01\x02\xFF\xFE junk", 10),
    };
    for (const QByteArray &payload : payloads) {
        QCOMPARE(peer.writeDatagram(payload, QHostAddress::LocalHostIPv6, f.listenPort()), qint64(payload.size()));
    }
    QVERIFY(f.waitForItems(payloads.size()));
    QCOMPARE(f.applied, QStringList({u"Bj\u00f6rk - J\u00f3ga"_qs, u"Caf\u00e9 Tacvba \u2013 Eres"_qs,
                                     u"Bad \u00c3 UTF-8 \u00f0\u0178"_qs, QString(),
                                     QString(u"\0\u0001\u0002\u00ff\u00fe junk"_qs)}));
    // The empty datagram was short, so the previous long item stays last.
    QCOMPARE(f.field(Field::lblLast), u"Bad \u00c3 UTF-8 \u00f0\u0178"_qs);
    QCOMPARE(f.metadata(), QByteArray("\x00\x01\x02\xC3\xBF\xC3\xBE junk\r\n\r\n", 16));

    // The sender's own port takes items too.
    testsupport::sendTo(f.senderPort, "Back - Door");
    QVERIFY(f.waitForItems(payloads.size() + 1));
    QCOMPARE(f.field(Field::lblNow), u"Back - Door"_qs);
}

void ReceivingTest::largestDatagramArrivesWhole()
{
    ReceiverFixture f;
    startAndSettle(f);
    QByteArray payload(65507, 'x');
    payload.front() = 'A';
    payload.back() = 'Z';
    testsupport::sendTo(f.listenPort(), payload);
    QVERIFY(f.waitForItems(1));
    QCOMPARE(f.field(Field::lblNow).size(), 65507);
    QCOMPARE(f.metadata(), payload + "\r\n\r\n");
}

void ReceivingTest::burstIsAppliedCompletelyInOrder()
{
    ReceiverFixture f;
    startAndSettle(f);
    constexpr int kItems = 10000;
    const quint16 port = f.listenPort();
    std::thread sender([port] {
        QUdpSocket socket;
        for (int i = 0; i < kItems; ++i) {
            const QByteArray item = "Artist " + QByteArray::number(i) + " - Title " + QByteArray::number(i);
            while (socket.writeDatagram(item, QHostAddress::LocalHost, port) != item.size()) {
                std::this_thread::yield();
            }
        }
    });
    const bool all = f.waitForItems(kItems, 60000);
    sender.join();
    QTest::qWait(50);
    QVERIFY2(all, qPrintable(u"applied %1 of %2"_qs.arg(f.applied.size()).arg(kItems)));
    QCOMPARE(f.applied.size(), kItems);
    for (int i = 0; i < kItems; ++i) {
        QCOMPARE(f.applied.at(i), u"Artist %1 - Title %1"_qs.arg(i));
    }
    QCOMPARE(f.metadata(), QByteArray("Artist 9999 - Title 9999\r\n\r\n"));
}

QTEST_GUILESS_MAIN(ReceivingTest)
#include "tst_receiving.moc"
