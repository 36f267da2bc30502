#include "receiver/datagramintake.h"
#include "testsupport.h"

#include <QtTest>

using namespace quaverlink;
using namespace testsupport;

class IntakeTest final : public QObject
{
    Q_OBJECT

    QUdpSocket m_socket;
    QUdpSocket m_peer;
    void send(const QByteArray &datagram)
    {
        m_peer.writeDatagram(datagram, QHostAddress::LocalHost, m_socket.localPort());
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_socket.bind(QHostAddress::LocalHost, 0)); }

    void floodGivesWayOldestFirstAndTurnsLeaveRoomForOtherEvents()
    {
        QList<QByteArray> handed;
        // Room for six datagrams of 100 bytes with their overhead.
        DatagramIntake flooded([&](const QByteArray &datagram) { handed << datagram; }, 1000);
        QSignalSpy dropped(&flooded, &DatagramIntake::dropped);
        flooded.watch(&m_socket);
        QList<QByteArray> sent;
        for (int i = 0; i < 400; ++i) {
            sent << QByteArray::number(i).rightJustified(100, '.');
            send(sent.last());
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
        roomy.watch(&m_socket);
        for (const QByteArray &datagram : sent) {
            send(datagram);
            if (datagram.endsWith("99")) {
                roomy.drain();
            }
        }
        roomy.handOn();
        QCOMPARE(handed, sent.mid(0, DatagramIntake::kItemsPerTurn));
        QTRY_COMPARE(handed, sent);
    }

    void whatArrivesDuringAnItemIsTakenBeforeTheKernelDropsIt()
    {
        // Each of the first ten items takes long enough for 100 more to
        // arrive: together far more than the kernel's buffer holds.
        int handed = 0;
        DatagramIntake intake([&](const QByteArray &) {
            if (++handed > 10) {
                return;
            }
            for (int i = 0; i < 100; ++i) {
                send(QByteArray(100, 'x'));
            }
        });
        intake.watch(&m_socket);
        send("first");
        QTRY_COMPARE(handed, 1001);
    }
};

QTEST_GUILESS_MAIN(IntakeTest)
#include "tst_intake.moc"
