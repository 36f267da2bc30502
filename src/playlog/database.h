#pragma once

#include <QString>

#include <chrono>

namespace quaverlink {

struct PlayRecord;

struct DatabaseLogin
{
    QString user;
    QString password;
    QString server;
};

// The ODBC connection string of a login, the three texts inserted exactly as
// they stand (so a server text may carry ";port=3307").
QString connectionString(const DatabaseLogin &login);

// How long one connection attempt, or any exchange on it, may wait.
inline constexpr std::chrono::seconds kDatabaseTimeout {10};

// Stores one play on a connection of its own: connects, inserts the row when
// the text holds a dash, disconnects. Throws odbc::Error, never holding the
// password.
void storePlay(const DatabaseLogin &login, const PlayRecord &record);

} // namespace quaverlink
