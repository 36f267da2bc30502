#pragma once

#include <QString>

namespace quaverlink {

enum class DisplayState { None, Reachable, Unreachable };

// Whether a window can be shown, found out without loading a GUI platform:
// Qt aborts when it cannot reach the display it was told about. A platform
// chosen by QT_QPA_PLATFORM is taken as reachable. description names the
// display for a message.
DisplayState probeDisplay(QString *description = nullptr);

} // namespace quaverlink
