#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <memory>
#include <optional>

namespace quaverlink {

struct PadUpdate;

// What went on air, as the outputs see it.
struct NowPlaying
{
    QString text;
    QDateTime onAir;
    bool isIdle = false;
    // What the PAD feed told of the play and the next one; none for an item
    // from the UDP endpoint and for the idle text.
    std::shared_ptr<const PadUpdate> pad {};
    bool isLive = false; // put on air by hand, not by the playout

    // The group of the play, empty when unknown.
    QString group() const;
    // About the bytes it holds, what the feed told of it included: what a
    // queue of them is bounded by.
    qint64 footprint() const;
};

// A text pattern with fields in braces, {text}, {artist}, {title}, {time}
// (hh:mm:ss), {idle} and {live} (1 or 0), the PAD feed's fields of the play, {album},
// {isrc}, {length} (m:ss) and the rest of PadItem::fieldNames(), and of the
// next one, {next.artist}, {next.title}, ...; and the filters applied to the result:
// one line, a maximum length cut at a word boundary, a character set, and a
// line end. A part in square brackets is left out when a field in it is
// empty: "[{artist} - ]{title}" gives the title alone for a text without a
// dash. "{{", "[[" and "]]" stand for a brace or a bracket; a brace that no
// letter follows is one too, and so is every bracket of a JSON body, so
// that one needs no doubling.
class Template final
{
public:
    enum class Charset { Utf8, Latin1, Ascii };
    // For a template that builds a URL or a JSON body: each field's value is
    // made one line and escaped, the literal text left as it stands, and
    // neither a length nor a character set applies.
    enum class Escape { None, Url, Json };

    struct Filters
    {
        bool oneLine = true;
        int maxLength = 0; // characters; 0 for no limit
        Charset charset = Charset::Utf8;
        QByteArray lineEnd;
        Escape escape = Escape::None;
    };

    // "{text}" as it stands.
    Template() = default;

    // Nothing, with the reason in error, for a pattern with an unknown field
    // or an unclosed brace.
    static std::optional<Template> parse(const QString &pattern, Filters filters, QString *error);

    // The bytes an output sends: the text in its character set, and the line end.
    QByteArray render(const NowPlaying &playing) const;
    // The same text before it is encoded, without the line end; what the
    // character set cannot hold is already replaced.
    QString renderText(const NowPlaying &playing) const;
    Charset charset() const { return m_filters.charset; }

    // The artist and the title: from the PAD feed when it told them, else
    // split at the first " - ", " \u2013 " or
    // " \u2014 " when there is one, else at the first dash; a text without a
    // dash is all title.
    static std::pair<QString, QString> split(const QString &text);
    static std::pair<QString, QString> artistAndTitle(const NowPlaying &playing);

private:
    struct Piece
    {
        QString literal;
        int field = -1; // an index into the fields, or -1 for a literal
        int part = -1;  // the optional part it belongs to, or -1
    };

    Template(QList<Piece> pieces, int parts, Filters filters);

    QList<Piece> m_pieces {{QString(), 0, -1}};
    int m_parts = 0;
    Filters m_filters;
};

} // namespace quaverlink
