#include "httpserver.h"

#include "common/socketqueue.h"

#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTimer>

namespace quaverlink {

HttpServer::HttpServer(Route route, bool anyOrigin, QObject *parent)
    : QObject(parent)
    , m_route(std::move(route))
    , m_originHeader(anyOrigin ? "Access-Control-Allow-Origin: *\r\n" : "")
{
    // Pages are served here, never through a proxy of the system's.
    m_server.setProxy(QNetworkProxy::NoProxy);
    connect(&m_server, &QTcpServer::newConnection, this, &HttpServer::accept);
    // A reverse proxy that times out quiet reads would cut a stream that
    // has nothing to say; a comment every so often keeps it open.
    m_keepAlive.setInterval(kKeepAlive);
    connect(&m_keepAlive, &QTimer::timeout, this, [this] { sendToStreams(": keep-alive\n\n"); });
    m_keepAlive.start();
}

void HttpServer::acceptMethods(const QList<QByteArray> &methods, qsizetype maxBody)
{
    m_methods = QList<QByteArray> {"GET", "HEAD"} + methods;
    m_maxBody = maxBody;
}

bool HttpServer::listen(const QHostAddress &address, quint16 port)
{
    return m_server.listen(address, port);
}

void HttpServer::accept()
{
    while (QTcpSocket *client = m_server.nextPendingConnection()) {
        // The server object owns its clients, not the QTcpServer: whatever
        // they are connected to is gone with it before any of them is
        // destroyed, so no handler of theirs runs into a dead server.
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
            m_answered.removeOne(client);
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
bool HttpServer::makeRoom()
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

void HttpServer::read(QTcpSocket *client)
{
    if (!m_requests.contains(client)) {
        client->readAll(); // a request was answered; what follows is not read
        return;
    }
    QByteArray &buffer = m_requests[client];
    buffer += client->read(kMaxRequest + m_maxBody + 1 - buffer.size());
    HttpParse parsed = parseHttpRequest(buffer, kMaxRequest);
    const bool complete = parsed.status == HttpParse::Status::Complete;
    const qint64 length = parsed.request.contentLength;
    if (parsed.status == HttpParse::Status::Incomplete
        || (complete && length <= m_maxBody && buffer.size() < parsed.request.headLength + length)) {
        return;
    }
    // The buffer goes with the request's entry: what is read of it, first.
    if (complete && length <= m_maxBody) {
        parsed.request.body = buffer.mid(parsed.request.headLength, length);
        parsed.request.peer = client->peerAddress();
    }
    m_requests.remove(client);
    if (complete && length > m_maxBody) {
        reply(client, "413 Content Too Large", "text/plain", "the body is too large\n");
        return;
    }
    switch (parsed.status) {
    case HttpParse::Status::TooLarge:
        reply(client, "431 Request Header Fields Too Large", "text/plain", "request too large\n");
        break;
    case HttpParse::Status::Malformed:
        reply(client, "400 Bad Request", "text/plain", "bad request\n");
        break;
    default:
        answer(client, parsed.request);
        break;
    }
}

void HttpServer::answer(QTcpSocket *client, const HttpRequest &request)
{
    const bool head = request.method == "HEAD";
    if (!m_methods.contains(request.method)) {
        const QByteArray allowed = m_methods.join(", ");
        reply(client, "405 Method Not Allowed", "text/plain", "only " + allowed + "\n", "Allow: " + allowed + "\r\n");
        return;
    }
    const Reply answer = m_route(request);
    if (!answer.stream || head) {
        reply(client, answer.status, answer.type, answer.stream ? QByteArray() : answer.body, answer.headers, head);
    } else if (m_streams.size() >= kMaxStreams) {
        reply(client, "503 Service Unavailable", "text/plain", "too many event streams\n", "Retry-After: 10\r\n");
    } else {
        client->write("HTTP/1.1 200 OK\r\nContent-Type: " + answer.type + "\r\n" + answer.headers
                      + "Cache-Control: no-cache\r\n" + m_originHeader + "\r\n");
        m_streams << client;
        // A page that loses the stream asks again after 3 s.
        send(client, "retry: 3000\n\n" + answer.body);
    }
}

void HttpServer::sendToStreams(const QByteArray &event)
{
    for (QTcpSocket *client : QList(m_streams)) {
        send(client, event);
    }
}

void HttpServer::send(QTcpSocket *client, const QByteArray &event)
{
    // A page that stopped reading is let go rather than buffered for; what
    // the kernel holds for it counts too.
    if (unsentBytes(*client) > kMaxUnread) {
        m_streams.removeOne(client);
        client->abort();
        return;
    }
    client->write(event);
}

void HttpServer::reply(QTcpSocket *client, QByteArray status, QByteArray type, QByteArray body, QByteArray extraHeaders,
                       bool headOnly)
{
    constexpr qsizetype kSmall = 4096;
    if (body.size() > kSmall && pendingReplyBytes() + body.size() > kMaxPendingReplies) {
        status = "503 Service Unavailable";
        type = "text/plain";
        body = "too many answers wait for their clients\n";
        extraHeaders = "Retry-After: 10\r\n";
    }
    client->write("HTTP/1.1 " + status + "\r\nContent-Type: " + type + "\r\nContent-Length: "
                  + QByteArray::number(body.size()) + "\r\n" + extraHeaders + "Cache-Control: no-cache\r\n"
                  + m_originHeader + "Connection: close\r\n\r\n" + (headOnly ? QByteArray() : body));
    m_answered << client;
    QTimer::singleShot(kReplyDeadline, client, [client] { client->abort(); });
    client->disconnectFromHost();
}

qint64 HttpServer::pendingReplyBytes() const
{
    qint64 bytes = 0;
    for (const QTcpSocket *client : m_answered) {
        bytes += client->bytesToWrite();
    }
    return bytes;
}

} // namespace quaverlink
