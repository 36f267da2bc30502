#include "testsupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QtTest>

using namespace quaverlink;
using namespace testsupport;

// The web face of a running station, asked over loopback as a monitoring
// system and a page would ask it.
class WebFaceTest final : public QObject
{
    Q_OBJECT

    struct Answer
    {
        int status = 0;
        QByteArray body;
    };

    Answer get(quint16 port, const QString &path)
    {
        QNetworkReply *reply = m_network.get(QNetworkRequest(QUrl(u"http://127.0.0.1:%1%2"_s.arg(port).arg(path))));
        QSignalSpy finished(reply, &QNetworkReply::finished);
        finished.wait(5000);
        Answer answer {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll()};
        reply->deleteLater();
        return answer;
    }

    // A sample's value in the Prometheus text, the line "name value".
    static QByteArray sample(const QByteArray &metrics, const QByteArray &name)
    {
        for (const QByteArray &line : metrics.split('\n')) {
            if (line.startsWith(name + ' ')) {
                return line.mid(name.size() + 1);
            }
        }
        return QByteArray("absent");
    }

    QNetworkAccessManager m_network;

private Q_SLOTS:
    void healthMetricsAndPlaysTellHowTheStationStands()
    {
        ReceiverFixture f;
        const quint16 web = freeTcpPort();
        const RefusingPort noDevice;
        f.settings.extraSections = "[Web]\nPort=" + QByteArray::number(web)
            + "\nHealthOutputMinutes=0\n[Output rds]\nType=LineFeed\nProtocol=TCP\nHost=127.0.0.1\nPort="
            + noDevice.text() + "\n";
        QVERIFY(f.startAndSettle());
        f.receiver->applyItem(u"Alpha - One"_s);
        f.receiver->applyItem(u"Beta - Two"_s);

        // The newest first, the idle text's start-up copies no plays, and
        // a limit outside 1 to 50 refused.
        const Answer plays = get(web, u"/api/plays"_s);
        QCOMPARE(plays.status, 200);
        const QJsonArray list = QJsonDocument::fromJson(plays.body).array();
        QCOMPARE(list.size(), 2);
        QCOMPARE(list.at(0)[u"text"_s].toString(), u"Beta - Two"_s);
        QCOMPARE(list.at(1)[u"text"_s].toString(), u"Alpha - One"_s);
        QVERIFY(list.at(0)[u"pad"_s].isNull());
        QCOMPARE(QJsonDocument::fromJson(get(web, u"/api/plays?limit=1"_s).body).array().size(), 1);
        for (const QString &limit : {u"0"_s, u"51"_s, u"many"_s}) {
            QCOMPARE(get(web, u"/api/plays?limit="_s + limit).status, 400);
        }

        const QByteArray metrics = get(web, u"/metrics"_s).body;
        QCOMPARE(sample(metrics, "quaverlink_listening"), QByteArray("1"));
        QCOMPARE(sample(metrics, "quaverlink_items_applied_total"), QByteArray("4"));
        QCOMPARE(sample(metrics, "quaverlink_idle_texts_total"), QByteArray("2"));
        QCOMPARE(sample(metrics, "quaverlink_play_history_enabled"), QByteArray("0"));

        // The line feed's device is not there: with no grace at all, that
        // is a problem at once, and /health says which.
        QTRY_COMPARE(get(web, u"/health"_s).status, 503);
        const QJsonObject health = QJsonDocument::fromJson(get(web, u"/health"_s).body).object();
        QCOMPARE(health[u"status"_s].toString(), u"failing"_s);
        QVERIFY(health[u"problems"_s].toArray().at(0).toString().startsWith(u"output rds stopped working at "_s));
        QVERIFY(get(web, u"/metrics"_s).body.contains("quaverlink_output_up{output=\"rds\"} 0\n"));
    }

    void aHealthyStationSaysSo()
    {
        ReceiverFixture f;
        const quint16 web = freeTcpPort();
        f.settings.extraSections = "[Web]\nPort=" + QByteArray::number(web) + "\nSilenceMinutes=5\n";
        QVERIFY(f.startAndSettle());
        const Answer health = get(web, u"/health"_s);
        QCOMPARE(health.status, 200);
        QCOMPARE(QJsonDocument::fromJson(health.body).object()[u"status"_s].toString(), u"ok"_s);
        QCOMPARE(get(web, u"/nothing-here"_s).status, 404);
    }
};

QTEST_GUILESS_MAIN(WebFaceTest)
#include "tst_webface.moc"
