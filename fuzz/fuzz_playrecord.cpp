// Any datagram as a play: the text decodes the same after a round trip
// through the UTF-8 the program writes, and the record splits at the first
// dash only, keeping every other character.
#include "playlog/playrecord.h"
#include "receiver/codepage.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace quaverlink;
    const QString text = decode8Bit(QByteArrayView(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (decode8Bit(encode8Bit(text)) != text) {
        std::abort();
    }
    const PlayRecord record = PlayRecord::fromText(text, QStringLiteral("2026-01-02 03:04:05"));
    QString others = text;
    others.remove(u'-');
    const qsizetype trimmed = others.size() - record.artist.size() - record.title.size();
    if (record.hasDash != text.contains(u'-') || record.artist.contains(u'-') || record.title.contains(u'-')
        || (record.hasDash && (trimmed < 0 || trimmed > 2))) {
        std::abort();
    }
    return 0;
}
