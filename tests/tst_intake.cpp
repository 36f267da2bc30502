#include "receiver/datagramintake.h"
#include "testsupport.h"

#include <QtTest>

using namespace quaverlink;
using namespace testsupport;

class IntakeTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void floodGivesWayOldestFirstAndSaysSoOnce()
    {
        QList<QByteArray> handed;
        // Room for six datagrams of 100 bytes with their overhead.
        DatagramIntake intake([&](const QByteArray &datagram) { handed << datagram; }, 1000);
        QSignalSpy dropped(&intake, &DatagramIntake::dropped);
        QUdpSocket socket;
        QVERIFY(socket.bind(QHostAddress::LocalHost, 0));
        intake.watch(&socket);
        QList<QByteArray> sent;
        for (int i = 0; i < 100; ++i) {
            sent << QByteArray::number(i).rightJustified(100, '.');
            QUdpSocket().writeDatagram(sent.last(), QHostAddress::LocalHost, socket.localPort());
        }
        intake.drain();
        QCOMPARE(intake.waitingCount(), 6);
        intake.handOn();
        QCOMPARE(handed, sent.mid(94));
        QCOMPARE(dropped.count(), 1);
        QCOMPARE(dropped.at(0).at(0).toLongLong(), 94);
    }

    void longBurstLeavesTurnsForOtherEvents()
    {
        QList<QByteArray> handed;
        DatagramIntake intake([&](const QByteArray &datagram) { handed << datagram; });
        QUdpSocket socket;
        QVERIFY(socket.bind(QHostAddress::LocalHost, 0));
        intake.watch(&socket);
        // In two halves, each within what the kernel's buffer holds.
        for (int i = 0; i < 400; ++i) {
            QUdpSocket().writeDatagram(QByteArray::number(i), QHostAddress::LocalHost, socket.localPort());
            if (i == 199) {
                intake.drain();
            }
        }
        intake.drain();
        intake.handOn();
        QCOMPARE(handed.size(), DatagramIntake::kItemsPerTurn);
        QTRY_COMPARE(handed.size(), 400);
        QCOMPARE(handed.last(), QByteArray("399"));
    }
};

QTEST_GUILESS_MAIN(IntakeTest)
#include "tst_intake.moc"
