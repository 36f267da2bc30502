#include "playrecord.h"

namespace quaverlink {

PlayRecord MakePlayRecord(const QString &text, const QDateTime &localDateTime)
{
    PlayRecord record;
    // Stored exactly as received: the values travel as parameters, so
    // apostrophes need no doubling.
    record.fulltext = text;
    record.playedat = localDateTime.toString(u"yyyy-MM-dd HH:mm:ss"_qs);

    const qsizetype dash = text.indexOf(u'-');
    record.dashfound = dash >= 0;
    record.firstpart = record.dashfound ? text.first(dash) : text;
    if (record.dashfound) {
        // Further dashes vanish, joining what stood on either side of them.
        record.secondpart = text.sliced(dash + 1);
        record.secondpart.remove(u'-');
    }

    // One blank at the seam goes on each side; a part of a single character
    // is left alone.
    if (record.firstpart.size() > 1 && record.firstpart.back() == u' ') {
        record.firstpart.chop(1);
    }
    if (record.secondpart.size() > 1 && record.secondpart.front() == u' ') {
        record.secondpart.remove(0, 1);
    }
    return record;
}

QString InsertStatement(const PlayRecord &)
{
    return u"INSERT INTO Metadata VALUES(?,?,?,?,?)"_qs;
}

std::array<QString, 5> playRecordValues(const PlayRecord &record)
{
    return {QString(u""_qs), record.fulltext, record.playedat, record.firstpart, record.secondpart};
}

} // namespace quaverlink
