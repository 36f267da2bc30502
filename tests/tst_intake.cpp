#include "receiver/datagramintake.h"
#include "testsupport.h"

#include <QtTest>

using namespace quaverlink;
using namespace testsupport;

class IntakeTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void floodGivesWayOldestFirstAndTurnsLeaveRoomForOtherEvents()
    {
        QList<QByteArray> handed;
        // Room for six datagrams of 100 bytes with their overhead.
        DatagramIntake flooded([&](const QByteArray &datagram) { handed << datagram; }, 1000);
        QSignalSpy dropped(&flooded, &DatagramIntake::dropped);
        QUdpSocket socket;
        QVERIFY(socket.bind(QHostAddress::LocalHost, 0));
        flooded.watch(&socket);
        QList<QByteArray> sent;
        for (int i = 0; i < 400; ++i) {
            sent << QByteArray::number(i).rightJustified(100, '.');
            QUdpSocket().writeDatagram(sent.last(), QHostAddress::LocalHost, socket.localPort());
            // In parts that the kernel's buffer holds.
            if (i % 100 == 99) {
                flooded.drain();
            }
        }
        QCOMPARE(flooded.waitingCount(), 6);
        flooded.handOn();
        QCOMPARE(handed, sent.mid(394));
        QCOMPARE(dropped.count(), 1);
        QCOMPARE(dropped.at(0).at(0).toLongLong(), 394);

        handed.clear();
        DatagramIntake roomy([&](const QByteArray &datagram) { handed << datagram; });
        roomy.watch(&socket);
        for (const QByteArray &datagram : sent) {
            QUdpSocket().writeDatagram(datagram, QHostAddress::LocalHost, socket.localPort());
            if (datagram.endsWith("99")) {
                roomy.drain();
            }
        }
        roomy.handOn();
        QCOMPARE(handed, sent.mid(0, DatagramIntake::kItemsPerTurn));
        QTRY_COMPARE(handed, sent);
    }
};

QTEST_GUILESS_MAIN(IntakeTest)
#include "tst_intake.moc"
