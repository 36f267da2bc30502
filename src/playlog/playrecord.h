#pragma once

#include <QString>

#include <array>

namespace quaverlink {

// One play as it becomes a row of the table Metadata: the text as received,
// the local time it went on air (kPlayedAtFormat), and the parts before and
// after the first dash.
struct PlayRecord
{
    QString text;
    QString playedAt;
    QString artist;
    QString title;
    bool hasDash = false;

    static PlayRecord fromText(const QString &text, const QString &playedAt);

    // The five values of a row, by position: an empty first value, the
    // text, the time, the artist and the title.
    std::array<QString, 5> values() const;
};

// The form of played_at, local time.
inline constexpr QStringView kPlayedAtFormat = u"yyyy-MM-dd HH:mm:ss";

} // namespace quaverlink
