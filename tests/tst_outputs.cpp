#include "testsupport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkDatagram>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTcpServer>
#include <QtTest>

using namespace quaverlink;
using namespace testsupport;

namespace {

QByteArray httpGet(const QString &url)
{
    static QNetworkAccessManager network;
    QNetworkReply *reply = network.get(QNetworkRequest(QUrl(url)));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    finished.wait(5000);
    reply->deleteLater();
    return reply->readAll();
}

// Sends bytes as they stand and returns the whole answer, up to the close.
QByteArray exchange(quint16 port, const QByteArray &request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.waitForConnected(2000);
    socket.write(request);
    QByteArray answer;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(2000)) {
        answer += socket.readAll();
    }
    return answer + socket.readAll();
}

// A peer that takes in little and reads none of it, so that what is sent to
// it waits on the sender's side.
void stopReading(QAbstractSocket &socket)
{
    socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
    socket.setReadBufferSize(4096);
}

// Everything a peer that stopped reading still gets once it reads again.
QByteArray readToTheEnd(QAbstractSocket &socket)
{
    socket.setReadBufferSize(0);
    QByteArray all = socket.readAll();
    while (socket.waitForReadyRead(1000)) {
        all += socket.readAll();
    }
    return all;
}

// The title Icecast shows for a mount on its status page.
QString icecastTitle(quint16 port, const QString &mount)
{
    const QJsonValue sources = QJsonDocument::fromJson(httpGet(u"http://127.0.0.1:%1/status-json.xsl"_s.arg(port)))
                                   .object()[u"icestats"_s][u"source"_s];
    for (const QJsonValue &source : sources.toArray()) {
        if (source[u"listenurl"_s].toString().endsWith(mount)) {
            // The status page writes what is not Latin-1 as character references.
            QString title = source[u"title"_s].toString();
            static const QRegularExpression reference(u"&#(\\d+);"_s);
            for (QRegularExpressionMatch m = reference.match(title); m.hasMatch(); m = reference.match(title)) {
                title.replace(m.capturedStart(), m.capturedLength(), QChar(m.captured(1).toInt()));
            }
            return title;
        }
    }
    return QString();
}

} // namespace

class OutputsTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void icecastShowsTheSongInEitherCharacterSet()
    {
        const quint16 port
            = quint16(readBytes(qEnvironmentVariable("QUAVERLINK_TEST_ICECAST_DIR") + u"/port"_s).toUInt());
        QVERIFY2(port, "the test Icecast server is not running: run through ctest, which starts it");
        const QByteArray server = "Server=http://127.0.0.1:" + QByteArray::number(port) + "\n";
        ReceiverFixture f;
        f.settings.extraSections = "[Output latin]\nType=Icecast\n" + server
            + "Mount=/live\nPassword=Src-p4ss\n"
              "Charset=Latin-1\n[Output utf8]\nType=Icecast\n"
            + server
            + "Mount=/utf8\nPassword=Src-p4ss\n"
              "[Output refused]\nType=Icecast\n"
            + server + "Mount=/live\nPassword=Wr0ng-p4ss\n";
        QSignalSpy lines(f.station.get(), &Station::reported);
        QVERIFY(f.startAndSettle());
        f.receiver->applyItem(u"Bj\u00f6rk - J\u00f3ga \u2013 Live"_s);
        QTRY_COMPARE(icecastTitle(port, u"/live"_s), u"Bj\u00f6rk - J\u00f3ga - Live"_s);
        QTRY_COMPARE(icecastTitle(port, u"/utf8"_s), u"Bj\u00f6rk - J\u00f3ga \u2013 Live"_s);
        QTRY_COMPARE(lines.count(), 1);
        const QString line = lines.at(0).at(0).toString();
        QVERIFY2(line.contains(u"output refused"_s) && line.contains(u"401"_s), qPrintable(line));
        QVERIFY(!line.contains(u"Wr0ng-p4ss"_s));
        QTRY_VERIFY(f.station->outputSummary().contains(u"refused: not working: HTTP 401"_s));
    }

    void httpFeedServesNowEventsAndPlays()
    {
        const quint16 port = freeTcpPort();
        ReceiverFixture f;
        f.settings.extraSections = "[Output web]\nType=HTTP\nPort=" + QByteArray::number(port)
            + "\nTemplate={title}[ by {artist}]\nCharset=ASCII\n";
        QVERIFY(f.startAndSettle());
        // The feed listens on the outputs' own thread, a moment after start.
        QTRY_VERIFY(f.station->outputSummary().contains(u"web: working"_s));
        const QString base = u"http://127.0.0.1:%1"_s.arg(port);
        QTcpSocket events;
        events.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(events.waitForConnected());
        events.write("GET /events HTTP/1.1\r\nHost: x\r\n\r\n");
        QTRY_VERIFY(events.peek(4096).contains("data: "));
        f.receiver->applyItem(u"First - One"_s);
        f.receiver->applyItem(u"Bj\u00f6rk - J\u00f3ga"_s);
        QTRY_VERIFY((events.peek(1 << 16)).contains("Joga by Bjork"));
        const QByteArray stream = events.readAll();
        QVERIFY(stream.startsWith("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream")
                && stream.contains("\r\n\r\nretry: "));
        QVERIFY(stream.indexOf("\"text\":\"First - One\"") < stream.indexOf("\"display\":\"Joga by Bjork\""));

        const QJsonObject now = QJsonDocument::fromJson(httpGet(base + u"/now"_s)).object();
        QCOMPARE(now[u"text"_s].toString(), u"Bj\u00f6rk - J\u00f3ga"_s);
        QCOMPARE(now[u"title"_s].toString(), u"J\u00f3ga"_s);
        QCOMPARE(now[u"previous"_s].toString(), u"First - One"_s);
        QCOMPARE(now[u"idle"_s].toBool(), false);
        f.receiver->applyItem(u"Station Ident"_s);
        QTRY_COMPARE(QJsonDocument::fromJson(httpGet(base + u"/now"_s)).object()[u"display"_s].toString(),
                     u"Station Ident"_s);
        // The last plays, newest first, for a page of another origin; the
        // idle text is no play.
        const QByteArray plays = exchange(port, "GET /plays HTTP/1.1\r\n\r\n");
        QVERIFY2(plays.contains("\r\nAccess-Control-Allow-Origin: *\r\n"), plays.constData());
        QStringList texts;
        for (const QJsonValue &play : QJsonDocument::fromJson(plays.mid(plays.indexOf("\r\n\r\n") + 4)).array()) {
            texts << play[u"text"_s].toString();
        }
        QCOMPARE(texts, (QStringList {u"Station Ident"_s, u"Bj\u00f6rk - J\u00f3ga"_s, u"First - One"_s}));
        QVERIFY(httpGet(base + u"/overlay"_s).contains("<script src=\"overlay.js\">"));

        const QByteArray notAllowed = exchange(port, "DELETE /now HTTP/1.1\r\n\r\n");
        QVERIFY2(notAllowed.startsWith("HTTP/1.1 405") && notAllowed.contains("\r\nAllow: GET, HEAD\r\n"),
                 notAllowed.constData());
        const QByteArray head = exchange(port, "HEAD /now HTTP/1.1\r\n\r\n");
        QVERIFY2(head.startsWith("HTTP/1.1 200") && head.endsWith("\r\n\r\n"), head.constData());
        QVERIFY(exchange(port, "GET /../Quaverlink.ini HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 404"));
    }

    void httpFeedKeepsRoomForShortRequestsAndLetsSlowPagesGo()
    {
        const quint16 port = freeTcpPort();
        ReceiverFixture f;
        f.settings.extraSections = "[Output web]\nType=HTTP\nPort=" + QByteArray::number(port) + "\n";
        QVERIFY(f.startAndSettle());
        QTRY_VERIFY(f.station->outputSummary().contains(u"web: working"_s));
        std::vector<std::unique_ptr<QTcpSocket>> pages;
        for (int i = 0; i < 64; ++i) {
            auto &page = pages.emplace_back(std::make_unique<QTcpSocket>());
            page->connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(page->waitForConnected());
            stopReading(*page);
            page->write("GET /events HTTP/1.1\r\n\r\n");
        }
        QTRY_VERIFY(pages.back()->bytesAvailable() > 0);
        const QByteArray refused = exchange(port, "GET /events HTTP/1.1\r\n\r\n");
        QVERIFY2(refused.startsWith("HTTP/1.1 503"), refused.constData());
        QVERIFY(exchange(port, "GET /now HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 200"));
        // Nor do 300 connections from another address that never send a request.
        std::vector<std::unique_ptr<QTcpSocket>> idle;
        for (int i = 0; i < 300; ++i) {
            auto &socket = idle.emplace_back(std::make_unique<QTcpSocket>());
            socket->bind(QHostAddress(u"127.0.0.2"_s));
            socket->connectToHost(QHostAddress::LocalHost, port);
        }
        QTRY_VERIFY(std::all_of(idle.cbegin(), idle.cend(), [](const auto &socket) {
            return socket->state() != QAbstractSocket::ConnectingState;
        }));
        QVERIFY(exchange(port, "GET /now HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 200"));

        // Pages that never read are let go once 256 KiB wait for them, not
        // after the megabytes the kernel would take.
        const QString big(30000, u'x');
        for (int i = 0; i < 20; ++i) {
            f.receiver->applyItem(big + u"-end-%1"_s.arg(i));
        }
        QTRY_VERIFY(exchange(port, "GET /now HTTP/1.1\r\n\r\n").contains("-end-19"));
        const QByteArray received = readToTheEnd(*pages.front());
        QVERIFY2(!received.contains("-end-19"), QByteArray::number(received.size()).constData());
        QCOMPARE(pages.front()->state(), QAbstractSocket::UnconnectedState);
    }

    void peersKeepNeitherThePasswordNorTheMemory()
    {
        // An Icecast that redirects elsewhere and one whose answer never
        // ends; a device that talks without end and one that takes each
        // connection and drops it at once.
        QTcpServer redirecting, elsewhere, endless, chatty, resetting, trickling;
        for (QTcpServer *server : {&redirecting, &elsewhere, &endless, &chatty, &resetting, &trickling}) {
            QVERIFY(server->listen(QHostAddress::LocalHost));
        }
        const QByteArray location
            = "http://127.0.0.1:" + QByteArray::number(elsewhere.serverPort()) + "/admin/metadata";
        connect(&redirecting, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *client = redirecting.nextPendingConnection();
            connect(client, &QTcpSocket::readyRead, client, [client, location] {
                client->write("HTTP/1.0 302 Found\r\nLocation: " + location + "?x\r\nContent-Length: 0\r\n\r\n");
                client->disconnectFromHost();
            });
        });
        const auto talkWithoutEnd = [](QTcpSocket *client, const QByteArray &first) {
            client->write(first);
            const QByteArray chunk(64 * 1024, 'z');
            connect(client, &QTcpSocket::bytesWritten, client, [client, chunk, sent = qint64(0)]() mutable {
                if (client->bytesToWrite() < (1 << 20) && (sent += chunk.size()) < (qint64(200) << 20)) {
                    client->write(chunk);
                }
            });
        };
        connect(&endless, &QTcpServer::newConnection, this, [&] {
            talkWithoutEnd(endless.nextPendingConnection(), "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n");
        });
        connect(&chatty, &QTcpServer::newConnection, this,
                [&] { talkWithoutEnd(chatty.nextPendingConnection(), QByteArray(1024, 'c')); });
        connect(&resetting, &QTcpServer::newConnection, this, [&] { resetting.nextPendingConnection()->abort(); });
        // An answer that comes a byte every second never meets an idle timeout.
        QTimer trickle;
        connect(&trickle, &QTimer::timeout, this, [&] {
            for (QTcpSocket *client : trickling.findChildren<QTcpSocket *>()) {
                client->write(client->property("sent").toBool() ? "x"
                                                                : "HTTP/1.1 200 OK\r\nContent-Length: 99\r\n\r\n");
                client->setProperty("sent", true);
            }
        });
        trickle.start(1000);
        const auto port = [](const QTcpServer &server) { return QByteArray::number(server.serverPort()); };
        ReceiverFixture f;
        f.settings.extraSections = "[Output away]\nType=Icecast\nServer=http://127.0.0.1:" + port(redirecting)
            + "\nMount=/live\nPassword=S3cret-p4ss\n[Output endless]\nType=Icecast\nServer=http://127.0.0.1:"
            + port(endless)
            + "\nMount=/live\nPassword=x\n[Output chatty]\nType=LineFeed\nProtocol=TCP\nHost=127.0.0.1\nPort="
            + port(chatty)
            + "\n[Output resetting]\nType=LineFeed\nProtocol=TCP\nHost=127.0.0.1\nPort=" + port(resetting)
            + "\n[Output trickling]\nType=Icecast\nServer=http://127.0.0.1:" + port(trickling) + "\nMount=/m\n";
        QStringList lines;
        connect(f.station.get(), &Station::reported, this, [&](const QString &line) { lines << line; });
        const auto residentKiB = [] {
            const QByteArray status = readBytes(u"/proc/self/status"_s);
            return status.mid(status.indexOf("VmRSS:") + 6, 20).trimmed().split(' ').value(0).toLongLong();
        };
        const qint64 before = residentKiB();
        QVERIFY(f.startAndSettle());
        QTRY_VERIFY(
            lines.filter(u"the server redirects to "_s + QString::fromLatin1(location) + u", which is not followed"_s)
                .size()
            == 1);
        QTRY_VERIFY(lines.filter(u"longer than 16384 bytes"_s).size() == 1);
        // Ten seconds of peers that misbehave all along, until the trickle's deadline.
        QTRY_COMPARE_WITH_TIMEOUT(lines.filter(u"no whole answer within 10 s"_s).size(), 1, 15000);
        QVERIFY(!elsewhere.hasPendingConnections());
        QVERIFY(lines.filter(u"S3cret-p4ss"_s).isEmpty());
        QCOMPARE(lines.filter(u"output resetting"_s).size(), 1);
        QVERIFY2(residentKiB() - before < 64 * 1024, QByteArray::number(residentKiB() - before).constData());
    }

    void filtersDelaysAndPacingDecideWhatLeavesAndWhen()
    {
        QUdpSocket device;
        QVERIFY(device.bind(QHostAddress::LocalHost, 0));
        ReceiverFixture f;
        f.settings.extraSections = "[Output paced]\nType=LineFeed\nProtocol=UDP\nHost=127.0.0.1\nPort="
            + QByteArray::number(device.localPort())
            + "\nSkip=title:^(jingle|id)$\nMinLength=3\nMinInterval=1\n[Output late]\nType=File\nFile=late.txt\n"
              "Delay=0.6\n[Output dab]\nType=DLS\nFile=dls.txt\nTemplate=Now: [{artist} - ]{title}\n"
              "[Output dab2]\nType=DLS\nFile=dls2.txt\nTemplate={title} by {artist}\n";
        QVERIFY(f.startAndSettle());
        QStringList received;
        connect(&device, &QUdpSocket::readyRead, this, [&] {
            while (device.hasPendingDatagrams()) {
                received << QString::fromUtf8(device.receiveDatagram().data());
            }
        });
        // The idle text's second start-up copy is no second text for a device.
        const QString idle = u"Quaverlink FM - Music"_s;
        QTRY_COMPARE(received, QStringList({idle}));
        QTRY_COMPARE(readBytes(f.file(u"late.txt"_s)), idle.toUtf8());
        // Within one MinInterval only the newest text that passes the
        // filters leaves, once; the delayed file gets each in its time.
        for (const QString &text : {u"First - Song"_s, u"Station - Jingle"_s, u"A - B"_s}) {
            f.receiver->applyItem(text);
        }
        QCOMPARE(readBytes(f.file(u"late.txt"_s)), idle.toUtf8());
        QTRY_COMPARE(readBytes(f.file(u"late.txt"_s)), QByteArray("A - B"));
        QTRY_COMPARE(received.size(), 2);
        QTest::qWait(1200);
        QCOMPARE(received, QStringList({idle, u"First - Song"_s}));

        // DAB+: the text, where its artist and title stand, and a toggle
        // that turns with every new item.
        f.receiver->applyItem(u"Bj\u00f6rk - J\u00f3ga"_s);
        const QString dls = f.file(u"dls.txt"_s);
        QTRY_VERIFY(readBytes(dls).endsWith("Now: Bj\xC3\xB6rk - J\xC3\xB3ga\n"));
        const QByteArray toggle = readBytes(dls).mid(readBytes(dls).indexOf("TOGGLE=") + 7, 1);
        QCOMPARE(readBytes(dls),
                 "##### parameters { #####\nDL_PLUS=1\nDL_PLUS_ITEM_TOGGLE=" + toggle
                     + "\nDL_PLUS_ITEM_RUNNING=1\nDL_PLUS_TAG=4 5 4\nDL_PLUS_TAG=1 13 3\n##### parameters } #####\n"
                       "Now: Bj\xC3\xB6rk - J\xC3\xB3ga\n");
        QTRY_VERIFY(readBytes(f.file(u"dls2.txt"_s)).contains("DL_PLUS_TAG=4 8 4\nDL_PLUS_TAG=1 0 3\n"));
        f.receiver->applyItem(u"ad"_s);
        QTRY_COMPARE(readBytes(dls),
                     "##### parameters { #####\nDL_PLUS=1\nDL_PLUS_ITEM_TOGGLE=" + QByteArray(toggle == "1" ? "0" : "1")
                         + "\nDL_PLUS_ITEM_RUNNING=0\n##### parameters } #####\nNow: " + idle.toUtf8() + '\n');
    }

    void webhookSendsExactBytesRetriesAndNeverHoldsUpTheAir()
    {
        // A hook that fails its first request and takes the rest, and one
        // that takes every connection and never answers.
        QTcpServer hook, hung;
        QVERIFY(hook.listen(QHostAddress::LocalHost) && hung.listen(QHostAddress::LocalHost));
        QList<QByteArray> requests;
        connect(&hook, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *client = hook.nextPendingConnection();
            connect(client, &QTcpSocket::readyRead, client, [&, client] {
                requests << client->readAll();
                client->write(requests.size() == 1 ? "HTTP/1.1 500 Oops\r\nContent-Length: 0\r\n\r\n"
                                                   : "HTTP/1.1 204 No Content\r\n\r\n");
                client->disconnectFromHost();
            });
        });
        ReceiverFixture f;
        const QByteArray port = QByteArray::number(hook.serverPort());
        f.settings.extraSections = "[Output hook]\nType=Webhook\nUrl=http://127.0.0.1:" + port
            + "/np?t={title}&a={artist}\nBody={\"text\": \"{text}\", \"parts\": [\"{artist}\", \"{title}\"]}\n"
              "Header=Authorization: Bearer S3cr3t\n"
              "[Output hung]\nType=Webhook\nUrl=http://127.0.0.1:"
            + QByteArray::number(hung.serverPort()) + "/\n[Output file]\nType=File\nFile=now.txt\n";
        QSignalSpy lines(f.station.get(), &Station::reported);
        QVERIFY(f.startAndSettle());
        QTRY_VERIFY(!requests.isEmpty());
        const QString text = u"A&B + C#1 - 100% \"Q\" \\ \u00e9"_s;
        f.receiver->applyItem(text);
        QTRY_VERIFY(requests.size() >= 2 && requests.last().contains("100%25"));
        const QByteArray last = requests.last();
        QVERIFY2(last.startsWith("POST /np?t=100%25%20%22Q%22%20%5C%20%C3%A9&a=A%26B%20%2B%20C%231 HTTP/1.1\r\n"),
                 last.constData());
        QVERIFY(last.contains("\r\nAuthorization: Bearer S3cr3t\r\n"));
        QVERIFY(last.endsWith("\r\n\r\n{\"text\": \"A&B + C#1 - 100% \\\"Q\\\" \\\\ \xC3\xA9\", \"parts\": "
                              "[\"A&B + C#1\", \"100% \\\"Q\\\" \\\\ \xC3\xA9\"]}"));
        QVERIFY(std::any_of(lines.cbegin(), lines.cend(), [](const QList<QVariant> &line) {
            return line.at(0).toString().contains(
                u"output hook: stopped working; the newest text is retried: HTTP 500"_s);
        }));
        // The hung hook holds its request; the air and the file move on.
        QTRY_COMPARE(readBytes(f.file(u"now.txt"_s)), text.toUtf8());
        QVERIFY(!f.station->outputSummary().contains(u"S3cr3t"_s));
        for (const QList<QVariant> &line : lines) {
            QVERIFY(!line.at(0).toString().contains(u"S3cr3t"_s));
        }
    }

    // A device gets the newest text, never a backlog; one that reads
    // nothing for 10 s is let go, and gets the newest once it is back.
    void slowDeviceGetsTheNewestAndAStuckOneIsLetGo()
    {
        QTcpServer device;
        QVERIFY(device.listen(QHostAddress::LocalHost));
        ReceiverFixture f;
        f.settings.extraSections = "[Output rds]\nType=LineFeed\nProtocol=TCP\nHost=127.0.0.1\nPort="
            + QByteArray::number(device.serverPort()) + "\nOneLine=N\nLineEnd=LF\n";
        QSignalSpy lines(f.station.get(), &Station::reported);
        QVERIFY(f.startAndSettle());
        QVERIFY(device.waitForNewConnection(5000));
        QTcpSocket *slow = device.nextPendingConnection();
        stopReading(*slow);
        const QString big(20000, u'x');
        for (int i = 0; i < 20; ++i) {
            f.receiver->applyItem(big + u"-end-%1"_s.arg(i));
        }
        QCOMPARE(f.metadata(), (big + u"-end-19\r\n\r\n"_s).toUtf8());
        QTest::qWait(500);
        const QByteArray received = readToTheEnd(*slow);
        // What the kernel's buffers took at once, then the newest alone.
        QVERIFY2(received.contains("-end-0\n") && received.endsWith("-end-19\n") && received.count("-end-") <= 3,
                 QByteArray::number(received.count("-end-")).constData());

        stopReading(*slow);
        f.receiver->applyItem(big + u"-end-20"_s);
        f.receiver->applyItem(big + u"-end-21"_s);
        QTRY_VERIFY_WITH_TIMEOUT(!lines.isEmpty() && lines.last().at(0).toString().contains(u"stopped reading"_s),
                                 15000);
        QVERIFY(device.waitForNewConnection(10000));
        QTcpSocket *back = device.nextPendingConnection();
        QTRY_VERIFY(back->canReadLine());
        QCOMPARE(back->readLine().right(8), QByteArray("-end-21\n"));
    }
};

QTEST_GUILESS_MAIN(OutputsTest)
#include "tst_outputs.moc"
