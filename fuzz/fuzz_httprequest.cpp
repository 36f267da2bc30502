// Any bytes as a request: parsing ends, and a complete request has a head
// within the bytes and the bound, a clean path and a body length of 0 or more.
#include "http/httprequest.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace quaverlink;
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    constexpr qsizetype kMaxHead = 1024;
    const HttpParse parsed = parseHttpRequest(bytes, kMaxHead);
    if (parsed.status != HttpParse::Status::Complete) {
        return 0;
    }
    const HttpRequest &request = parsed.request;
    if (request.headLength > bytes.size() || request.headLength > kMaxHead || !request.path.startsWith('/')
        || request.path.contains('\0') || request.path.contains(' ') || request.method.isEmpty()
        || request.contentLength < 0) {
        std::abort();
    }
    return 0;
}
