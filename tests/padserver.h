#pragma once

// A stand-in for Rivendell's PAD feed, as each release frames it.

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace testsupport {

using namespace Qt::StringLiterals;

// How each Rivendell release frames its documents (rdpadd's own code):
// 3.x CR LF lines and an empty line after each, 4.0 to 4.2.1 LF lines and
// an empty line, 4.2.2 and later the trimmed document and nothing between.
enum class Framing { Release3, Release4, Release422 };

inline QJsonObject merged(QJsonObject object, const QJsonObject &more)
{
    for (auto it = more.begin(); it != more.end(); ++it) {
        object.insert(it.key(), it.value());
    }
    return object;
}

inline QJsonObject item(int cart, const QString &group, const QString &artist, const QString &title,
                        const QJsonObject &more = {})
{
    const QString start = QDateTime::currentDateTime().toOffsetFromUtc(3600).toString(Qt::ISODate);
    return merged({{u"cartNumber"_s, cart},
                   {u"cutNumber"_s, 1},
                   {u"groupName"_s, group},
                   {u"artist"_s, artist},
                   {u"title"_s, title},
                   {u"length"_s, 215400},
                   {u"startDateTime"_s, start}},
                  more);
}

// Speaks the feed: the current state to each client that connects, then
// whatever the test sends.
class PadServer final : public QObject
{
public:
    Framing framing = Framing::Release422;
    QByteArray state;
    int connections = 0;
    bool dropEach = false; // a flapping host: the state, and the connection is gone

    PadServer()
    {
        QVERIFY(m_server.listen(QHostAddress::LocalHost));
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *client = m_server.nextPendingConnection()) {
                ++connections;
                m_clients << client;
                client->write(state);
                if (dropEach) {
                    client->disconnectFromHost();
                }
            }
        });
    }
    quint16 port() const { return m_server.serverPort(); }

    // A document as the release writes it.
    QByteArray document(const QJsonValue &now, const QJsonValue &next = QJsonValue::Null, int machine = 1,
                        const QJsonObject &more = {}) const
    {
        const QJsonObject update = merged({{u"machine"_s, machine},
                                           {u"onairFlag"_s, true},
                                           {u"now"_s, now},
                                           {u"hostName"_s, u"studio-a"_s},
                                           {u"next"_s, next},
                                           {u"service"_s, QJsonObject {{u"description"_s, u"Production Log"_s}}}},
                                          more);
        const QByteArray json = QJsonDocument(QJsonObject {{u"padUpdate"_s, update}}).toJson();
        return framing == Framing::Release3 ? QByteArray(json).replace("\n", "\r\n") + "\r\n"
            : framing == Framing::Release4  ? json + "\n"
                                            : json.trimmed();
    }
    void send(const QByteArray &bytes)
    {
        for (QTcpSocket *client : std::as_const(m_clients)) {
            client->write(bytes);
            client->flush();
        }
    }
    void play(const QByteArray &document)
    {
        state = document;
        send(document);
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

inline QByteArray padSection(const PadServer &pad, const QByteArray &more = {})
{
    return "[PAD]\nHost=127.0.0.1\nPort=" + QByteArray::number(pad.port()) + '\n' + more;
}

} // namespace testsupport
