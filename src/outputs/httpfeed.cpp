#include "sinks.h"

#include "common/socketqueue.h"
#include "http/httprequest.h"

#include <QJsonDocument>
#include <QJsonObject>
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
    explicit HttpFeed(const Outputs::Config &config)
        : Sink(config)
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] { accept(); });
    }

    void start() override
    {
        if (!m_server.listen(QHostAddress(m_config.host), m_config.port)) {
            failed(u"listening on %1 port %2: %3"_qs.arg(m_config.host).arg(m_config.port).arg(m_server.errorString()));
        } else {
            worked();
        }
    }

    void publish(const NowPlaying &playing) override
    {
        const auto [artist, title] = Template::split(playing.text);
        m_now = QJsonDocument(
                    QJsonObject {{u"text"_qs, playing.text},
                                 {u"display"_qs, m_config.renderer.renderText(playing)},
                                 {u"artist"_qs, artist},
                                 {u"title"_qs, title},
                                 {u"onAir"_qs,
                                  playing.onAir.toOffsetFromUtc(playing.onAir.offsetFromUtc()).toString(Qt::ISODate)},
                                 {u"idle"_qs, playing.isIdle},
                                 {u"previous"_qs, m_previous}})
                    .toJson(QJsonDocument::Compact);
        m_previous = playing.text;
        for (QTcpSocket *client : std::as_const(m_streams)) {
            sendEvent(client);
        }
    }

private:
    static constexpr qsizetype kMaxRequest = 8192;
    // Event streams stay open for hours; short requests come and go. Each
    // has its own room, so pages that stay cannot shut /now out.
    static constexpr qsizetype kMaxStreams = 64;
    static constexpr qsizetype kMaxConnections = 256;
    static constexpr qint64 kMaxUnread = 256 * 1024;
    static constexpr std::chrono::seconds kRequestTimeout {10};

    void accept()
    {
        while (QTcpSocket *client = m_server.nextPendingConnection()) {
            // The feed owns its clients, not the server: whatever they are
            // connected to is gone with the feed before any of them is
            // destroyed, so no handler of theirs runs into a dead feed.
            client->setParent(this);
            connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
            if (m_connections >= kMaxConnections && !makeRoom()) {
                client->abort();
                continue;
            }
            ++m_connections;
            connect(client, &QObject::destroyed, this, [this, client] {
                --m_connections;
                m_requests.remove(client);
                m_streams.removeOne(client);
            });
            connect(client, &QTcpSocket::readyRead, this, [this, client] { read(client); });
            // A client that never finishes its request would hold its place
            // for good, and enough of them would shut the pages out.
            QTimer::singleShot(kRequestTimeout, client, [this, client] {
                if (m_requests.contains(client)) {
                    client->abort();
                }
            });
            m_requests.insert(client, QByteArray());
        }
    }

    // A client that opens connections and never finishes a request (a
    // slowloris) must shut out only itself: when every place is taken, the
    // address with the most unfinished requests loses one of them.
    bool makeRoom()
    {
        QHash<QHostAddress, QList<QTcpSocket *>> pending;
        for (auto it = m_requests.keyBegin(); it != m_requests.keyEnd(); ++it) {
            pending[(*it)->peerAddress()] << *it;
        }
        const auto most = std::max_element(pending.cbegin(), pending.cend(),
                                           [](const auto &a, const auto &b) { return a.size() < b.size(); });
        if (most == pending.cend()) {
            return false;
        }
        QTcpSocket *victim = most->constFirst();
        m_requests.remove(victim);
        victim->abort();
        return true;
    }

    void read(QTcpSocket *client)
    {
        if (!m_requests.contains(client)) {
            client->readAll(); // a request was answered; what follows is not read
            return;
        }
        QByteArray &buffer = m_requests[client];
        buffer += client->read(kMaxRequest + 1 - buffer.size());
        const HttpParse parsed = parseHttpRequest(buffer, kMaxRequest);
        switch (parsed.status) {
        case HttpParse::Status::Incomplete:
            return;
        case HttpParse::Status::TooLarge:
            m_requests.remove(client);
            reply(client, "431 Request Header Fields Too Large", "text/plain", "request too large\n");
            return;
        case HttpParse::Status::Malformed:
            m_requests.remove(client);
            reply(client, "400 Bad Request", "text/plain", "bad request\n");
            return;
        case HttpParse::Status::Complete:
            m_requests.remove(client);
            route(client, parsed.request);
            return;
        }
    }

    void route(QTcpSocket *client, const HttpRequest &request)
    {
        const bool head = request.method == "HEAD";
        if (request.method != "GET" && !head) {
            reply(client, "405 Method Not Allowed", "text/plain", "only GET and HEAD\n", "Allow: GET, HEAD\r\n");
        } else if (request.path == "/now") {
            reply(client, "200 OK", "application/json; charset=utf-8", m_now + '\n', {}, head);
        } else if (request.path != "/events") {
            reply(client, "404 Not Found", "text/plain", "not found: /now and /events are served\n", {}, head);
        } else if (head) {
            reply(client, "200 OK", "text/event-stream; charset=utf-8", {}, {}, true);
        } else if (m_streams.size() >= kMaxStreams) {
            reply(client, "503 Service Unavailable", "text/plain", "too many event streams\n", "Retry-After: 10\r\n");
        } else {
            client->write("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream; charset=utf-8\r\n"
                          "Cache-Control: no-cache\r\nAccess-Control-Allow-Origin: *\r\n\r\n");
            m_streams << client;
            sendEvent(client);
        }
    }

    void sendEvent(QTcpSocket *client)
    {
        // A page that stopped reading is let go rather than buffered for;
        // what the kernel holds for it counts too.
        if (unsentBytes(*client) > kMaxUnread) {
            m_streams.removeOne(client);
            client->abort();
            return;
        }
        client->write("data: " + m_now + "\n\n");
    }

    static void reply(QTcpSocket *client, const QByteArray &status, const QByteArray &type, const QByteArray &body,
                      const QByteArray &extraHeaders = {}, bool headOnly = false)
    {
        client->write("HTTP/1.1 " + status + "\r\nContent-Type: " + type
                      + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n" + extraHeaders
                      + "Cache-Control: no-cache\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n"
                      + (headOnly ? QByteArray() : body));
        client->disconnectFromHost();
    }

    QTcpServer m_server;
    QHash<QTcpSocket *, QByteArray> m_requests; // clients whose request has not arrived whole
    QList<QTcpSocket *> m_streams;
    QByteArray m_now = "{}";
    QString m_previous;
    qsizetype m_connections = 0;
};

} // namespace

Sink *makeHttpFeed(const Outputs::Config &config)
{
    return new HttpFeed(config);
}

} // namespace quaverlink
