// Any datagram as a play: the record splits at the first dash only, keeps
// every other character, and the text decodes the same after a round trip
// through the UTF-8 the program writes.
#include "playlog/playrecord.h"
#include "receiver/codepage.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace quaverlink;
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString text = decode8Bit(bytes);
    if (decode8Bit(encode8Bit(text)) != text) {
        std::abort();
    }
    const PlayRecord record = MakePlayRecord(text, QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5)));
    if (record.fulltext != text || record.playedat.size() != 19 || record.dashfound != text.contains(u'-')) {
        std::abort();
    }
    if (record.dashfound) {
        QString others = text;
        others.remove(u'-');
        const qsizetype trimmed = others.size() - record.firstpart.size() - record.secondpart.size();
        if (record.firstpart.contains(u'-') || record.secondpart.contains(u'-') || trimmed < 0 || trimmed > 2) {
            std::abort();
        }
    }
    return 0;
}
