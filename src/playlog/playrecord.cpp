#include "playrecord.h"

namespace quaverlink {

PlayRecord PlayRecord::fromText(const QString &text, const QString &playedAt)
{
    PlayRecord record;
    // Stored exactly as received: the values travel as parameters, so
    // apostrophes need no doubling.
    record.text = text;
    record.playedAt = playedAt;

    const qsizetype dash = text.indexOf(u'-');
    record.hasDash = dash >= 0;
    record.artist = record.hasDash ? text.first(dash) : text;
    if (record.hasDash) {
        // Further dashes vanish, joining what stood on either side of them.
        record.title = text.sliced(dash + 1);
        record.title.remove(u'-');
    }

    // One blank at the seam goes on each side; a part of a single character
    // is left alone.
    if (record.artist.size() > 1 && record.artist.back() == u' ') {
        record.artist.chop(1);
    }
    if (record.title.size() > 1 && record.title.front() == u' ') {
        record.title.remove(0, 1);
    }
    return record;
}

std::array<QString, 5> PlayRecord::values() const
{
    return {QString(), text, playedAt, artist, title};
}

} // namespace quaverlink
