#include "receiver/codepage.h"
#include "receiver/conversion.h"
#include "receiver/modini.h"
#include "testsupport.h"

#include <QtTest>

#include <cstdint>
#include <optional>
#include <sys/stat.h>

using namespace quaverlink;
using testsupport::WorkingFolder;

class SettingsTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void profileRules_data();
    void profileRules();
    void missingGivesWorkingDirectoryCut();
    void unreadableFilesAreMissing();
    void hugeLineIsHarmless();
    void numbers_data();
    void numbers();
    void decoding_data();
    void decoding();
};

void SettingsTest::profileRules_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");

    const QString dflt = u"<default>"_qs;
    QTest::newRow("plain") << QByteArray("[Metadata]\nIdleString=On air\n") << u"Metadata"_qs << u"IdleString"_qs << u"On air"_qs;
    QTest::newRow("names ignore case") << QByteArray("[METADATA]\nidlestring=x\n") << u"Metadata"_qs << u"IdleString"_qs << u"x"_qs;
    QTest::newRow("blanks and tabs trimmed") << QByteArray("[M]\n \t k \t=  \t 7 \t \n") << u"M"_qs << u"k"_qs << u"7"_qs;
    QTest::newRow("double quotes") << QByteArray("[M]\nk=\" A - B \"\n") << u"M"_qs << u"k"_qs << u" A - B "_qs;
    QTest::newRow("single quotes") << QByteArray("[M]\nk='x'\n") << u"M"_qs << u"k"_qs << u"x"_qs;
    QTest::newRow("unmatched quotes stay") << QByteArray("[M]\nk=\"x'\n") << u"M"_qs << u"k"_qs << u"\"x'"_qs;
    QTest::newRow("empty value is empty") << QByteArray("[M]\nk=\n") << u"M"_qs << u"k"_qs << QString();
    QTest::newRow("only first = splits") << QByteArray("[M]\nk=a=b\n") << u"M"_qs << u"k"_qs << u"a=b"_qs;
    QTest::newRow("CRLF") << QByteArray("[M]\r\nk=v\r\nj=w\r\n") << u"M"_qs << u"k"_qs << u"v"_qs;
    QTest::newRow("byte-order mark") << QByteArray("\xEF\xBB\xBF[M]\nk=v\n") << u"M"_qs << u"k"_qs << u"v"_qs;
    QTest::newRow("comment line") << QByteArray("[M]\n;k=no\nk=yes\n") << u"M"_qs << u"k"_qs << u"yes"_qs;
    QTest::newRow("first key wins") << QByteArray("[M]\nk=1\nk=2\n") << u"M"_qs << u"k"_qs << u"1"_qs;
    QTest::newRow("first section wins") << QByteArray("[M]\na=1\n[M]\nk=2\n") << u"M"_qs << u"k"_qs << dflt;
    QTest::newRow("other section") << QByteArray("[Other]\nk=1\n[M]\nj=2\n") << u"M"_qs << u"k"_qs << dflt;
    QTest::newRow("cut to 29") << QByteArray("[M]\nk=1234567890123456789012345678901234567890\n") << u"M"_qs << u"k"_qs << u"12345678901234567890123456789"_qs;
    QTest::newRow("cut never splits a pair") << QByteArray("[M]\nk=1234567890123456789012345678\xF0\x9F\x8E\xB5\n") << u"M"_qs << u"k"_qs << u"1234567890123456789012345678"_qs;
    QTest::newRow("NUL ends the value") << QByteArray("[M]\nk=ab\0cd\n", 12) << u"M"_qs << u"k"_qs << u"ab"_qs;
    QTest::newRow("Windows-1252 value") << QByteArray("[M]\nk=Caf\xE9\n") << u"M"_qs << u"k"_qs << u"Caf\u00e9"_qs;
}

void SettingsTest::profileRules()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, expected);

    WorkingFolder folder;
    testsupport::writeBytes(folder.file(u"Quaverlink.ini"_qs), file);
    QCOMPARE(ReadSetting(section, key, folder.file(u"Quaverlink.ini"_qs), u"<default>"_qs), expected);
}

void SettingsTest::missingGivesWorkingDirectoryCut()
{
    const QString longDirectory = u"/srv/studio-one/automation/quaverlink/current"_qs;
    QCOMPARE(ReadSetting(u"Metadata"_qs, u"IdleString"_qs, u"/nonexistent/Quaverlink.ini"_qs, longDirectory),
             longDirectory.left(29));
}

