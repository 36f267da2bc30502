#pragma once

#include <QDateTime>
#include <QString>

#include <array>

namespace quaverlink {

// One play, as it becomes a row of the table Metadata: the received text, its
// local time, and the parts before and after the first dash.
struct PlayRecord
{
    QString fulltext;
    QString playedat;
    QString firstpart;
    QString secondpart;
    bool dashfound = false;
};

PlayRecord MakePlayRecord(const QString &text, const QDateTime &localDateTime);

// The statement that stores a record. Its five values are bound as
// parameters in the order of playRecordValues().
QString InsertStatement(const PlayRecord &record);

// The five values of a row, by position: an empty first value, the text, the
// time, the first part and the second part.
std::array<QString, 5> playRecordValues(const PlayRecord &record);

} // namespace quaverlink
