#include "receiverfixture.h"

#include <QtTest>

using namespace quaverlink;
using testsupport::ReceiverFixture;

namespace {

const QString kFailureMessage = u"Error - Please restart the application!"_qs;

void verifyDatabaseFieldsUntouched(const ReceiverFixture &f)
{
    for (Field field : {Field::lblDBenabled, Field::lblDBserver, Field::lblDBuser, Field::lblDBpassword,
                        Field::lblDBname}) {
        QCOMPARE(f.field(field), u"No Data"_qs);
    }
}

} // namespace

class StartupTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void validSettingsSendIdleTextTwiceFirst();
    void noSettingsFileStopsBeforeEndpoints();
    void badNumbersStopWhereTheyAreRead_data();
    void badNumbersStopWhereTheyAreRead();
    void senderPortTakenStillReceives();
};

void StartupTest::validSettingsSendIdleTextTwiceFirst()
{
    ReceiverFixture f;
    QVERIFY(f.start());
    QVERIFY(f.messages.isEmpty());
    QCOMPARE(f.field(Field::lblVersion), u"V1.24"_qs);
    QCOMPARE(f.field(Field::lblDBpassword), u"secret"_qs);
    QCOMPARE(f.field(Field::lblDefault), u"Quaverlink FM - Music"_qs);
    QCOMPARE(f.receiver->countdown(), 30);
    QVERIFY(f.receiver->timerBacktoDefault().isActive());
    // Nothing is applied during start-up itself.
    QVERIFY(f.applied.isEmpty());
    QCOMPARE(f.field(Field::lblNow), QString());

    testsupport::sendTo(f.listenPort(), "Artist - Title");
    QVERIFY(f.waitForItems(3));
    QCOMPARE(f.applied, QStringList({u"Quaverlink FM - Music"_qs, u"Quaverlink FM - Music"_qs, u"Artist - Title"_qs}));
    QCOMPARE(f.field(Field::lblNow), u"Artist - Title"_qs);
    QCOMPARE(f.field(Field::lblLast), u"Quaverlink FM - Music"_qs);
}

void StartupTest::noSettingsFileStopsBeforeEndpoints()
{
    ReceiverFixture f;
    QVERIFY(!f.receiver->Form_Load());
    QCOMPARE(f.messages, QStringList {kFailureMessage});
    QCOMPARE(f.field(Field::lblNow), QString());
    QCOMPARE(f.field(Field::lblLast), QString());
    QCOMPARE(f.field(Field::lblDefault), QString());
    QCOMPARE(f.field(Field::lblVersion), u"V1.24"_qs);
    QCOMPARE(f.receiver->defaultcaption(), f.folder.path().left(29));
    verifyDatabaseFieldsUntouched(f);
    QCOMPARE(f.receiver->WSockGET().state(), QAbstractSocket::UnconnectedState);
    QVERIFY(!f.receiver->timerBacktoDefault().isActive());
    QTest::qWait(200);
    QVERIFY(f.applied.isEmpty());
    QVERIFY(!QFile::exists(f.folder.file(u"metadata.txt"_qs)));
}

void StartupTest::badNumbersStopWhereTheyAreRead_data()
{
    QTest::addColumn<QByteArray>("countTimeout");
    QTest::addColumn<QByteArray>("listenPort");
    QTest::addColumn<bool>("databaseRead");
    QTest::newRow("timeout letters") << QByteArray("thirty") << QByteArray() << false;
    QTest::newRow("timeout empty") << QByteArray("") << QByteArray() << false;
    QTest::newRow("timeout above 32767") << QByteArray("40000") << QByteArray() << false;
    QTest::newRow("port letters") << QByteArray("30") << QByteArray("rivendell") << true;
    QTest::newRow("port zero") << QByteArray("30") << QByteArray("0") << true;
    QTest::newRow("port above 65535") << QByteArray("30") << QByteArray("65536") << true;
    QTest::newRow("port negative") << QByteArray("30") << QByteArray("-5") << true;
}

void StartupTest::badNumbersStopWhereTheyAreRead()
{
    QFETCH(QByteArray, countTimeout);
    QFETCH(QByteArray, listenPort);
    QFETCH(bool, databaseRead);
    ReceiverFixture f;
    f.settings.countTimeout = countTimeout;
    if (!listenPort.isEmpty()) {
        f.settings.listenPort = listenPort;
    }
    QVERIFY(!f.start());
    QCOMPARE(f.messages, QStringList {kFailureMessage});
    QCOMPARE(f.receiver->defaultcaption(), u"Quaverlink FM - Music"_qs);
    if (databaseRead) {
        QCOMPARE(f.field(Field::lblDefault), u"Quaverlink FM - Music"_qs);
        QCOMPARE(f.field(Field::lblDBname), u"Brackenwaves"_qs);
    } else {
        QCOMPARE(f.field(Field::lblDefault), QString());
        verifyDatabaseFieldsUntouched(f);
    }
    QCOMPARE(f.receiver->WSockGET().state(), QAbstractSocket::UnconnectedState);
    QVERIFY(!f.receiver->timerBacktoDefault().isActive());
}

void StartupTest::senderPortTakenStillReceives()
{
    ReceiverFixture f;
    QUdpSocket squatter;
    QVERIFY(squatter.bind(QHostAddress::AnyIPv4, f.senderPort, QAbstractSocket::DontShareAddress));
    QVERIFY(!f.start());
    QCOMPARE(f.messages, QStringList {kFailureMessage});
    QCOMPARE(f.receiver->WSockGET().state(), QAbstractSocket::BoundState);
    QVERIFY(!f.receiver->timerBacktoDefault().isActive());

    testsupport::sendTo(f.listenPort(), "Artist - Title");
    QVERIFY(f.waitForItems(1));
    QTest::qWait(100);
    QCOMPARE(f.applied, QStringList {u"Artist - Title"_qs});
    QCOMPARE(f.metadata(), QByteArray("Artist - Title\r\n\r\n"));
}

QTEST_GUILESS_MAIN(StartupTest)
#include "tst_startup.moc"
