#include "playlog/logplay.h"
#include "playlog/playrecord.h"

#include <QtTest>

using namespace quaverlink;

class PlayRecordTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void splitAtFirstDash_data();
    void splitAtFirstDash();
    void timestampIsFixedForm();
    void connectionStringKeepsFieldsAsTheyStand();
};

void PlayRecordTest::splitAtFirstDash_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("dash");
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::newRow("plain") << u"Artist - Title"_qs << true << u"Artist"_qs << u"Title"_qs;
    QTest::newRow("no dash") << u"Station ID"_qs << false << u"Station ID"_qs << QString();
    QTest::newRow("further dashes vanish") << u"Blue-Eyed Soul - Night"_qs << true << u"Blue"_qs << u"Eyed Soul  Night"_qs;
    QTest::newRow("A-B-C") << u"A-B-C"_qs << true << u"A"_qs << u"BC"_qs;
    QTest::newRow("one blank per side") << u"Abc  -  Def"_qs << true << u"Abc "_qs << u" Def"_qs;
    QTest::newRow("single blank part kept") << u" - Abc"_qs << true << u" "_qs << u"Abc"_qs;
    QTest::newRow("leading dash") << u"-Intro"_qs << true << QString() << u"Intro"_qs;
    QTest::newRow("trailing dash") << u"Outro -"_qs << true << u"Outro"_qs << QString();
    QTest::newRow("apostrophes stay single") << u"Rock 'n' Roll - Tune"_qs << true << u"Rock 'n' Roll"_qs << u"Tune"_qs;
    QTest::newRow("en dash is no dash") << u"Artist \u2013 Title"_qs << false << u"Artist \u2013 Title"_qs << QString();
    QTest::newRow("em dash is no dash") << u"Artist \u2014 Title"_qs << false << u"Artist \u2014 Title"_qs << QString();
    QTest::newRow("outer blanks stay") << u" A - B "_qs << true << u" A"_qs << u"B "_qs;
}

void PlayRecordTest::splitAtFirstDash()
{
    QFETCH(QString, text);
    QFETCH(bool, dash);
    QFETCH(QString, first);
    QFETCH(QString, second);
    const PlayRecord record = MakePlayRecord(text, QDateTime::currentDateTime());
    QCOMPARE(record.dashfound, dash);
    QCOMPARE(record.fulltext, text);
    if (dash) {
        QCOMPARE(record.firstpart, first);
        QCOMPARE(record.secondpart, second);
        const auto values = playRecordValues(record);
        QCOMPARE(values[0], QString());
        QCOMPARE(values[1], text);
        QCOMPARE(values[3], first);
        QCOMPARE(values[4], second);
    }
}

void PlayRecordTest::timestampIsFixedForm()
{
    const QDateTime morning(QDate(2026, 3, 7), QTime(8, 5, 9));
    QCOMPARE(MakePlayRecord(u"A - B"_qs, morning).playedat, u"2026-03-07 08:05:09"_qs);
    const QDateTime evening(QDate(2026, 12, 31), QTime(23, 59, 59));
    QCOMPARE(MakePlayRecord(u"A - B"_qs, evening).playedat, u"2026-12-31 23:59:59"_qs);
}

void PlayRecordTest::connectionStringKeepsFieldsAsTheyStand()
{
    QCOMPARE(ConnectionString(QString(), QString(), QString()),
             u"uid=;pwd=;server=;driver={MySQL ODBC 3.51 Driver};database=Brackenwaves;dsn='';"_qs);
    QCOMPARE(ConnectionString(u"dj"_qs, u"p;w"_qs, u"db.studio;port=3307"_qs),
             u"uid=dj;pwd=p;w;server=db.studio;port=3307;driver={MySQL ODBC 3.51 Driver};database=Brackenwaves;dsn='';"_qs);
}

QTEST_GUILESS_MAIN(PlayRecordTest)
#include "tst_playrecord.moc"
