#pragma once

#include <QDateTime>
#include <QString>

namespace quaverlink {

// A text put on air by hand or from a studio (the web face's API): it holds
// the air until it expires or is cleared.
struct LiveText
{
    QString text;
    QString artist;
    QString title;
    QString album;
    QDateTime until; // null: until cleared
    bool isPlay = true;
    QString who; // who set it: an address
};

} // namespace quaverlink
