#pragma once

#include <chrono>

class QCoreApplication;

namespace quaverlink {

class Station;

// Without a window there is nobody to dismiss a message box: the start-up
// message goes to standard error, beside its cause.
void reportStartupFailureOnStandardError(Station &station);

// Runs the event loop until the window closes or SIGTERM, SIGINT, SIGHUP or
// SIGQUIT arrives, then stops the station. Returns the exit status.
int runUntilStopped(QCoreApplication &app, Station &station);

// How long the last failure lines may take to reach standard error at exit.
inline constexpr std::chrono::milliseconds kLastLinesTimeout {500};

} // namespace quaverlink
