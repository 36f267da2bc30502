#pragma once

#include <QString>

#include <chrono>

namespace quaverlink {

struct PlayRecord;
namespace odbc {
class Error;
}

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

// What a failed store says about the play and the plays behind it.
enum class Refusal {
    None,      // not a refusal: the server, the login or the table failed, and every play waits
    ForGood,   // this row can never be stored (its data, a constraint it breaks)
    Uncertain, // the server refused the row, perhaps for this row alone, perhaps for every row
};
Refusal refusalOf(const odbc::Error &error);

// Stores one play on a connection of its own: connects, inserts the row when
// the text holds a dash, disconnects. Throws odbc::Error, never holding the
// password.
void storePlay(const DatabaseLogin &login, const PlayRecord &record);

} // namespace quaverlink
