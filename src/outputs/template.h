#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

namespace quaverlink {

// What went on air, as the outputs see it.
struct NowPlaying
{
    QString text;
    QDateTime onAir;
    bool isIdle = false;
};

// A text pattern with fields in braces, {text}, {artist}, {title}, {time}
// (hh:mm:ss) and {idle} (1 or 0), and the filters applied to the result:
// one line, a maximum length cut at a word boundary, a character set, and a
// line end. "{{" stands for a brace.
class Template final
{
public:
    enum class Charset { Utf8, Latin1, Ascii };

    struct Filters
    {
        bool oneLine = true;
        int maxLength = 0; // characters; 0 for no limit
        Charset charset = Charset::Utf8;
        QByteArray lineEnd;
    };

    // Nothing, with the reason in error, for a pattern with an unknown field
    // or an unclosed brace.
    static std::optional<Template> parse(const QString &pattern, Filters filters, QString *error);

    QByteArray render(const NowPlaying &playing) const;
    Charset charset() const { return m_filters.charset; }

    // The artist and the title: split at the first " - " when there is one,
    // else at the first dash; no dash leaves the title empty.
    static std::pair<QString, QString> split(const QString &text);

private:
    Template(QString pattern, Filters filters);

    QString m_pattern;
    Filters m_filters;
};

} // namespace quaverlink
