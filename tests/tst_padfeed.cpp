#include "testsupport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using namespace testsupport;

namespace {

QJsonObject item(int cart, const QString &group, const QString &artist, const QString &title,
                 const QJsonObject &more = {})
{
    QJsonObject object {{u"cartNumber"_s, cart},
                        {u"cutNumber"_s, 1},
                        {u"groupName"_s, group},
                        {u"artist"_s, artist},
                        {u"title"_s, title},
                        {u"length"_s, 215400},
                        {u"startDateTime"_s, QDateTime::currentDateTime().toString(Qt::ISODate)}};
    for (auto it = more.begin(); it != more.end(); ++it) {
        object.insert(it.key(), it.value());
    }
    return object;
}

// A document as Rivendell's PAD service writes it.
QByteArray document(const QJsonValue &now, const QJsonValue &next = QJsonValue::Null, int machine = 1)
{
    const QJsonObject update {{u"machine"_s, machine},
                              {u"now"_s, now},
                              {u"next"_s, next},
                              {u"service"_s, QJsonObject {{u"name"_s, u"Production"_s}}}};
    return QJsonDocument(QJsonObject {{u"padUpdate"_s, update}}).toJson().replace("\n", "\r\n") + "\r\n";
}

// Speaks the feed: the current state to each client that connects, then
// whatever the test sends.
class PadServer final : public QObject
{
public:
    QByteArray state;
    int connections = 0;

    PadServer()
    {
        QVERIFY(m_server.listen(QHostAddress::LocalHost));
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *client = m_server.nextPendingConnection()) {
                ++connections;
                m_clients << client;
                client->write(state);
            }
        });
    }
    quint16 port() const { return m_server.serverPort(); }
    void send(const QByteArray &bytes)
    {
        for (QTcpSocket *client : std::as_const(m_clients)) {
            client->write(bytes);
            client->flush();
        }
    }
    void restart()
    {
        const quint16 port = m_server.serverPort();
        qDeleteAll(std::exchange(m_clients, {}));
        m_server.close();
        QTest::qWait(1500);
        QVERIFY(m_server.listen(QHostAddress::LocalHost, port));
    }

private:
    QTcpServer m_server;
    QList<QTcpSocket *> m_clients;
};

} // namespace

class PadFeedTest final : public QObject
{
    Q_OBJECT

