#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

namespace quaverlink {

// The head of one HTTP/1.x request: what the small servers here need to
// route it. The body, if any, is never read.
struct HttpRequest
{
    QByteArray method;
    QByteArray path;  // without the query
    QByteArray query; // after "?", without it
    QByteArray version;
    qsizetype headLength = 0; // bytes of the head, blank line included
};

struct HttpParse
{
    enum class Status { Complete, Incomplete, TooLarge, Malformed };
    Status status = Status::Incomplete;
    HttpRequest request; // when Complete
};

// Reads the request head at the start of bytes. Lines may end in CR LF or a
// bare LF; a head longer than maxHead is TooLarge; a request line that is not
// "METHOD /path HTTP/1.x", a header line without a colon, or a NUL or a blank
// in the target is Malformed. Bytes after the head (a pipelined request) are
// left alone.
HttpParse parseHttpRequest(QByteArrayView bytes, qsizetype maxHead);

} // namespace quaverlink
