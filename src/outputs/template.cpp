#include "template.h"

#include <QRegularExpression>
#include <QStringList>

namespace quaverlink {
namespace {

const QStringList kFields = {u"text"_qs, u"artist"_qs, u"title"_qs, u"time"_qs, u"idle"_qs};

QString oneLine(const QString &text)
{
    static const QRegularExpression breaks(u"[\\r\\n\\x{2028}\\x{2029}]+"_qs);
    return QString(text).replace(breaks, u" "_qs).trimmed();
}

// Cut to at most maximum characters, at the last blank when there is one,
// never inside a surrogate pair.
QString cutAtWord(const QString &text, int maximum)
{
    if (maximum <= 0 || text.size() <= maximum) {
        return text;
    }
    QString cut = text.left(maximum + 1);
    const qsizetype blank = cut.lastIndexOf(u' ');
    cut.truncate(blank > 0 ? blank : maximum);
    if (!cut.isEmpty() && cut.back().isHighSurrogate()) {
        cut.chop(1);
    }
    return cut.trimmed();
}

// Typographic punctuation that titles often carry, in its plain form.
QByteArray plainPunctuation(char16_t c)
{
    if (c >= 0x2010 && c <= 0x2015) {
        return "-";
    }
    if (c >= 0x2018 && c <= 0x201B) {
        return "'";
    }
    if (c >= 0x201C && c <= 0x201F) {
        return "\"";
    }
    return c == 0x2026 ? "..." : "";
}

// Latin letters lose their accents ("Björk" becomes "Bjork"); what has no
// ASCII form becomes "?".
QByteArray toAscii(const QString &text)
{
    QByteArray ascii;
    const QString decomposed = text.normalized(QString::NormalizationForm_KD);
    for (qsizetype i = 0; i < decomposed.size(); ++i) {
        const QChar c = decomposed.at(i);
        if (const QByteArray plain = plainPunctuation(c.unicode()); !plain.isEmpty()) {
            ascii += plain;
        } else if (c.unicode() < 0x80) {
            ascii += char(c.unicode());
        } else if (c.category() == QChar::Mark_NonSpacing) {
            continue;
        } else {
            ascii += '?';
            i += c.isHighSurrogate() ? 1 : 0;
        }
    }
    return ascii;
}

QByteArray toLatin1(const QString &text)
{
    QByteArray latin1;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        latin1 += c.unicode() < 0x100 ? QByteArray(1, char(c.unicode())) : toAscii(QString(c));
        i += c.isHighSurrogate() ? 1 : 0;
    }
    return latin1;
}

} // namespace

Template::Template(QString pattern, Filters filters)
    : m_pattern(std::move(pattern))
    , m_filters(std::move(filters))
{
}

std::optional<Template> Template::parse(const QString &pattern, Filters filters, QString *error)
{
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        if (pattern.at(i) != u'{' || pattern.mid(i, 2) == u"{{") {
            i += pattern.mid(i, 2) == u"{{" ? 1 : 0;
            continue;
        }
        const qsizetype close = pattern.indexOf(u'}', i);
        const QString field = pattern.mid(i + 1, close - i - 1);
        if (close < 0 || !kFields.contains(field)) {
            *error = close < 0 ? u"a brace is not closed"_qs
                               : u"no field {%1}; there are {%2}"_qs.arg(field, kFields.join(u"}, {"_qs));
            return std::nullopt;
        }
        i = close;
    }
    return Template(pattern, std::move(filters));
}

std::pair<QString, QString> Template::split(const QString &text)
{
    qsizetype at = text.indexOf(u" - "_qs);
    qsizetype width = 3;
    if (at < 0) {
        at = text.indexOf(u'-');
        width = 1;
    }
    if (at < 0) {
        return {text.trimmed(), QString()};
    }
    return {text.left(at).trimmed(), text.mid(at + width).trimmed()};
}

QByteArray Template::render(const NowPlaying &playing) const
{
    const auto [artist, title] = split(playing.text);
    const QString values[]
        = {playing.text, artist, title, playing.onAir.toString(u"hh:mm:ss"_qs), playing.isIdle ? u"1"_qs : u"0"_qs};
    QString result;
    for (qsizetype i = 0; i < m_pattern.size(); ++i) {
        if (m_pattern.mid(i, 2) == u"{{") {
            result += u'{';
            ++i;
        } else if (m_pattern.at(i) == u'{') {
            const qsizetype close = m_pattern.indexOf(u'}', i);
            result += values[kFields.indexOf(m_pattern.mid(i + 1, close - i - 1))];
            i = close;
        } else {
            result += m_pattern.at(i);
        }
    }
    if (m_filters.oneLine) {
        result = oneLine(result);
    }
    result = cutAtWord(result, m_filters.maxLength);
    const QByteArray bytes = m_filters.charset == Charset::Utf8 ? result.toUtf8()
        : m_filters.charset == Charset::Latin1                  ? toLatin1(result)
                                                                : toAscii(result);
    return bytes + m_filters.lineEnd;
}

} // namespace quaverlink
