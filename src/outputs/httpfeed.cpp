#include "sinks.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace quaverlink {
namespace {

// A small HTTP server for web pages and browser sources: GET /now gives the
// text on air as JSON, GET /events streams every change as Server-Sent
// Events. It serves nothing else, and never touches a file.
class HttpFeed final : public Sink
{
public:
    HttpFeed(const Outputs::Config &config, Outputs::Report report, Outputs::StateReport state)
        : Sink(config, std::move(report), std::move(state))
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] { accept(); });
        if (!m_server.listen(QHostAddress(config.host), config.port)) {
            failed(u"listening on %1 port %2: %3"_qs.arg(config.host).arg(config.port).arg(m_server.errorString()));
        } else {
            worked();
        }
    }

    void publish(const NowPlaying &playing) override
    {
        const auto [artist, title] = Template::split(playing.text);
        m_now = QJsonDocument(
                    QJsonObject {{u"text"_qs, playing.text},
                                 {u"artist"_qs, artist},
                                 {u"title"_qs, title},
                                 {u"onAir"_qs,
                                  playing.onAir.toOffsetFromUtc(playing.onAir.offsetFromUtc()).toString(Qt::ISODate)},
                                 {u"idle"_qs, playing.isIdle},
                                 {u"previous"_qs, m_previous}})
                    .toJson(QJsonDocument::Compact);
        m_previous = playing.text;
        for (const QPointer<QTcpSocket> &client : std::as_const(m_streams)) {
            if (client) {
                sendEvent(client);
            }
        }
        m_streams.removeAll(nullptr);
    }

private:
    static constexpr qsizetype kMaxRequest = 8192;
    static constexpr qsizetype kMaxClients = 64;
    static constexpr qint64 kMaxUnread = 256 * 1024;
    static constexpr std::chrono::seconds kRequestTimeout {10};

    void accept()
    {
        while (QTcpSocket *client = m_server.nextPendingConnection()) {
            connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
            if (m_clients >= kMaxClients) {
                reply(client, "503 Service Unavailable", "text/plain", "busy\n");
                continue;
            }
            ++m_clients;
            connect(client, &QObject::destroyed, this, [this, client] {
                --m_clients;
                m_requests.remove(client);
            });
            connect(client, &QTcpSocket::readyRead, this, [this, client] { read(client); });
            // A client that never finishes its request would hold its place
            // for good, and enough of them would shut the pages out.
            QTimer::singleShot(kRequestTimeout, client, [this, client] {
                if (!m_streams.contains(client) && client->state() == QAbstractSocket::ConnectedState) {
                    client->abort();
                }
            });
        }
    }

    void read(QTcpSocket *client)
    {
        QByteArray &request = m_requests[client];
        request += client->readAll();
        const qsizetype end = request.indexOf("\r\n\r\n");
        if (end < 0 && request.size() <= kMaxRequest) {
            return;
        }
        const QList<QByteArray> line = request.left(request.indexOf("\r\n")).split(' ');
        m_requests.remove(client);
        disconnect(client, &QTcpSocket::readyRead, this, nullptr);
        const QByteArray path = line.value(1).split('?').value(0);
        if (end < 0 || line.size() != 3) {
            reply(client, "400 Bad Request", "text/plain", "bad request\n");
        } else if (line[0] != "GET") {
            reply(client, "405 Method Not Allowed", "text/plain", "only GET\n");
        } else if (path == "/now") {
            reply(client, "200 OK", "application/json; charset=utf-8", m_now + '\n');
        } else if (path == "/events") {
            client->write("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream; charset=utf-8\r\n"
                          "Cache-Control: no-cache\r\nAccess-Control-Allow-Origin: *\r\n\r\n");
            m_streams << client;
            sendEvent(client);
        } else {
            reply(client, "404 Not Found", "text/plain", "not found: /now and /events are served\n");
        }
    }

    void sendEvent(QTcpSocket *client)
    {
        // A page that stopped reading is let go rather than buffered for.
        if (client->bytesToWrite() > kMaxUnread) {
            client->abort();
            return;
        }
        client->write("data: " + m_now + "\n\n");
    }

    static void reply(QTcpSocket *client, const QByteArray &status, const QByteArray &type, const QByteArray &body)
    {
        client->write("HTTP/1.1 " + status + "\r\nContent-Type: " + type
                      + "\r\nContent-Length: " + QByteArray::number(body.size())
                      + "\r\nCache-Control: no-cache\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n"
                      + body);
        client->disconnectFromHost();
    }

    QTcpServer m_server;
    QHash<QTcpSocket *, QByteArray> m_requests;
    QList<QPointer<QTcpSocket>> m_streams;
    QByteArray m_now = "{}";
    QString m_previous;
    qsizetype m_clients = 0;
};

} // namespace

Sink *makeHttpFeed(const Outputs::Config &config, Outputs::Report report, Outputs::StateReport state)
{
    return new HttpFeed(config, std::move(report), std::move(state));
}

} // namespace quaverlink
