#include "conversion.h"

namespace quaverlink {
namespace {

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t';
}

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

QStringView trimBlanks(QStringView text)
{
    while (!text.isEmpty() && isBlank(text.front())) {
        text = text.sliced(1);
    }
    while (!text.isEmpty() && isBlank(text.back())) {
        text.chop(1);
    }
    return text;
}

} // namespace

std::optional<std::int64_t> convertToInteger(QStringView text, std::int64_t minimum, std::int64_t maximum)
{
    text = trimBlanks(text);
    bool negative = false;
    if (!text.isEmpty() && (text.front() == u'+' || text.front() == u'-')) {
        negative = text.front() == u'-';
        text = text.sliced(1);
    }

    // Magnitudes beyond this are out of every range we are asked for; keep
    // scanning so the syntax is still checked, but stop accumulating.
    constexpr std::int64_t kCeiling = std::int64_t(1) << 40;
    std::int64_t magnitude = 0;
    qsizetype i = 0;
    qsizetype integerDigits = 0;
    for (; i < text.size() && isDigit(text[i]); ++i, ++integerDigits) {
        if (magnitude < kCeiling) {
            magnitude = magnitude * 10 + (text[i].unicode() - u'0');
        }
    }

    qsizetype fractionDigits = 0;
    int firstFractionDigit = 0;
    bool fractionBeyondHalf = false;
    if (i < text.size() && text[i] == u'.') {
        for (++i; i < text.size() && isDigit(text[i]); ++i, ++fractionDigits) {
            const int digit = text[i].unicode() - u'0';
            if (fractionDigits == 0) {
                firstFractionDigit = digit;
            } else if (digit != 0) {
                fractionBeyondHalf = true;
            }
        }
    }
    if (i != text.size() || integerDigits + fractionDigits == 0) {
        return std::nullopt;
    }

    const bool roundUp = firstFractionDigit > 5
        || (firstFractionDigit == 5 && (fractionBeyondHalf || magnitude % 2 == 1));
    if (roundUp) {
        ++magnitude;
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value < minimum || value > maximum) {
        return std::nullopt;
    }
    return value;
}

} // namespace quaverlink
