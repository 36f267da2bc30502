// Any datagram: decoding never loses a byte, so the UTF-8 the program writes
// decodes back to the same text.
#include "receiver/codepage.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace quaverlink;
    const QString text = decode8Bit(QByteArrayView(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (decode8Bit(encode8Bit(text)) != text || text.size() > qsizetype(size)) {
        std::abort();
    }
    return 0;
}
