#include "httprequest.h"

#include <algorithm>

namespace quaverlink {
namespace {

bool isTokenChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')
        || QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

std::optional<HttpRequest> parseRequestLine(QByteArrayView line)
{
    const qsizetype firstBlank = line.indexOf(' ');
    const qsizetype lastBlank = line.lastIndexOf(' ');
    if (firstBlank <= 0 || lastBlank == firstBlank) {
        return std::nullopt;
    }
    const QByteArrayView method = line.first(firstBlank);
    const QByteArrayView target = line.sliced(firstBlank + 1, lastBlank - firstBlank - 1);
    const QByteArrayView version = line.sliced(lastBlank + 1);
    const bool targetIsClean = std::none_of(target.begin(), target.end(),
                                            [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F; });
    if (!std::all_of(method.begin(), method.end(), isTokenChar) || !target.startsWith('/') || !targetIsClean
        || !version.startsWith("HTTP/1.") || version.size() != 8) {
        return std::nullopt;
    }
    HttpRequest request;
    request.method = method.toByteArray();
    const qsizetype question = target.indexOf('?');
    request.path = (question < 0 ? target : target.first(question)).toByteArray();
    request.query = question < 0 ? QByteArray() : target.sliced(question + 1).toByteArray();
    request.version = version.toByteArray();
    return request;
}

// The headers a route may need. False for a length that is not one number
// (or two different ones), and for a body of unknown length.
bool readHeader(QByteArrayView line, HttpRequest &request)
{
    const qsizetype colon = line.indexOf(':');
    const QByteArrayView name = line.first(colon).trimmed();
    const QByteArrayView value = line.sliced(colon + 1).trimmed();
    if (name.compare("Authorization", Qt::CaseInsensitive) == 0) {
        request.authorization = value.toByteArray();
    } else if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
        const bool digits = !value.isEmpty() && value.size() <= 12
            && std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
        const qint64 length = digits ? value.toLongLong() : -1;
        if (!digits || (request.contentLength != 0 && request.contentLength != length)) {
            return false;
        }
        request.contentLength = length;
    } else if (name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0) {
        return false;
    }
    return true;
}

} // namespace

HttpParse parseHttpRequest(QByteArrayView bytes, qsizetype maxHead)
{
    std::optional<HttpRequest> request;
    qsizetype start = 0;
    // Blank lines before the request line are allowed by RFC 9112.
    while (start < bytes.size() && (bytes[start] == '\r' || bytes[start] == '\n')) {
        ++start;
    }
    while (true) {
        const qsizetype newline = bytes.indexOf('\n', start);
        if (newline < 0) {
            return {bytes.size() > maxHead ? HttpParse::Status::TooLarge : HttpParse::Status::Incomplete, {}};
        }
        if (newline + 1 > maxHead) {
            return {HttpParse::Status::TooLarge, {}};
        }
        QByteArrayView line = bytes.sliced(start, newline - start);
        if (line.endsWith('\r')) {
            line.chop(1);
        }
        start = newline + 1;
        if (!request) {
            if (!(request = parseRequestLine(line))) {
                return {HttpParse::Status::Malformed, {}};
            }
        } else if (line.isEmpty()) {
            request->headLength = start;
            return {HttpParse::Status::Complete, *request};
        } else if (line.indexOf(':') <= 0 || line.contains('\0') || !readHeader(line, *request)) {
            return {HttpParse::Status::Malformed, {}};
        }
    }
}

} // namespace quaverlink
