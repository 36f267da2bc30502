#include "common/codepage.h"
#include "outputs/outputconfig.h"
#include "settings/settings.h"
#include "testsupport.h"

#include <QtTest>

#include <sys/stat.h>

using namespace quaverlink;
using namespace testsupport;

class SettingsTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void profileRules_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("expected");
        QTest::newRow("names ignore case") << QByteArray("[m]\nK=x\n") << u"x"_s;
        QTest::newRow("blanks and tabs trimmed") << QByteArray("[M]\n \t k \t=  \t 7 \t \n") << u"7"_s;
        QTest::newRow("double quotes") << QByteArray("[M]\nk=\" A - B \"\n") << u" A - B "_s;
        QTest::newRow("single quotes") << QByteArray("[M]\nk='x'\n") << u"x"_s;
        QTest::newRow("unmatched quotes stay") << QByteArray("[M]\nk=\"x'\n") << u"\"x'"_s;
        QTest::newRow("empty value is empty") << QByteArray("[M]\nk=\n") << QString();
        QTest::newRow("only first = splits") << QByteArray("[M]\nk=a=b\n") << u"a=b"_s;
        QTest::newRow("CRLF") << QByteArray("[M]\r\nk=v\r\nj=w\r\n") << u"v"_s;
        QTest::newRow("byte-order mark") << QByteArray("\xEF\xBB\xBF[M]\nk=v\n") << u"v"_s;
        QTest::newRow("comment line") << QByteArray("[M]\n;k=no\nk=yes\n") << u"yes"_s;
        QTest::newRow("first key wins") << QByteArray("[M]\nk=1\nk=2\n") << u"1"_s;
        QTest::newRow("first section wins") << QByteArray("[M]\na=1\n[M]\nk=2\n") << u"<default>"_s;
        QTest::newRow("other section") << QByteArray("[Other]\nk=1\n[M]\nj=2\n") << u"<default>"_s;
        QTest::newRow("cut to 29") << QByteArray("[M]\nk=1234567890123456789012345678901234567890\n")
                                   << u"12345678901234567890123456789"_s;
        QTest::newRow("cut never splits a pair")
            << QByteArray("[M]\nk=1234567890123456789012345678\xF0\x9F\x8E\xB5\n") << u"1234567890123456789012345678"_s;
        QTest::newRow("NUL ends the value") << QByteArray("[M]\nk=ab\0cd\n", 12) << u"ab"_s;
        QTest::newRow("Windows-1252 value") << QByteArray("[M]\nk=Caf\xE9\n") << u"Caf\u00e9"_s;
    }
    void profileRules()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, expected);
        QTemporaryDir folder;
        writeBytes(folder.filePath(u"Quaverlink.ini"_s), file);
        QCOMPARE(IniFile::read(QFile::encodeName(folder.filePath(u"Quaverlink.ini"_s)), u"<default>"_s)
                     .value(u"M"_s, u"k"_s),
                 expected);
    }

    void whatCannotBeReadGivesTheFallbackCut()
    {
        QTemporaryDir folder;
        const QString fallback = u"/srv/studio-one/automation/quaverlink/current"_s;
        auto lookUp = [&](const QString &path) {
            return IniFile::read(QFile::encodeName(path), fallback).value(u"M"_s, u"k"_s);
        };
        QCOMPARE(lookUp(u"/nonexistent/Quaverlink.ini"_s), fallback.left(29));
        QVERIFY(QDir(folder.path()).mkdir(u"Quaverlink.ini"_s));
        QCOMPARE(lookUp(folder.filePath(u"Quaverlink.ini"_s)), fallback.left(29));
        // A FIFO has no writer: opening it would block start-up for ever.
        QCOMPARE(::mkfifo(QFile::encodeName(folder.filePath(u"fifo.ini"_s)).constData(), 0600), 0);
        QCOMPARE(lookUp(folder.filePath(u"fifo.ini"_s)), fallback.left(29));
        // One 64 MB line of '=' and '[' before the real section.
        QByteArray huge(64 * 1024 * 1024, '=');
        for (qsizetype i = 0; i < huge.size(); i += 4099) {
            huge[i] = '[';
        }
        QCOMPARE(IniFile::fromContent(huge + "\n[M]\nk=found\n", fallback).value(u"M"_s, u"k"_s), u"found"_s);
    }

    void whatIsSkippedIsNamedByItsLine()
    {
        const IniFile file = IniFile::fromContent("; comment\nstray=1\n[Output web\nType=HTTP\nno equals sign\n"
                                                  "Type=File\n[output WEB]\nPort=1\n",
                                                  u"<default>"_s);
        QCOMPARE(file.warnings(),
                 QStringList({u"line 2: a key before any section header; it is skipped"_s,
                              u"line 3: the section header has no closing ], and is read as [Output web]"_s,
                              u"line 5: not a key=value line; it is skipped"_s,
                              u"line 6: Type stands earlier in [Output web]; this one is not read"_s,
                              u"line 7: [output WEB] stands earlier in the file; this one is not read"_s}));
        QCOMPARE(file.sections(), QStringList {u"Output web"_s});
        QCOMPARE(file.newValue(u"output web"_s, u"type"_s), u"HTTP"_s);
        QCOMPARE(file.value(u"Output web"_s, u"Port"_s), u"<default>"_s);
    }

    void outputSectionsFollowTheSameRules()
    {
        const IniFile file = IniFile::fromContent("[Output web]\nType=HTTP\nPort= 9000.0 \nLineEnd=CRLF\nTemplte=x\n"
                                                  "[Output rds]\nType=LineFeed\nProtocol=TCP\nHost=h\nPort=0x10\n",
                                                  QString());
        QStringList problems;
        const QList<OutputConfig> outputs = readOutputConfigs(file, "/srv", &problems);
        QCOMPARE(outputs.size(), 1);
        QCOMPARE(outputs.at(0).as<HttpFeedTarget>()->port, quint16(9000));
        QCOMPARE(problems,
                 QStringList({u"[Output web] LineEnd is not used by this type of output"_s,
                              u"[Output web] Templte is not used by this type of output"_s,
                              u"[Output rds] is skipped: it needs a Host and a Port from 1 to 65535"_s}));
    }

    void numbers_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("expected"); // -1 for no value
        QTest::newRow("blanks and tab") << u" \t 7  "_s << 7;
        QTest::newRow("plus") << u"+12"_s << 12;
        QTest::newRow("top of range") << u"32767"_s << 32767;
        QTest::newRow("above range") << u"32768"_s << -1;
        QTest::newRow("half to even down") << u"2.5"_s << 2;
        QTest::newRow("half to even up") << u"3.5"_s << 4;
        QTest::newRow("just over half") << u"2.5000001"_s << 3;
        QTest::newRow("rounds out of range") << u"32767.5"_s << -1;
        QTest::newRow("leading point") << u".6"_s << 1;
        QTest::newRow("huge") << u"99999999999999999999999"_s << -1;
        for (const char16_t *text : {u"", u"ten", u"0x10", u"1e3", u"1,000", u"1 0", u"-", u"/srv/studio"}) {
            QTest::newRow(QString::fromUtf16(text).toUtf8().constData()) << QString::fromUtf16(text) << -1;
        }
    }
    void numbers()
    {
        QFETCH(QString, text);
        QFETCH(int, expected);
        QCOMPARE(convertToInteger(text, -32768, 32767).value_or(-1), expected);
    }

    void decoding_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");
        QTest::newRow("utf-8") << QByteArray("Bj\xC3\xB6rk \xE2\x80\x93 \xF0\x9F\x8E\xB5")
                               << u"Bj\u00f6rk \u2013 \U0001F3B5"_s;
        QTest::newRow("windows-1252") << QByteArray("Caf\xE9 \x96 \x80\x92\x99")
                                      << u"Caf\u00e9 \u2013 \u20ac\u2019\u2122"_s;
        QTest::newRow("unassigned bytes") << QByteArray("\x81\x8D\x8F\x90\x9D") << u"\u0081\u008d\u008f\u0090\u009d"_s;
        QTest::newRow("mixed") << QByteArray("\xC3\xA9\xE9") << u"\u00e9\u00e9"_s;
        QTest::newRow("truncated sequence") << QByteArray("\xE2\x80") << u"\u00e2\u20ac"_s;
        QTest::newRow("overlong") << QByteArray("\xC0\xAF") << u"\u00c0\u00af"_s;
        QTest::newRow("surrogate encoded") << QByteArray("\xED\xA0\x80") << u"\u00ed\u00a0\u20ac"_s;
        QTest::newRow("above U+10FFFF") << QByteArray("\xF4\x90\x80\x80") << u"\u00f4\u0090\u20ac\u20ac"_s;
        QTest::newRow("NUL kept") << QByteArray("a\0b", 3) << QString(u"a\0b"_s);
    }
    void decoding()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        QCOMPARE(decode8Bit(bytes), expected);
    }
};

QTEST_GUILESS_MAIN(SettingsTest)
#include "tst_settings.moc"
