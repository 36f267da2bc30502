#include "playlog/logplay.h"
#include "playlog/playrecord.h"
#include "receiver/failure.h"
#include "receiverfixture.h"
#include "testdatabase.h"

#include <QtTest>

using namespace quaverlink;
using testsupport::ReceiverFixture;

namespace {

const QString kUser = QString::fromUtf16(testsupport::TestDatabase::kUser);
const QString kPassword = QString::fromUtf16(testsupport::TestDatabase::kPassword);

struct Row
{
    QString tag, text, playedAt, first, second;
    bool operator==(const Row &) const = default;
};

QString fromHex(const QByteArray &hex)
{
    return QString::fromUtf8(QByteArray::fromHex(hex));
}

} // namespace

// Runs against the MariaDB server that the test command started; the rows are
// read back with the server's own client, not through the code under test.
class PlayLogTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void textIsStoredVerbatim_data();
    void textIsStoredVerbatim();
    void onlyQualifyingItemsBecomeRows();
    void loggingNeedsExactlyY_data();
    void loggingNeedsExactlyY();
    void failuresAreReportedAndTheNextItemIsLogged_data();
    void failuresAreReportedAndTheNextItemIsLogged();
    void nonAsciiLoginConnects();
    void timestampIsTakenForTheItem();

private:
    QString server() const { return m_db.server(); }
    DatabaseLogin login() const { return {kUser, kPassword, server()}; }
    QByteArray sql(const QString &statement) { return m_db.query(statement); }
    QList<Row> rows();
    QStringList texts() const { return m_db.storedTexts(); }

    testsupport::TestDatabase m_db;
};

void PlayLogTest::initTestCase()
{
    QVERIFY2(m_db.open(), "the test MariaDB server is not running: run through ctest, which starts it");
    QVERIFY(qEnvironmentVariable("ODBCSYSINI").endsWith(u"/odbc"_qs));
}

void PlayLogTest::init()
{
    sql(u"TRUNCATE TABLE Metadata"_qs);
}

QList<Row> PlayLogTest::rows()
{
    QList<Row> result;
    const QByteArray out = sql(u"SELECT HEX(entry_tag), HEX(full_text), played_at, HEX(artist), HEX(title) FROM Metadata ORDER BY play_id"_qs);
    for (const QByteArray &line : out.split('\n')) {
        const QList<QByteArray> cells = line.split('\t');
        if (cells.size() == 5) {
            result.append({fromHex(cells[0]), fromHex(cells[1]), QString::fromLatin1(cells[2]), fromHex(cells[3]),
                           fromHex(cells[4])});
        }
    }
    return result;
}

void PlayLogTest::textIsStoredVerbatim_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::newRow("backslash before quote") << u"Foo\\' - Bar"_qs << u"Foo\\'"_qs << u"Bar"_qs;
    QTest::newRow("apostrophes") << u"Rock 'n' Roll - O'Neill"_qs << u"Rock 'n' Roll"_qs << u"O'Neill"_qs;
    QTest::newRow("SQL fragment") << u"x'); DROP TABLE Metadata; -- - y"_qs << u"x'); DROP TABLE Metadata;"_qs << u" y"_qs;
    QTest::newRow("NUL") << QString(u"Nul\0Inside - X"_qs) << QString(u"Nul\0Inside"_qs) << u"X"_qs;
    QTest::newRow("accents") << u"Bj\u00f6rk - J\u00f3ga"_qs << u"Bj\u00f6rk"_qs << u"J\u00f3ga"_qs;
    QTest::newRow("CJK") << u"\u5742\u672c\u9f8d\u4e00 - \u6226\u5834"_qs << u"\u5742\u672c\u9f8d\u4e00"_qs << u"\u6226\u5834"_qs;
    QTest::newRow("emoji") << u"\U0001F3B5 Band - \U0001F3B6 Song"_qs << u"\U0001F3B5 Band"_qs << u"\U0001F3B6 Song"_qs;
}

void PlayLogTest::textIsStoredVerbatim()
{
    QFETCH(QString, text);
    QFETCH(QString, first);
    QFETCH(QString, second);
    const QDateTime at(QDate(2026, 3, 7), QTime(18, 5, 9));
    LogPlay(login(), text, [&] { return at; });
    const QList<Row> stored = rows();
    QCOMPARE(stored.size(), 1);
    QCOMPARE(stored.at(0), (Row {QString(), text, u"2026-03-07 18:05:09"_qs, first, second}));
}

