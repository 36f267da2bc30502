#include "template.h"

#include "common/literals.h"
#include "pad/padupdate.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QStringList>
#include <QUrl>

namespace quaverlink {
namespace {

const QStringList kFields = {u"text"_s, u"artist"_s, u"title"_s, u"time"_s, u"idle"_s, u"live"_s};
// The PAD fields of the play are numbered from here, and those of the next
// play from kNextFields.
constexpr int kPadFields = 100;
constexpr int kNextFields = 200;

std::optional<int> fieldIndex(const QString &name)
{
    if (const qsizetype base = kFields.indexOf(name); base >= 0) {
        return int(base);
    }
    const bool next = name.startsWith(u"next.");
    if (const qsizetype pad = PadItem::fieldNames().indexOf(next ? name.sliced(5) : name); pad >= 0) {
        return int(pad) + (next ? kNextFields : kPadFields);
    }
    return std::nullopt;
}

QString oneLine(const QString &text)
{
    static const QRegularExpression breaks(u"[\\r\\n\\x{2028}\\x{2029}]+"_s);
    return QString(text).replace(breaks, u" "_s).trimmed();
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

Template::Template(QList<Piece> pieces, int parts, Filters filters)
    : m_pieces(std::move(pieces))
    , m_parts(parts)
    , m_filters(std::move(filters))
{
}

std::optional<Template> Template::parse(const QString &pattern, Filters filters, QString *error)
{
    QList<Piece> pieces;
    int parts = 0;
    int part = -1;
    const auto literal = [&](QChar c) {
        if (pieces.isEmpty() || pieces.back().field >= 0 || pieces.back().part != part) {
            pieces.append({QString(), -1, part});
        }
        pieces.back().literal += c;
    };
    // In a JSON body a bracket is JSON's: it marks no optional part.
    const bool bracketsLiteral = filters.escape == Escape::Json;
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        const QChar c = pattern.at(i);
        const bool doubled = i + 1 < pattern.size() && pattern.at(i + 1) == c;
        if ((c == u'{' || c == u'[' || c == u']') && doubled) {
            literal(c);
            ++i;
        } else if ((c == u'[' || c == u']') && bracketsLiteral) {
            literal(c);
        } else if (c == u'{' && (i + 1 == pattern.size() || !pattern.at(i + 1).isLetter())) {
            // Not a field: a brace of a JSON body, say.
            literal(c);
        } else if (c == u'{') {
            const qsizetype close = pattern.indexOf(u'}', i);
            const QString field = pattern.mid(i + 1, close - i - 1);
            const std::optional<int> index = close < 0 ? std::nullopt : fieldIndex(field);
            if (!index) {
                *error = close < 0 ? u"a brace is not closed"_s
                                   : u"no field {%1}; there are {%2}, and of the PAD feed {%3} and {next.artist}"
                                     u", {next.title}, ..."_s.arg(field, kFields.join(u"}, {"_s),
                                                                  PadItem::fieldNames().mid(2).join(u"}, {"_s));
                return std::nullopt;
            }
            pieces.append({QString(), *index, part});
            i = close;
        } else if (c == u'[') {
            if (part >= 0) {
                *error = u"an optional part cannot hold another"_s;
                return std::nullopt;
            }
            part = parts++;
        } else if (c == u']') {
            if (part < 0) {
                *error = u"a ] closes no optional part (write ]] for the bracket itself)"_s;
                return std::nullopt;
            }
            part = -1;
        } else {
            literal(c);
        }
    }
    if (part >= 0) {
        *error = u"an optional part is not closed with ]"_s;
        return std::nullopt;
    }
    return Template(std::move(pieces), parts, std::move(filters));
}

std::pair<QString, QString> Template::split(const QString &text)
{
    for (const QString &seam : {u" - "_s, u" \u2013 "_s, u" \u2014 "_s}) {
        if (const qsizetype at = text.indexOf(seam); at >= 0) {
            return {text.left(at).trimmed(), text.mid(at + seam.size()).trimmed()};
        }
    }
    if (const qsizetype at = text.indexOf(u'-'); at >= 0) {
        return {text.left(at).trimmed(), text.mid(at + 1).trimmed()};
    }
    return {QString(), text.trimmed()};
}

std::pair<QString, QString> Template::artistAndTitle(const NowPlaying &playing)
{
    if (playing.pad && playing.pad->now) {
        return {playing.pad->now->artist, playing.pad->now->title};
    }
    return split(playing.text);
}

QString NowPlaying::group() const
{
    return pad && pad->now ? pad->now->group : QString();
}

qint64 NowPlaying::footprint() const
{
    constexpr qint64 kFixed = 128;
    qint64 bytes = kFixed + text.size() * 2;
    if (pad) {
        for (const std::optional<PadItem> &item : {pad->now, pad->next}) {
            for (qsizetype i = 0; item && i < PadItem::fieldNames().size(); ++i) {
                bytes += item->field(i).size() * 2;
            }
        }
    }
    return bytes;
}

QString Template::renderText(const NowPlaying &playing) const
{
    const auto [artist, title] = artistAndTitle(playing);
    const auto rawValue = [&, &artist = artist, &title = title](int field) {
        if (field >= kNextFields) {
            return playing.pad && playing.pad->next ? playing.pad->next->field(field - kNextFields) : QString();
        }
        if (field >= kPadFields) {
            return playing.pad && playing.pad->now ? playing.pad->now->field(field - kPadFields) : QString();
        }
        switch (field) {
        case 0:
            return playing.text;
        case 1:
            return artist;
        case 2:
            return title;
        case 3:
            return playing.onAir.toString(u"hh:mm:ss"_s);
        case 4:
            return playing.isIdle ? u"1"_s : u"0"_s;
        }
        return playing.isLive ? u"1"_s : u"0"_s;
    };
    const auto escaped = [&](const QString &text) {
        switch (m_filters.escape) {
        case Escape::Url:
            return QString::fromLatin1(QUrl::toPercentEncoding(m_filters.oneLine ? oneLine(text) : text));
        case Escape::Json: {
            // A JSON string without its quotes.
            const QByteArray json
                = QJsonDocument(QJsonArray {m_filters.oneLine ? oneLine(text) : text}).toJson(QJsonDocument::Compact);
            return QString::fromUtf8(json.sliced(2, json.size() - 4));
        }
        case Escape::None:
            break;
        }
        return text;
    };
    // Each field's value once: an optional part needs it before the text does.
    QList<QString> values(m_pieces.size());
    QList<bool> partShown(m_parts, true);
    for (qsizetype i = 0; i < m_pieces.size(); ++i) {
        const Piece &piece = m_pieces.at(i);
        values[i] = piece.field >= 0 ? escaped(rawValue(piece.field)) : piece.literal;
        if (piece.part >= 0 && piece.field >= 0 && values[i].isEmpty()) {
            partShown[piece.part] = false;
        }
    }
    QString result;
    for (qsizetype i = 0; i < m_pieces.size(); ++i) {
        if (m_pieces.at(i).part < 0 || partShown[m_pieces.at(i).part]) {
            result += values[i];
        }
    }
    if (m_filters.escape != Escape::None) {
        return result;
    }
    if (m_filters.oneLine) {
        result = oneLine(result);
    }
    result = cutAtWord(result, m_filters.maxLength);
    switch (m_filters.charset) {
    case Charset::Latin1:
        return QString::fromLatin1(toLatin1(result));
    case Charset::Ascii:
        return QString::fromLatin1(toAscii(result));
    case Charset::Utf8:
        break;
    }
    return result;
}

QByteArray Template::render(const NowPlaying &playing) const
{
    const QString text = renderText(playing);
    return (m_filters.charset == Charset::Utf8 ? text.toUtf8() : text.toLatin1()) + m_filters.lineEnd;
}

} // namespace quaverlink
