#pragma once

#include "httprequest.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QTimer>

#include <functional>

class QTcpSocket;

namespace quaverlink {

// The small HTTP server behind the receiver's feeds: it listens, reads
// requests within their limits and time, answers GET and HEAD (and the
// methods a route asks for; 405 to others) and keeps Server-Sent Event
// streams. What each path answers is
// the route's business. It serves no file and reads nothing but requests.
class HttpServer final : public QObject
{
public:
    struct Reply
    {
        QByteArray status = "200 OK";
        QByteArray type;
        QByteArray body; // for a stream, its first event
        bool stream = false;
        QByteArray headers {}; // more header lines, each ending in CR LF
    };
    using Route = std::function<Reply(const HttpRequest &request)>;

    // With anyOrigin, every answer allows pages of any origin to read it
    // (Access-Control-Allow-Origin: *), as a feed for overlays must.
    explicit HttpServer(Route route, bool anyOrigin = true, QObject *parent = nullptr);

    // Besides GET and HEAD, these methods reach the route, with bodies of
    // at most maxBody bytes (413 beyond).
    void acceptMethods(const QList<QByteArray> &methods, qsizetype maxBody);

    bool listen(const QHostAddress &address, quint16 port);
    QString errorString() const { return m_server.errorString(); }
    // Sends an event to every stream; one that leaves too much unread is let go.
    void sendToStreams(const QByteArray &event);
    bool hasStreams() const { return !m_streams.isEmpty(); }

private:
    static constexpr qsizetype kMaxRequest = 8192;
    // Event streams stay open for hours; short requests come and go. Each
    // has its own room, so pages that stay cannot shut the others out.
    static constexpr qsizetype kMaxStreams = 64;
    static constexpr qsizetype kMaxConnections = 256;
    static constexpr qint64 kMaxUnread = 256 * 1024;
    static constexpr std::chrono::seconds kRequestTimeout {10};
    // Answers not yet taken by their clients, all together; an answer that
    // does not fit is a 503 instead, and one not taken within the deadline
    // goes with its connection.
    static constexpr qint64 kMaxPendingReplies = 32 * 1024 * 1024;
    static constexpr std::chrono::seconds kReplyDeadline {30};
    static constexpr std::chrono::seconds kKeepAlive {15};

    void accept();
    bool makeRoom();
    void read(QTcpSocket *client);
    void answer(QTcpSocket *client, const HttpRequest &request);
    void send(QTcpSocket *client, const QByteArray &event);
    void reply(QTcpSocket *client, QByteArray status, QByteArray type, QByteArray body, QByteArray extraHeaders = {},
               bool headOnly = false);
    qint64 pendingReplyBytes() const;

    Route m_route;
    QByteArray m_originHeader;
    QTcpServer m_server;
    QHash<QTcpSocket *, QByteArray> m_requests; // clients whose request has not arrived whole
    QList<QTcpSocket *> m_streams;
    QList<QTcpSocket *> m_answered; // replies on their way
    QTimer m_keepAlive;
    qsizetype m_connections = 0;
    QList<QByteArray> m_methods {"GET", "HEAD"};
    qsizetype m_maxBody = 0;
};

} // namespace quaverlink
