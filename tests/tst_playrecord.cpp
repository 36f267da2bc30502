#include "playlog/database.h"
#include "playlog/playrecord.h"

#include <QtTest>

using namespace quaverlink;
using namespace Qt::StringLiterals;

class PlayRecordTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void splitsAtTheFirstDash_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("dash");
        QTest::addColumn<QString>("artist");
        QTest::addColumn<QString>("title");
        QTest::newRow("plain") << u"Artist - Title"_s << true << u"Artist"_s << u"Title"_s;
        QTest::newRow("no dash") << u"Station ID"_s << false << u"Station ID"_s << QString();
        QTest::newRow("further dashes vanish")
            << u"Blue-Eyed Soul - Night"_s << true << u"Blue"_s << u"Eyed Soul  Night"_s;
        QTest::newRow("one blank per side") << u"Abc  -  Def"_s << true << u"Abc "_s << u" Def"_s;
        QTest::newRow("single blank parts kept") << u" - "_s << true << u" "_s << u" "_s;
        QTest::newRow("leading dash") << u"-Intro"_s << true << QString() << u"Intro"_s;
        QTest::newRow("trailing dash") << u"Outro -"_s << true << u"Outro"_s << QString();
        QTest::newRow("apostrophes stay single")
            << u"Rock 'n' Roll - Tune"_s << true << u"Rock 'n' Roll"_s << u"Tune"_s;
        QTest::newRow("en dash is no dash")
            << u"Artist \u2013 Title"_s << false << u"Artist \u2013 Title"_s << QString();
        QTest::newRow("outer blanks stay") << u" A - B "_s << true << u" A"_s << u"B "_s;
    }
    void splitsAtTheFirstDash()
    {
        QFETCH(QString, text);
        QFETCH(bool, dash);
        QFETCH(QString, artist);
        QFETCH(QString, title);
        const PlayRecord record = PlayRecord::fromText(text, u"2026-03-07 08:05:09"_s);
        QCOMPARE(record.hasDash, dash);
        QCOMPARE(record.values(), (std::array<QString, 5> {QString(), text, u"2026-03-07 08:05:09"_s, artist, title}));
    }

    void connectionStringIsExact()
    {
        QCOMPARE(connectionString({u"studio"_s, u"p;w"_s, u"db.local;port=3307"_s}),
                 u"uid=studio;pwd=p;w;server=db.local;port=3307;driver={MySQL ODBC 3.51 Driver};"
                 "database=Brackenwaves;dsn='';"_s);
    }
};

QTEST_GUILESS_MAIN(PlayRecordTest)
#include "tst_playrecord.moc"
