#pragma once

#include "playlog/odbc.h"

#include <QString>

namespace quaverlink {

struct PlayRecord;

// The two halves of logging one play: a new connection, and one row stored
// on it. LogPlay uses both once per item.
odbc::Handle connectPlayLog(const QString &connectionString);
void storePlayRecord(const odbc::Handle &connection, const PlayRecord &record);

} // namespace quaverlink