    TestDatabase m_db;

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_db.open(), "the test MariaDB server is not running: run through ctest"); }

    void playsFromTheFeedReachTheAirTheHistoryAndTheReport()
    {
        m_db.query(u"TRUNCATE TABLE Metadata; TRUNCATE TABLE PlayDetails"_s);
        PadServer pad;
        pad.state = document(item(100, u"MUSIC"_s, u"Alpha Artist"_s, u"First Song"_s,
                                  {{u"album"_s, u"First Album"_s},
                                   {u"isrc"_s, u"GBAYE0000001"_s},
                                   {u"composer"_s, u"C. Writer"_s},
                                   {u"year"_s, 1999}}),
                             item(101, u"MUSIC"_s, u"Beta"_s, u"Second"_s));
        QTemporaryDir folder;
        Settings settings = m_db.logging();
        settings.extraSections = "[PAD]\nHost=127.0.0.1\nPort=" + QByteArray::number(pad.port())
            + "\nMachine=1, 2\nGroups=MUSIC\n[Output rds]\nType=File\nFile=rds.txt\n"
              "Template={artist} / {album} / {length}[ / next {next.title}]\nGroups=music\n";
        RunningReceiver receiver(settings, folder.path(), {u"--headless"_s});
        QVERIFY(receiver.waitForOnAir("Alpha Artist - First Song"));
        QTRY_COMPARE(readBytes(receiver.path(u"rds.txt"_s)),
                     QByteArray("Alpha Artist / First Album / 3:35 / next Second"));

        // Another machine, a jingle in two segments and an empty log put
        // nothing on air; a song in the same segment as the empty log does.
        const QByteArray jingle = document(item(900, u"JINGLES"_s, u"Station"_s, u"Jingle"_s));
        pad.send(document(item(300, u"MUSIC"_s, u"Other"_s, u"Machine"_s), QJsonValue::Null, 3) + jingle.left(40));
        QTest::qWait(100);
        pad.send(jingle.mid(40));
        pad.state = document(item(102, u"MUSIC"_s, u"Delta"_s, u"Fourth"_s));
        pad.send(document(QJsonValue::Null) + pad.state);
        QVERIFY(receiver.waitForOnAir("Delta - Fourth"));
        QTRY_COMPARE(readBytes(receiver.path(u"rds.txt"_s)), QByteArray("Delta /  / 3:35"));

        // Garbage, a document without end and a restart of the server each
        // cost a connection, not the play on air, which is not played again.
        pad.send("this is not JSON\r\n\r\n");
        QTRY_COMPARE(receiver.errorLines(u"a document was refused: not JSON"_s), 1);
        QTRY_COMPARE(pad.connections, 2);
        pad.send("{\"padUpdate\": \"" + QByteArray(1100 * 1024, 'x'));
        QTRY_COMPARE(receiver.errorLines(u"longer than 1048576 bytes"_s), 1);
        QTRY_COMPARE(pad.connections, 3);
        pad.restart();
        QTRY_COMPARE(receiver.errorLines(u"stopped working"_s), 1);
        QTRY_COMPARE_WITH_TIMEOUT(receiver.errorLines(u"works again"_s), 1, 10000);

        // The UDP endpoint and the feed telling of one play, in either order.
        sendTo(settings.port(), "Echo Artist - Echo Song");
        QVERIFY(receiver.waitForOnAir("Echo Artist - Echo Song"));
        pad.state = document(item(103, u"MUSIC"_s, u"Echo Artist"_s, u"Echo Song"_s, {{u"album"_s, u"Echoes"_s}}));
        pad.send(pad.state);
        QTRY_COMPARE(readBytes(receiver.path(u"rds.txt"_s)), QByteArray("Echo Artist / Echoes / 3:35"));
        pad.state = document(item(104, u"MUSIC"_s, u"Other"_s, u"Way"_s));
        pad.send(pad.state);
        QVERIFY(receiver.waitForOnAir("Other - Way"));
        sendTo(settings.port(), "Other - Way");

        const QStringList plays
            = {u"Alpha Artist - First Song"_s, u"Delta - Fourth"_s, u"Echo Artist - Echo Song"_s, u"Other - Way"_s};
        QTRY_COMPARE_WITH_TIMEOUT(m_db.storedTexts(), plays, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(
            m_db.query(u"SELECT full_text, album, isrc, year, length_ms FROM PlayDetails"
                       " ORDER BY detail_id"_s),
            QByteArray("Alpha Artist - First Song\tFirst Album\tGBAYE0000001\t1999\t215400\n"
                       "Delta - Fourth\t\t\tNULL\t215400\nEcho Artist - Echo Song\tEchoes\t\tNULL\t215400\n"
                       "Other - Way\t\t\tNULL\t215400\n"),
            20000);
        QCOMPARE(m_db.storedTexts(), plays);

        QProcess report;
        report.setWorkingDirectory(folder.path());
        const QString today = QDate::currentDate().toString(Qt::ISODate);
        report.start(QStringLiteral(QUAVERLINK_EXECUTABLE),
                     {u"report"_s, u"--from"_s, today, u"--to"_s, today, u"--format"_s, u"csv"_s});
        QVERIFY(report.waitForFinished(30000));
        const QList<QByteArray> lines = report.readAllStandardOutput().split('\n');
        QCOMPARE(lines.size(), 6);
        QCOMPARE(lines.at(0), QByteArray("time,artist,title,album,label,isrc,length,composer,publisher\r"));
        QVERIFY2(lines.at(1).endsWith(",Alpha Artist,First Song,First Album,,GBAYE0000001,3:35,C. Writer,\r"),
                 lines.at(1).constData());
    }
};

QTEST_GUILESS_MAIN(PadFeedTest)
#include "tst_padfeed.moc"