void PlayLogTest::onlyQualifyingItemsBecomeRows()
{
    ReceiverFixture f;
    f.settings.dbEnabled = "Y";
    f.settings.dbServer = server().toUtf8();
    f.settings.dbUser = kUser.toUtf8();
    f.settings.dbPassword = kPassword.toUtf8();
    QVERIFY(f.start());
    QVERIFY(f.waitForItems(2));
    for (const char *item : {"Artist - Title", "No dash here", "a-b", "", "Second - Song"}) {
        testsupport::sendTo(f.listenPort(), item);
    }
    QVERIFY(f.waitForItems(7));
    // The idle text is long and holds a dash: both start-up copies are plays.
    QCOMPARE(texts(), QStringList({u"Quaverlink FM - Music"_qs, u"Quaverlink FM - Music"_qs, u"Artist - Title"_qs,
                                 u"Second - Song"_qs}));
}

void PlayLogTest::loggingNeedsExactlyY_data()
{
    QTest::addColumn<QByteArray>("enabled");
    QTest::newRow("small y") << QByteArray("y");
    QTest::newRow("Yes") << QByteArray("Yes");
    QTest::newRow("blank before") << QByteArray("\" Y\"");
    QTest::newRow("empty") << QByteArray();
}

void PlayLogTest::loggingNeedsExactlyY()
{
    QFETCH(QByteArray, enabled);
    ReceiverFixture f;
    f.settings.dbEnabled = enabled;
    f.settings.dbServer = server().toUtf8();
    f.settings.dbUser = kUser.toUtf8();
    f.settings.dbPassword = kPassword.toUtf8();
    QVERIFY(f.start());
    testsupport::sendTo(f.listenPort(), "Artist - Title");
    QVERIFY(f.waitForItems(3));
    QCOMPARE(f.metadata(), QByteArray("Artist - Title\r\n\r\n"));
    QCOMPARE(rows().size(), 0);
}

void PlayLogTest::failuresAreReportedAndTheNextItemIsLogged_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("serverText");
    QTest::addColumn<bool>("hideTable");
    QTest::addColumn<QString>("expected");
    const QString ok = server();
    QTest::newRow("wrong password") << kUser << u"wrong-Pl4y-h1st0ry"_qs << ok << false << u"28000"_qs;
    QTest::newRow("unknown host") << kUser << kPassword << u"no-such-host.invalid"_qs << false << u"HY000"_qs;
    QTest::newRow("nothing listening") << kUser << kPassword
                                       << u"127.0.0.1;port="_qs + QString::number(testsupport::freeUdpPort())
                                       << false << u"HY000"_qs;
    QTest::newRow("missing table") << kUser << kPassword << ok << true << u"42S02"_qs;
}

void PlayLogTest::failuresAreReportedAndTheNextItemIsLogged()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, serverText);
    QFETCH(bool, hideTable);
    QFETCH(QString, expected);
    if (hideTable) {
        sql(u"RENAME TABLE Metadata TO Metadata_away"_qs);
    }
    QString cause;
    try {
        LogPlay({user, password, serverText}, u"Lost - Item"_qs);
    } catch (const Failure &failure) {
        cause = failure.describe();
    }
    if (hideTable) {
        sql(u"RENAME TABLE Metadata_away TO Metadata"_qs);
    }
    QVERIFY2(cause.contains(expected), qPrintable(cause));
    QVERIFY(!cause.contains(password));
    QCOMPARE(texts(), QStringList());
    // Nothing of the failure lingers: the next item connects afresh.
    LogPlay(login(), u"Next - Item"_qs);
    QCOMPARE(texts(), QStringList {u"Next - Item"_qs});
}

void PlayLogTest::nonAsciiLoginConnects()
{
    sql(u"CREATE USER IF NOT EXISTS 'r\u00e9gie'@'127.0.0.1' IDENTIFIED BY 'p\u00e4ss-\u00f8rd';"
        "GRANT INSERT ON Brackenwaves.Metadata TO 'r\u00e9gie'@'127.0.0.1'"_qs);
    LogPlay({u"r\u00e9gie"_qs, u"p\u00e4ss-\u00f8rd"_qs, server()}, u"Wide - Login"_qs);
    QCOMPARE(rows().size(), 1);
}

void PlayLogTest::timestampIsTakenForTheItem()
{
    const QDateTime before = QDateTime::currentDateTime().addMSecs(-QDateTime::currentDateTime().time().msec());
    LogPlay(login(), u"Now - Playing"_qs);
    const QDateTime after = QDateTime::currentDateTime();
    const QList<Row> stored = rows();
    QCOMPARE(stored.size(), 1);
    const QDateTime playedAt = QDateTime::fromString(stored.at(0).playedAt, u"yyyy-MM-dd HH:mm:ss"_qs);
    QVERIFY(playedAt.isValid());
    QVERIFY(playedAt >= before && playedAt <= after);
}

QTEST_GUILESS_MAIN(PlayLogTest)
#include "tst_playlog.moc"
