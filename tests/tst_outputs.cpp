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

QByteArray httpGet(const QString &url, int *status = nullptr, const QByteArray &method = "GET")
{
    static QNetworkAccessManager network;
    QNetworkReply *reply = network.sendCustomRequest(QNetworkRequest(QUrl(url)), method);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    finished.wait(5000);
    reply->deleteLater();
    if (status) {
        *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    }
    return reply->readAll();
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
        QSignalSpy lines(f.receiver.get(), &Receiver::failureReported);
        QVERIFY(f.startAndSettle());
        f.receiver->applyItem(u"Bj\u00f6rk - J\u00f3ga \u2013 Live"_s);
        QTRY_COMPARE(icecastTitle(port, u"/live"_s), u"Bj\u00f6rk - J\u00f3ga - Live"_s);
        QTRY_COMPARE(icecastTitle(port, u"/utf8"_s), u"Bj\u00f6rk - J\u00f3ga \u2013 Live"_s);
        QTRY_COMPARE(lines.count(), 1);
        const QString line = lines.at(0).at(0).toString();
        QVERIFY2(line.contains(u"output refused"_s) && line.contains(u"401"_s), qPrintable(line));
        QVERIFY(!line.contains(u"Wr0ng-p4ss"_s));
        QTRY_VERIFY(f.receiver->outputSummary().contains(u"refused: not working: HTTP 401"_s));
    }

    void lineFeedsReachTheirDevicesAndReconnect()
    {
        QTcpServer encoder;
        QUdpSocket datagrams;
        QVERIFY(encoder.listen(QHostAddress::LocalHost) && datagrams.bind(QHostAddress::LocalHost, 0));
        ReceiverFixture f;
        f.settings.extraSections = "[Output rds]\nType=LineFeed\nProtocol=TCP\nHost=127.0.0.1\nPort="
            + QByteArray::number(encoder.serverPort())
            + "\nTemplate=RT1={text}\nCharset=ASCII\nMaxLength=20\n"
              "LineEnd=CRLF\n[Output udp]\nType=LineFeed\nProtocol=UDP\nHost=127.0.0.1\nPort="
            + QByteArray::number(datagrams.localPort()) + "\n";
        QVERIFY(f.startAndSettle());
        QVERIFY(encoder.waitForNewConnection(5000));
        QTcpSocket *device = encoder.nextPendingConnection();
        // Lines until the wanted one; a device may see the idle text twice first.
        const auto receives = [](QTcpSocket *socket, const QByteArray &wanted) {
            QByteArray line;
            while (line != wanted && QTest::qWaitFor([socket] { return socket->canReadLine(); })) {
                line = socket->readLine();
            }
            return line == wanted;
        };
        QVERIFY(receives(device, "RT1=Quaverlink FM -\r\n"));
        f.receiver->applyItem(u"Bj\u00f6rk - J\u00f3ga"_s);
        QVERIFY(receives(device, "RT1=Bjork - Joga\r\n"));
        QTRY_VERIFY(datagrams.hasPendingDatagrams());
        QByteArray last;
        while (datagrams.hasPendingDatagrams()) {
            last = datagrams.receiveDatagram().data();
        }
        QCOMPARE(last, QByteArray("Bj\xC3\xB6rk - J\xC3\xB3ga"));

        // The encoder restarts: the feed connects again and sends the text on air.
        const quint16 port = encoder.serverPort();
        delete device;
        encoder.close();
        QTest::qWait(100);
        QVERIFY(encoder.listen(QHostAddress::LocalHost, port));
        QVERIFY(encoder.waitForNewConnection(10000));
        QVERIFY(receives(encoder.nextPendingConnection(), "RT1=Bjork - Joga\r\n"));
    }

    void httpFeedServesNowAndEventsOnly()
    {
        const quint16 port = freeUdpPort();
        ReceiverFixture f;
        f.settings.extraSections = "[Output web]\nType=HTTP\nPort=" + QByteArray::number(port) + "\n";
        QVERIFY(f.startAndSettle());
        // The feed listens on the outputs' own thread, a moment after start.
        QTRY_VERIFY(f.receiver->outputSummary().contains(u"web: working"_s));
        const QString base = u"http://127.0.0.1:%1"_s.arg(port);
        QTcpSocket events;
        events.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(events.waitForConnected());
        events.write("GET /events HTTP/1.1\r\nHost: x\r\n\r\n");
        f.receiver->applyItem(u"First - One"_s);
        f.receiver->applyItem(u"Second - Two"_s);
        QTRY_VERIFY((events.peek(1 << 16)).contains("Second - Two"));
        const QByteArray stream = events.readAll();
        QVERIFY(stream.startsWith("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream"));
        QVERIFY(stream.indexOf("\"First - One\"") < stream.indexOf("\"text\":\"Second - Two\""));

        const QJsonObject now = QJsonDocument::fromJson(httpGet(base + u"/now"_s)).object();
        QCOMPARE(now[u"text"_s].toString(), u"Second - Two"_s);
        QCOMPARE(now[u"title"_s].toString(), u"Two"_s);
        QCOMPARE(now[u"previous"_s].toString(), u"First - One"_s);
        QCOMPARE(now[u"idle"_s].toBool(), false);
        int status = 0;
        httpGet(base + u"/../Quaverlink.ini"_s, &status);
        QCOMPARE(status, 404);
        httpGet(base + u"/now"_s, &status, "DELETE");
        QCOMPARE(status, 405);
    }

    void deviceThatNeverReadsHoldsNothingUp()
    {
        QTcpServer stuck;
        QVERIFY(stuck.listen(QHostAddress::LocalHost));
        ReceiverFixture f;
        f.settings.extraSections = "[Output stuck]\nType=LineFeed\nProtocol=TCP\nHost=127.0.0.1\nPort="
            + QByteArray::number(stuck.serverPort()) + "\nOneLine=N\n";
        QSignalSpy lines(f.receiver.get(), &Receiver::failureReported);
        QVERIFY(f.startAndSettle());
        const QString big(20000, u'x');
        for (int i = 0; i < 500; ++i) {
            f.receiver->applyItem(big + QString::number(i));
        }
        QCOMPARE(f.metadata(), (big + u"499\r\n\r\n"_s).toUtf8());
        QTRY_VERIFY(!lines.isEmpty() && lines.last().at(0).toString().contains(u"stopped reading"_s));
    }
};

QTEST_GUILESS_MAIN(OutputsTest)
#include "tst_outputs.moc"
