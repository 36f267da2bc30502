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
    void badCountTimeoutStopsAfterIdleString_data();
    void badCountTimeoutStopsAfterIdleString();
    void badListenPortStopsAfterAllSettings_data();
    void badListenPortStopsAfterAllSettings();
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

void StartupTest::badCountTimeoutStopsAfterIdleString_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("letters") << QByteArray("thirty");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("above 32767") << QByteArray("40000");
}

void StartupTest::badCountTimeoutStopsAfterIdleString()
{
    QFETCH(QByteArray, value);
    ReceiverFixture f;
    f.settings.countTimeout = value;
    QVERIFY(!f.start());
    QCOMPARE(f.messages, QStringList {kFailureMessage});
    QCOMPARE(f.receiver->defaultcaption(), u"Quaverlink FM - Music"_qs);
    QCOMPARE(f.field(Field::lblDefault), QString());
    verifyDatabaseFieldsUntouched(f);
    QVERIFY(!f.receiver->timerBacktoDefault().isActive());
    QCOMPARE(f.receiver->WSockGET().state(), QAbstractSocket::UnconnectedState);
}

void StartupTest::badListenPortStopsAfterAllSettings_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("letters") << QByteArray("rivendell");
    QTest::newRow("zero") << QByteArray("0");
    QTest::newRow("above 65535") << QByteArray("65536");
    QTest::newRow("negative") << QByteArray("-5");
}

void StartupTest::badListenPortStopsAfterAllSettings()
{
    QFETCH(QByteArray, value);
    ReceiverFixture f;
    f.settings.listenPort = value;
    QVERIFY(!f.start());
    QCOMPARE(f.messages, QStringList {kFailureMessage});
    QCOMPARE(f.field(Field::lblDefault), u"Quaverlink FM - Music"_qs);
    QCOMPARE(f.field(Field::lblDBname), u"Brackenwaves"_qs);
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
