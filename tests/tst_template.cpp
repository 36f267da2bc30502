#include "outputs/template.h"

#include <QtTest>

using namespace quaverlink;
using namespace Qt::StringLiterals;

class TemplateTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rendersFieldsThroughTheFilters_data()
    {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("maxLength");
        QTest::addColumn<int>("charset");
        QTest::addColumn<QByteArray>("expected");
        const int utf8 = int(Template::Charset::Utf8), latin1 = int(Template::Charset::Latin1),
                  ascii = int(Template::Charset::Ascii);
        QTest::newRow("fields") << u"{artist}|{title}|{time}|{idle}|{{x}"_s << u"A-ha - Take On Me"_s << 0 << utf8
                                << QByteArray("A-ha|Take On Me|08:05:09|0|{x}");
        QTest::newRow("first dash without blanks")
            << u"{artist}/{title}"_s << u"Foo-Bar"_s << 0 << utf8 << QByteArray("Foo/Bar");
        QTest::newRow("no dash is all title")
            << u"{artist}/{title}"_s << u"Station ID"_s << 0 << utf8 << QByteArray("/Station ID");
        QTest::newRow("en dash before a bare dash")
            << u"{artist}|{title}"_s << u"Jay-Z \u2013 Song"_s << 0 << utf8 << QByteArray("Jay-Z|Song");
        QTest::newRow("optional part shown")
            << u"[{artist} - ]{title}[ ({idle})]"_s << u"A - B"_s << 0 << utf8 << QByteArray("A - B (0)");
        QTest::newRow("optional part left out") << u"RT=[{artist} - ]{title}"_s << u"Jingle Without Dash"_s << 0 << utf8
                                                << QByteArray("RT=Jingle Without Dash");
        QTest::newRow("brackets as text") << u"[[{title}]]"_s << u"A - B"_s << 0 << utf8 << QByteArray("[B]");
        QTest::newRow("one line") << u"{text}"_s << u" Line\r\none\n"_s << 0 << utf8 << QByteArray("Line one");
        QTest::newRow("cut at a word") << u"{text}"_s << u"Artist - A Rather Long Title"_s << 20 << utf8
                                       << QByteArray("Artist - A Rather");
        QTest::newRow("cut inside one word")
            << u"{text}"_s << u"Supercalifragilistic"_s << 5 << utf8 << QByteArray("Super");
        QTest::newRow("Latin-1") << u"{text}"_s << u"Bj\u00f6rk \u2013 J\u00f3ga"_s << 0 << latin1
                                 << QByteArray("Bj\xF6rk - J\xF3ga");
        QTest::newRow("ASCII") << u"{text}"_s << u"Bj\u00f6rk - Caf\u00e9 \u5742 \U0001F3B5"_s << 0 << ascii
                               << QByteArray("Bjork - Cafe ? ?");
    }
    void rendersFieldsThroughTheFilters()
    {
        QFETCH(QString, pattern);
        QFETCH(QString, text);
        QFETCH(int, maxLength);
        QFETCH(int, charset);
        QFETCH(QByteArray, expected);
        QString error;
        const auto renderer = Template::parse(pattern, {true, maxLength, Template::Charset(charset), "\r\n"}, &error);
        QVERIFY2(renderer, qPrintable(error));
        const NowPlaying playing {text, QDateTime(QDate(2026, 3, 7), QTime(8, 5, 9)), false};
        QCOMPARE(renderer->render(playing), expected + "\r\n");
    }

    void badPatternsAreRefused_data()
    {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QString>("error");
        QTest::newRow("unknown field") << u"{albun}"_s << u"no field {albun}"_s;
        QTest::newRow("unclosed brace") << u"{text"_s << u"a brace is not closed"_s;
        QTest::newRow("unclosed part") << u"[{artist} - {title}"_s << u"not closed with ]"_s;
        QTest::newRow("nested part") << u"[a[b]]"_s << u"cannot hold another"_s;
        QTest::newRow("stray bracket") << u"{text}]"_s << u"closes no optional part"_s;
    }
    void badPatternsAreRefused()
    {
        QFETCH(QString, pattern);
        QFETCH(QString, error);
        QString problem;
        QVERIFY(!Template::parse(pattern, {}, &problem));
        QVERIFY2(problem.contains(error), qPrintable(problem));
    }
};

QTEST_GUILESS_MAIN(TemplateTest)
#include "tst_template.moc"
