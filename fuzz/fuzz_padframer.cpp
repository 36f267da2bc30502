// Any bytes as the PAD feed: however the stream is cut into segments, the
// same documents come out, each a whole object or one stray line, and
// nothing that came is kept past the bound.
#include "pad/padupdate.h"

#include <cstdint>
#include <cstdlib>

namespace {

QList<QByteArray> documentsOf(const QByteArray &stream, qsizetype segment)
{
    quaverlink::PadFramer framer;
    QList<QByteArray> documents;
    for (qsizetype at = 0; at < stream.size(); at += segment) {
        framer.append(stream.mid(at, segment));
        while (const std::optional<QByteArray> document = framer.takeDocument()) {
            documents << *document;
        }
        if (framer.isOverflowing()) {
            break;
        }
    }
    return documents;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    const qsizetype segment = 1 + data[0] % 64;
    const QByteArray stream(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const QList<QByteArray> whole = documentsOf(stream, qMax<qsizetype>(stream.size(), 1));
    if (documentsOf(stream, segment) != whole) {
        std::abort();
    }
    for (const QByteArray &document : whole) {
        const bool object = document.startsWith('{') && document.endsWith('}');
        if (document.isEmpty() || (!object && document.contains('\n'))) {
            std::abort();
        }
    }
    return 0;
}
