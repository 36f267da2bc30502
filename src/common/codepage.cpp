#include "codepage.h"

#include <array>

namespace quaverlink {
namespace {

// 0x80..0x9F of Windows-1252. The five bytes the code page leaves unassigned
// keep their own value, as Windows' own conversion does.
// clang-format off
constexpr std::array<char16_t, 32> kWindows1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};
// clang-format on

char16_t windows1252(unsigned char byte)
{
    if (byte >= 0x80 && byte <= 0x9F) {
        return kWindows1252High[byte - 0x80];
    }
    return byte;
}

bool isContinuation(unsigned char byte)
{
    return (byte & 0xC0) == 0x80;
}

// Length and code point of the well-formed UTF-8 sequence at the start of
// [p, end), or 0 when there is none (Unicode's table of well-formed
// sequences: no overlong forms, no surrogates, nothing above U+10FFFF).
int utf8Sequence(const unsigned char *p, const unsigned char *end, char32_t &codePoint)
{
    const unsigned char lead = *p;
    const auto available = end - p;
    if (lead >= 0xC2 && lead <= 0xDF) {
        if (available < 2 || !isContinuation(p[1])) {
            return 0;
        }
        codePoint = (char32_t(lead & 0x1F) << 6) | (p[1] & 0x3F);
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (available < 3 || !isContinuation(p[1]) || !isContinuation(p[2])) {
            return 0;
        }
        if ((lead == 0xE0 && p[1] < 0xA0) || (lead == 0xED && p[1] > 0x9F)) {
            return 0;
        }
        codePoint = (char32_t(lead & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (available < 4 || !isContinuation(p[1]) || !isContinuation(p[2]) || !isContinuation(p[3])) {
            return 0;
        }
        if ((lead == 0xF0 && p[1] < 0x90) || (lead == 0xF4 && p[1] > 0x8F)) {
            return 0;
        }
        codePoint = (char32_t(lead & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) | (char32_t(p[2] & 0x3F) << 6)
            | (p[3] & 0x3F);
        return 4;
    }
    return 0;
}

} // namespace

QString decode8Bit(QByteArrayView bytes)
{
    QString text(bytes.size(), Qt::Uninitialized);
    char16_t *out = reinterpret_cast<char16_t *>(text.data());
    char16_t *const start = out;
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    const auto *const end = p + bytes.size();
    while (p < end) {
        if (*p < 0x80) {
            *out++ = *p++;
            continue;
        }
        char32_t codePoint = 0;
        const int length = utf8Sequence(p, end, codePoint);
        if (length == 0) {
            *out++ = windows1252(*p++);
        } else if (codePoint < 0x10000) {
            *out++ = char16_t(codePoint);
            p += length;
        } else {
            // Four bytes in, two code units out: never more units than bytes.
            codePoint -= 0x10000;
            *out++ = char16_t(0xD800 + (codePoint >> 10));
            *out++ = char16_t(0xDC00 + (codePoint & 0x3FF));
            p += length;
        }
    }
    text.truncate(out - start);
    return text;
}

QByteArray encode8Bit(const QString &text)
{
    return text.toUtf8();
}

} // namespace quaverlink
