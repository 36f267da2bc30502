#pragma once

#include <QString>

namespace quaverlink {

// A length as a person reads it: m:ss, or h:mm:ss from an hour on; empty
// for an unknown (negative) length.
inline QString formatLength(qint64 milliseconds)
{
    if (milliseconds < 0) {
        return QString();
    }
    const qint64 seconds = (milliseconds + 500) / 1000;
    const QString minutesAndSeconds
        = QStringLiteral("%1:%2").arg(seconds / 60 % 60).arg(seconds % 60, 2, 10, QChar(u'0'));
    return seconds < 3600 ? minutesAndSeconds
                          : QStringLiteral("%1:%2").arg(seconds / 3600).arg(minutesAndSeconds.rightJustified(5, u'0'));
}

} // namespace quaverlink
