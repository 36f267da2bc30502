#pragma once

#include <QByteArray>
#include <QTextStream>

namespace quaverlink {

// quaverlink --check: reads Quaverlink.ini in folder exactly as start-up
// does, prints the values (the password as asterisks), what start-up would do
// with them and what a station engineer may have got wrong, and tries one
// database connection when play history is on. Binds nothing and writes no
// file. Returns whether start-up would succeed.
bool checkSettings(const QByteArray &folder, QTextStream &out);

} // namespace quaverlink
