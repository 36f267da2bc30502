#include "padserver.h"
#include "testsupport.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace testsupport;

// The real executable, a feed as each release frames it, and a station
// whose Metadata table is its own: five columns of its naming, the time kept
// as text, and an id of its own the positional insert never sees.
class PadFeedTest final : public QObject
{
    Q_OBJECT

    TestDatabase m_db;

    QByteArray stored(const QString &columns = u"song"_s) const
    {
        return m_db.query(u"SELECT "_s + columns + u" FROM Metadata ORDER BY id"_s);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_db.open(), "the test MariaDB server is not running: run through ctest");
        m_db.query(u"RENAME TABLE Metadata TO Metadata_ours; CREATE TABLE Metadata (id INT AUTO_INCREMENT INVISIBLE"
                   " PRIMARY KEY, kind CHAR(1), song MEDIUMTEXT, aired VARCHAR(19), singer TEXT, piece TEXT)"_s);
    }
    void cleanupTestCase() { m_db.query(u"DROP TABLE Metadata; RENAME TABLE Metadata_ours TO Metadata"_s); }
    void init() { m_db.query(u"TRUNCATE TABLE Metadata; TRUNCATE TABLE PlayDetails"_s); }

    void playsFromTheFeedReachTheAirTheHistoryAndTheReport_data()
    {
        QTest::addColumn<Framing>("framing");
        QTest::newRow("Rivendell 3.x") << Framing::Release3;
        QTest::newRow("Rivendell 4.0 to 4.2.1") << Framing::Release4;
        QTest::newRow("Rivendell 4.2.2 and later") << Framing::Release422;
    }
    void playsFromTheFeedReachTheAirTheHistoryAndTheReport()
    {
        QFETCH(Framing, framing);
        PadServer pad;
        pad.framing = framing;
        pad.state = pad.document(item(100, u"MUSIC"_s, u"Alpha Artist"_s, u"First Song"_s,
                                      {{u"album"_s, u"First Album"_s},
                                       {u"isrc"_s, u"GBAYE0000001"_s},
                                       {u"composer"_s, u"C. Writer"_s},
                                       {u"year"_s, 1999}}),
                                 item(101, u"MUSIC"_s, u"Beta"_s, u"Second"_s));
        QTemporaryDir folder;
        Settings settings = m_db.logging();
        settings.extraSections = padSection(pad, "Machine=1, 2\nGroups=MUSIC\n")
            + "[Report]\nService=KQVL-FM\nCategory=B\n[Output rds]\nType=File\nFile=rds.txt\n"
              "Template={artist} / {album} / {length}[ / next {next.title}]\nGroups=music\n";
        RunningReceiver receiver(settings, folder.path(), {u"--headless"_s});
        QVERIFY(receiver.waitForOnAir("Alpha Artist - First Song"));
        QTRY_COMPARE(readBytes(receiver.path(u"rds.txt"_s)),
                     QByteArray("Alpha Artist / First Album / 3:35 / next Second"));

        // Another machine, a jingle in two segments and an empty log put
        // nothing on air; a song in the same segment as the empty log does.
        const QByteArray jingle = pad.document(item(900, u"JINGLES"_s, u"Station"_s, u"Jingle"_s));
        pad.send(pad.document(item(300, u"MUSIC"_s, u"Other"_s, u"Machine"_s), QJsonValue::Null, 3) + jingle.left(40));
        QTest::qWait(100);
        pad.send(jingle.mid(40));
        pad.state = pad.document(item(102, u"MUSIC"_s, u"Delta"_s, u"Fourth"_s));
        pad.send(pad.document(QJsonValue::Null) + pad.state);
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
        QTRY_COMPARE_WITH_TIMEOUT(receiver.errorLines(u"works again"_s), 1, 20000);

        // The UDP endpoint and the feed telling of one play, in either order,
        // a datagram's line end and blanks around it no matter.
        sendTo(settings.port(), "Echo Artist - Echo Song");
        QVERIFY(receiver.waitForOnAir("Echo Artist - Echo Song"));
        pad.play(pad.document(item(103, u"MUSIC"_s, u"Echo Artist"_s, u"Echo Song"_s, {{u"album"_s, u"Echoes"_s}})));
        QTRY_COMPARE(readBytes(receiver.path(u"rds.txt"_s)), QByteArray("Echo Artist / Echoes / 3:35"));
        pad.play(pad.document(item(104, u"MUSIC"_s, u"Other"_s, u"Way"_s)));
        QVERIFY(receiver.waitForOnAir("Other - Way"));
        sendTo(settings.port(), " Other - Way\r\n");
        // A datagram the feed never tells of: a play, of no known group.
        QTest::qWait(300);
        sendTo(settings.port(), "Station - Ident");

        QTRY_COMPARE_WITH_TIMEOUT(stored(),
                                  QByteArray("Alpha Artist - First Song\nDelta - Fourth\n"
                                             "Echo Artist - Echo Song\nOther - Way\nStation - Ident\n"),
                                  20000);
        QTRY_COMPARE_WITH_TIMEOUT(
            m_db.query(u"SELECT full_text, album, isrc, year, length_ms, service, host_name FROM PlayDetails"
                       " ORDER BY detail_id"_s),
            QByteArray("Alpha Artist - First Song\tFirst Album\tGBAYE0000001\t1999\t215400\tProduction Log\tstudio-a\n"
                       "Delta - Fourth\t\t\tNULL\t215400\tProduction Log\tstudio-a\n"
                       "Echo Artist - Echo Song\tEchoes\t\tNULL\t215400\tProduction Log\tstudio-a\n"
                       "Other - Way\t\t\tNULL\t215400\tProduction Log\tstudio-a\n"),
            20000);

        QByteArray errors;
        const auto report = [&](const QString &from, const QString &to, const QStringList &more = {}) {
            QProcess process;
            process.setWorkingDirectory(folder.path());
            process.start(QStringLiteral(QUAVERLINK_EXECUTABLE),
                          QStringList {u"report"_s, u"--from"_s, from, u"--to"_s, to} + more);
            const bool finished = process.waitForFinished(30000);
            errors = process.readAllStandardError();
            return finished ? process.readAllStandardOutput().split('\n') : QList<QByteArray>();
        };
        const QString today = QDate::currentDate().toString(Qt::ISODate);
        // Music only: the feed's groups; the datagram of no known group is counted aside.
        const QList<QByteArray> lines = report(today, today);
        QCOMPARE(lines.size(), 6);
        QCOMPARE(lines.at(0),
                 QByteArray("time,artist,title,album,label,isrc,length,composer,publisher,group,cart,"
                            "machine,performances,on_air\r"));
        QVERIFY2(lines.at(1).contains(
                     ",Alpha Artist,First Song,First Album,,GBAYE0000001,3:35,C. Writer,,MUSIC,100,1,,"),
                 lines.at(1).constData());
        const QDateTime first
            = QDateTime::fromString(QString::fromUtf8(lines.at(1).left(19)), u"yyyy-MM-dd HH:mm:ss"_s);
        QVERIFY(
            lines.at(1).endsWith(first.toOffsetFromUtc(first.offsetFromUtc()).toString(Qt::ISODate).toUtf8() + '\r'));
        QVERIFY2(errors.contains("1 plays of no known group"), errors.constData());
        // A year is asked for a month at a time; the plays are the same.
        QCOMPARE(report(QDate::currentDate().addYears(-1).toString(Qt::ISODate), today), lines);
        // The census form: one line a recording; no listeners were counted,
        // so none has performances, and each play says so.
        const QList<QByteArray> census = report(today, today, {u"--format"_s, u"soundexchange"_s});
        QCOMPARE(census.size(), 6);
        QCOMPARE(census.at(1),
                 QByteArray("^KQVL-FM^|^B^|^Alpha Artist^|^First Song^|^GBAYE0000001^|^First Album^|^^|\r"));
        QCOMPARE(errors.count("listeners unknown: "), 4);
        // Minutes are minutes: the next two hold no play.
        const QDateTime soon = QDateTime::currentDateTime().addSecs(120);
        QCOMPARE(report(soon.toString(u"yyyy-MM-dd HH:mm"_s), soon.addSecs(60).toString(u"yyyy-MM-dd HH:mm"_s)).size(),
                 2);
        // A value longer than the driver hands over in one piece comes whole,
        // from a play that has only its details.
        const QString longTitle = QString(400, u'\u00e9') + u'!';
        m_db.query(u"INSERT INTO PlayDetails (played_at, machine, service, group_name, artist, title, album, label,"
                   " composer, publisher, isrc, isci, full_text) VALUES ('%1 00:00:01', 1, 'Production', 'MUSIC',"
                   " 'Long', '%2', '', '', '', '', '', '', '%2')"_s.arg(today, longTitle));
        QVERIFY(report(today, today).at(1).startsWith((today + u" 00:00:01,Long,"_s + longTitle + u',').toUtf8()));
    }

    void aPlayIsOneRowStampedWhenItWentOnAir()
    {
        PadServer pad;
        // On air for three minutes already when the receiver connects; its
        // cut unknown.
        const QDateTime started = QDateTime::currentDateTime().addSecs(-180);
        const QJsonObject running
            = item(200, u"MUSIC"_s, u"Running"_s, u"Long"_s,
                   {{u"startDateTime"_s, started.toString(Qt::ISODate)}, {u"cutNumber"_s, QJsonValue::Null}});
        pad.state = pad.document(running, item(201, u"MUSIC"_s, u"Next"_s, u"One"_s));
        QTemporaryDir folder;
        Settings settings = m_db.logging();
        settings.extraSections = padSection(pad, "OnAir=Y\n")
            + "[Output next]\nType=File\nFile=next.txt\nTemplate={title}[ then {next.title}]\n";
        {
            RunningReceiver receiver(settings, folder.path(), {u"--headless"_s});
            QVERIFY(receiver.waitForOnAir("Running - Long"));
            // What comes next changed, the play did not.
            pad.play(pad.document(running, item(205, u"MUSIC"_s, u"Changed"_s, u"Plan"_s)));
            QTRY_COMPARE(readBytes(receiver.path(u"next.txt"_s)), QByteArray("Long then Plan"));
            QTRY_COMPARE(stored(), QByteArray("Running - Long\n"));
            receiver.process().terminate();
            QVERIFY(receiver.finish());
        }
        // Restarted while the song plays: the feed tells of it again.
        RunningReceiver receiver(settings, folder.path(), {u"--headless"_s});
        QVERIFY(receiver.waitForOnAir("Running - Long"));
        QTRY_COMPARE(receiver.errorLines(u"not recorded twice"_s), 1);
        // A document whose onairFlag is false changes nothing with OnAir=Y;
        // a title of four characters without an artist is a play.
        pad.send(
            pad.document(item(206, u"MUSIC"_s, u"Off"_s, u"Air"_s), QJsonValue::Null, 1, {{u"onairFlag"_s, false}}));
        pad.play(pad.document(item(207, u"MUSIC"_s, QString(), u"Hurt"_s)));
        QVERIFY(receiver.waitForOnAir("Hurt"));
        QTRY_COMPARE(m_db.query(u"SELECT COUNT(*) FROM PlayDetails"_s), QByteArray("2\n"));
        const QByteArray start = started.toString(u"yyyy-MM-dd HH:mm:ss"_s).toUtf8();
        QCOMPARE(stored(u"song, aired"_s), "Running - Long\t" + start + '\n');
        QCOMPARE(m_db.query(u"SELECT title, played_at = '%1', cart, cut FROM PlayDetails ORDER BY detail_id"_s.arg(
                     QString::fromUtf8(start))),
                 QByteArray("Long\t1\t200\tNULL\nHurt\t0\t207\t1\n"));
    }

    // A hook posts each play once: a datagram's play waits a moment for the
    // feed's details, and goes out again only when they change what is sent.
    void aPushOutputPostsEachPlayOnce()
    {
        PadServer pad;
        QTcpServer hook;
        QVERIFY(hook.listen(QHostAddress::LocalHost));
        QList<QByteArray> bodies;
        connect(&hook, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *client = hook.nextPendingConnection();
            connect(client, &QTcpSocket::readyRead, client, [&bodies, client] {
                const QByteArray seen = client->property("seen").toByteArray() + client->readAll();
                client->setProperty("seen", seen);
                if (seen.endsWith('}')) {
                    bodies << seen.mid(seen.indexOf("\r\n\r\n") + 4);
                    client->write("HTTP/1.1 204 No Content\r\n\r\n");
                    client->disconnectFromHost();
                }
            });
        });
        QTemporaryDir folder;
        Settings settings;
        settings.extraSections = padSection(pad) + "[Output hook]\nType=Webhook\nUrl=http://127.0.0.1:"
            + QByteArray::number(hook.serverPort()) + "/\nBody={\"title\": \"{title}\", \"album\": \"{album}\"}\n";
        RunningReceiver receiver(settings, folder.path(), {u"--headless"_s});
        QTRY_COMPARE(bodies.size(), 1);
        sendTo(settings.port(), "Echo Artist - Echo Song");
        QTest::qWait(300);
        pad.play(pad.document(item(103, u"MUSIC"_s, u"Echo Artist"_s, u"Echo Song"_s, {{u"album"_s, u"Echoes"_s}})));
        QTRY_COMPARE(bodies.size(), 2);
        // Details later than the wait: posted again, as what is sent changed.
        sendTo(settings.port(), "Late - Details");
        QTRY_COMPARE(bodies.size(), 3);
        pad.play(pad.document(item(104, u"MUSIC"_s, u"Late"_s, u"Details"_s, {{u"album"_s, u"Later"_s}})));
        QTRY_COMPARE(bodies.size(), 4);
        QTest::qWait(1500);
        QCOMPARE(bodies,
                 (QList<QByteArray> {"{\"title\": \"Music\", \"album\": \"\"}",
                                     "{\"title\": \"Echo Song\", \"album\": \"Echoes\"}",
                                     "{\"title\": \"Details\", \"album\": \"\"}",
                                     "{\"title\": \"Details\", \"album\": \"Later\"}"}));
    }

    void aFlappingHostIsAskedEverLessOften()
    {
        PadServer pad;
        pad.dropEach = true;
        pad.state = pad.document(item(1, u"MUSIC"_s, u"Flap"_s, u"Song"_s));
        QTemporaryDir folder;
        Settings settings;
        settings.extraSections = padSection(pad);
        RunningReceiver receiver(settings, folder.path(), {u"--headless"_s});
        const qint64 begun = QDateTime::currentMSecsSinceEpoch();
        // Pauses of 1, 2 and 4 s between them, though each gave a document.
        QTRY_COMPARE_WITH_TIMEOUT(pad.connections, 4, 20000);
        QVERIFY(QDateTime::currentMSecsSinceEpoch() - begun > 6000);
        QCOMPARE(receiver.errorLines(u"stopped working"_s), 1);
        QCOMPARE(receiver.errorLines(u"works again"_s), 0);
    }

    // A host that died or a link that was cut says nothing on a feed that
    // is quiet between plays: every packet to and from the feed is dropped.
    void aSilentLinkIsNoticed()
    {
        const auto nft
            = [](const QString &command) { return QProcess::execute(u"nft"_s, QProcess::splitCommand(command)) == 0; };
        if (!nft(u"add table inet quaverlink_test"_s)) {
            QSKIP("a silent link is an nftables rule on loopback, which needs nft and root");
        }
        auto removeRules = qScopeGuard([&] { nft(u"delete table inet quaverlink_test"_s); });
        PadServer pad;
        pad.state = pad.document(item(1, u"MUSIC"_s, u"Silent"_s, u"Link"_s));
        QTemporaryDir folder;
        Settings settings;
        settings.extraSections = padSection(pad);
        RunningReceiver receiver(settings, folder.path(), {u"--headless"_s});
        QVERIFY(receiver.waitForOnAir("Silent - Link"));
        QVERIFY(nft(u"add chain inet quaverlink_test input { type filter hook input priority 0 ; }"_s)
                && nft(u"add rule inet quaverlink_test input tcp dport %1 drop"_s.arg(pad.port()))
                && nft(u"add rule inet quaverlink_test input tcp sport %1 drop"_s.arg(pad.port())));
        QTRY_COMPARE_WITH_TIMEOUT(receiver.errorLines(u"stopped working"_s), 1, 80000);
    }

    // Whatever mix of feed plays, their UDP echoes, short items and bursts
    // comes, metadata.txt and an output hold the same text once it is quiet.
    void theFileAndTheOutputsAgreeAfterAnySequence()
    {
        PadServer pad;
        QTemporaryDir folder;
        Settings settings;
        settings.extraSections = padSection(pad) + "[Output copy]\nType=File\nFile=copy.txt\n";
        RunningReceiver receiver(settings, folder.path(), {u"--headless"_s});
        QVERIFY(receiver.waitForOnAir(settings.idle));
        const quint32 seed = QRandomGenerator::global()->generate();
        QRandomGenerator random(seed);
        qInfo("the sequence comes from seed %u", seed);
        int cart = 1;
        QUdpSocket socket;
        for (int round = 0; round < 12; ++round) {
            for (int step = 0, steps = random.bounded(1, 8); step < steps; ++step) {
                const QString title = u"Song %1"_s.arg(random.bounded(4));
                const QByteArray text = "Band - " + title.toUtf8();
                switch (random.bounded(5)) {
                case 0: // a play from the feed, and its echo at once
                    pad.send(pad.document(item(cart++, u"MUSIC"_s, u"Band"_s, title)));
                    sendTo(settings.port(), text + "\r\n");
                    break;
                case 1: { // on air from the feed, then its echo, a short item and the echo again in one go
                    const QString fresh = u"Fresh %1"_s.arg(cart);
                    const QByteArray echo = "Band - " + fresh.toUtf8();
                    QTest::qWait(300); // what was sent before has landed
                    pad.send(pad.document(item(cart++, u"MUSIC"_s, u"Band"_s, fresh)));
                    QVERIFY(receiver.waitForOnAir(echo));
                    for (const QByteArray &payload : {echo, QByteArray("xx"), echo}) {
                        socket.writeDatagram(payload, QHostAddress::LocalHost, settings.port());
                    }
                    break;
                }
                case 2:
                    sendTo(settings.port(), "xx");
                    break;
                case 3: // a burst
                    for (int i = 0; i < 20; ++i) {
                        sendTo(settings.port(), "Burst - " + QByteArray::number(i));
                    }
                    break;
                default:
                    sendTo(settings.port(), text);
                }
            }
            QTest::qWait(300);
            const QByteArray onAir = receiver.metadata();
            QVERIFY2(onAir.endsWith("\r\n\r\n"), onAir.constData());
            // The output puts the text on one line, without the line end a
            // datagram may carry.
            QTRY_COMPARE_WITH_TIMEOUT(readBytes(receiver.path(u"copy.txt"_s)), onAir.chopped(4).trimmed(), 2000);
        }
    }
};

QTEST_GUILESS_MAIN(PadFeedTest)
#include "tst_padfeed.moc"
