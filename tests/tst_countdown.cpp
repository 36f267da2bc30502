#include "receiver/failure.h"
#include "receiverfixture.h"

#include <QtTest>

using namespace quaverlink;
using testsupport::ReceiverFixture;

namespace {

// Ticks once by hand and reports whether the tick sent the idle text, which
// shows as one more applied item once it has come back.
bool tickSendsIdle(ReceiverFixture &f)
{
    const qsizetype before = f.applied.size();
    f.receiver->timerBacktoDefault_Timer();
    return f.waitForItems(int(before) + 1, 300);
}

} // namespace

class CountdownTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void counterSequence_data();
    void counterSequence();
    void onlyLongItemsHoldTheIdleTextBack();
    void overflowIsReportedAndHarmless();
    void realTimerBringsIdleTextBack();
};

void CountdownTest::counterSequence_data()
{
    QTest::addColumn<QByteArray>("timeout");
    QTest::addColumn<QStringList>("counters");
    QTest::addColumn<QList<bool>>("sends");
    QTest::newRow("3") << QByteArray("3") << QStringList {u"2"_qs, u"1"_qs, u"3"_qs, u"2"_qs, u"1"_qs, u"3"_qs}
                       << QList<bool> {false, false, true, false, false, true};
    QTest::newRow("1") << QByteArray("1") << QStringList {u"1"_qs, u"1"_qs, u"1"_qs} << QList<bool> {true, true, true};
    QTest::newRow("0") << QByteArray("0") << QStringList {u"0"_qs, u"0"_qs} << QList<bool> {true, true};
    QTest::newRow("-5") << QByteArray("-5") << QStringList {u"-5"_qs, u"-5"_qs} << QList<bool> {true, true};
}

void CountdownTest::counterSequence()
{
    QFETCH(QByteArray, timeout);
    QFETCH(QStringList, counters);
    QFETCH(QList<bool>, sends);

    ReceiverFixture f;
    f.settings.countTimeout = timeout;
    QVERIFY(f.start());
    f.receiver->timerBacktoDefault().stop();
    QVERIFY(f.waitForItems(2));
    QCOMPARE(f.field(Field::lblCounter), u"9999"_qs);
    // The idle text is long: its return restarts the count, as it must.
    for (qsizetype i = 0; i < counters.size(); ++i) {
        QCOMPARE(tickSendsIdle(f), sends.at(i));
        QCOMPARE(f.field(Field::lblCounter), counters.at(i));
    }
}

void CountdownTest::onlyLongItemsHoldTheIdleTextBack()
{
    ReceiverFixture f;
    f.settings.countTimeout = "10";
    QVERIFY(f.start());
    f.receiver->timerBacktoDefault().stop();
    QVERIFY(f.waitForItems(2));
    // A long item every 4 seconds: the idle text never returns.
    for (int second = 1; second <= 40; ++second) {
        if (second % 4 == 0) {
            f.receiver->ShowData(u"Artist - Title"_qs);
        }
        f.receiver->timerBacktoDefault_Timer();
    }
    QTest::qWait(100);
    QCOMPARE(f.applied.size(), 2);
    // Short items every second do not hold it back: it returns every 10.
    int sent = 0;
    for (int second = 1; second <= 20; ++second) {
        f.receiver->ShowData(u"ad"_qs);
        sent += tickSendsIdle(f) ? 1 : 0;
    }
    QCOMPARE(sent, 2);
}

void CountdownTest::overflowIsReportedAndHarmless()
{
    ReceiverFixture f;
    f.settings.countTimeout = "-32768";
    QVERIFY(f.start());
    QVERIFY(f.waitForItems(2));
    QVERIFY_THROWS_EXCEPTION(Failure, f.receiver->timerBacktoDefault_Timer());
    QCOMPARE(f.receiver->countdown(), -32768);
    QCOMPARE(f.field(Field::lblCounter), u"9999"_qs);
}

void CountdownTest::realTimerBringsIdleTextBack()
{
    ReceiverFixture f;
    f.settings.countTimeout = "2";
    QVERIFY(f.start());
    QVERIFY(f.waitForItems(2));
    QCOMPARE(f.receiver->timerBacktoDefault().interval(), 1000);
    testsupport::sendTo(f.listenPort(), "Live - Item");
    QVERIFY(f.waitForItems(3));
    QCOMPARE(f.field(Field::lblNow), u"Live - Item"_qs);
    // Two seconds of silence later the idle text is back on air.
    QVERIFY(f.waitForItems(4, 4000));
    QCOMPARE(f.applied.at(3), u"Quaverlink FM - Music"_qs);
    QCOMPARE(f.metadata(), QByteArray("Quaverlink FM - Music\r\n\r\n"));
}

QTEST_GUILESS_MAIN(CountdownTest)
#include "tst_countdown.moc"