void SettingsTest::unreadableFilesAreMissing()
{
    WorkingFolder folder;
    QDir().mkdir(u"Quaverlink.ini"_qs);
    QCOMPARE(ReadSetting(u"M"_qs, u"k"_qs, folder.file(u"Quaverlink.ini"_qs), u"d"_qs), u"d"_qs);
    // A FIFO has no writer: opening it would block start-up for ever.
    QCOMPARE(ReadSetting(u"M"_qs, u"k"_qs, u"/dev/null"_qs, u"d"_qs), u"d"_qs);
    const QByteArray fifo = QFile::encodeName(folder.file(u"fifo.ini"_qs));
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    QCOMPARE(ReadSetting(u"M"_qs, u"k"_qs, folder.file(u"fifo.ini"_qs), u"d"_qs), u"d"_qs);
}

void SettingsTest::hugeLineIsHarmless()
{
    WorkingFolder folder;
    const QString path = folder.file(u"Quaverlink.ini"_qs);

    // One 64 MB line of '=' and '[' with the real section after it.
    QByteArray huge(64 * 1024 * 1024, '=');
    for (qsizetype i = 0; i < huge.size(); i += 4099) {
        huge[i] = '[';
    }
    testsupport::writeBytes(path, huge + "\n[M]\nk=found\n");
    QCOMPARE(ReadSetting(u"M"_qs, u"k"_qs, path, u"d"_qs), u"found"_qs);
}

void SettingsTest::numbers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<qint64>("expected");
    QTest::newRow("blanks and tab") << u" \t 7  "_qs << true << qint64(7);
    QTest::newRow("plus") << u"+12"_qs << true << qint64(12);
    QTest::newRow("top of range") << u"32767"_qs << true << qint64(32767);
    QTest::newRow("above range") << u"32768"_qs << false << qint64(0);
    QTest::newRow("half to even down") << u"2.5"_qs << true << qint64(2);
    QTest::newRow("half to even up") << u"3.5"_qs << true << qint64(4);
    QTest::newRow("just over half") << u"2.5000001"_qs << true << qint64(3);
    QTest::newRow("rounds out of range") << u"32767.5"_qs << false << qint64(0);
    QTest::newRow("rounds to bottom") << u"-32768.5"_qs << true << qint64(-32768);
    QTest::newRow("below range") << u"-32769"_qs << false << qint64(0);
    QTest::newRow("leading point") << u".6"_qs << true << qint64(1);
    QTest::newRow("huge") << u"99999999999999999999999"_qs << false << qint64(0);
    for (const char16_t *text : {u"", u"ten", u"0x10", u"1e3", u"1,000", u"1 0", u"-", u"/srv/studio"}) {
        QTest::newRow(QString::fromUtf16(text).toUtf8().constData()) << QString::fromUtf16(text) << false << qint64(0);
    }
}

void SettingsTest::numbers()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(qint64, expected);
    const std::optional<std::int64_t> value = convertToInteger(text, -32768, 32767);
    QCOMPARE(value.has_value(), valid);
    QCOMPARE(value.value_or(0), expected);
}

void SettingsTest::decoding_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");
    QTest::newRow("ascii") << QByteArray("Artist - Title") << u"Artist - Title"_qs;
    QTest::newRow("utf-8") << QByteArray("Bj\xC3\xB6rk \xE2\x80\x93 J\xC3\xB3ga") << u"Bj\u00f6rk \u2013 J\u00f3ga"_qs;
    QTest::newRow("utf-8 astral") << QByteArray("\xF0\x9F\x8E\xB5") << u"\U0001F3B5"_qs;
    QTest::newRow("windows-1252") << QByteArray("Caf\xE9 \x96 \x80\x92\x99") << u"Caf\u00e9 \u2013 \u20ac\u2019\u2122"_qs;
    QTest::newRow("unassigned bytes") << QByteArray("\x81\x8D\x8F\x90\x9D") << u"\u0081\u008d\u008f\u0090\u009d"_qs;
    QTest::newRow("mixed") << QByteArray("\xC3\xA9\xE9") << u"\u00e9\u00e9"_qs;
    QTest::newRow("truncated sequence") << QByteArray("\xE2\x80") << u"\u00e2\u20ac"_qs;
    QTest::newRow("overlong") << QByteArray("\xC0\xAF") << u"\u00c0\u00af"_qs;
    QTest::newRow("surrogate encoded") << QByteArray("\xED\xA0\x80") << u"\u00ed\u00a0\u20ac"_qs;
    QTest::newRow("above U+10FFFF") << QByteArray("\xF4\x90\x80\x80") << u"\u00f4\u0090\u20ac\u20ac"_qs;
    QTest::newRow("NUL kept") << QByteArray("a\0b", 3) << QString(u"a\0b"_qs);
}

void SettingsTest::decoding()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    QCOMPARE(decode8Bit(bytes), expected);
}

QTEST_GUILESS_MAIN(SettingsTest)
#include "tst_settings.moc"
