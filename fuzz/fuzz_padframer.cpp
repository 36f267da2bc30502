// Any bytes as the PAD feed: however the stream is cut into segments, the
// same documents come out, each a whole object or one stray line.
#include "pad/padupdate.h"

#include <cstdint>
#include <cstdlib>

static QList<QByteArray> documentsOf(const QByteArray &stream, qsizetype segment)
{
    quaverlink::PadFramer framer;
    QList<QByteArray> documents;
    for (qsizetype at = 0; at < stream.size(); at += segment) {
        framer.append(stream.mid(at, segment));
        while (const std::optional<QByteArray> document = framer.takeDocument()) {
            const bool object = document->startsWith('{') && document->endsWith('}');
            if (document->isEmpty() || (!object && document->contains('\n'))) {
                std::abort();
            }
            documents << *document;
        }
    }
    return documents;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray stream(reinterpret_cast<const char *>(data), qsizetype(size));
    if (size > 0 && documentsOf(stream, 1 + data[0] % 64) != documentsOf(stream, stream.size())) {
        std::abort();
    }
    return 0;
}
