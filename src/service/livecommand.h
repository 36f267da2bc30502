#pragma once

#include <QByteArray>
#include <QStringList>

namespace quaverlink {

// quaverlink live TEXT [--minutes N] | --clear: puts a live text on air, or
// clears it, through the web face of the receiver running in folder, with
// the token its Quaverlink.ini names. Returns the exit status.
int runLive(const QStringList &arguments, const QByteArray &folder);

} // namespace quaverlink
