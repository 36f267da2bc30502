#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>

#include <optional>

namespace quaverlink {

// One HTTP/1.x request: what the small servers here need to route it.
struct HttpRequest
{
    QByteArray method;
    QByteArray path;  // without the query
    QByteArray query; // after "?", without it
    QByteArray version;
    qsizetype headLength = 0; // bytes of the head, blank line included
    QByteArray authorization; // the Authorization header's value
    qint64 contentLength = 0; // of the body that follows the head
    QByteArray body;          // filled by the server, once it has arrived
    QHostAddress peer;        // filled by the server
};

struct HttpParse
{
    enum class Status { Complete, Incomplete, TooLarge, Malformed };
    Status status = Status::Incomplete;
    HttpRequest request; // when Complete
};

// Reads the request head at the start of bytes. Lines may end in CR LF or a
// bare LF; a head longer than maxHead is TooLarge; a request line that is not
// "METHOD /path HTTP/1.x", a header line without a colon, a NUL or a blank
// in the target, a Content-Length that is not one number, or a
// Transfer-Encoding (only a body of known length is read) is Malformed.
// Bytes after the head are left alone.
HttpParse parseHttpRequest(QByteArrayView bytes, qsizetype maxHead);

} // namespace quaverlink
