#pragma once

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <optional>

namespace quaverlink {

struct PlayDetails;
struct PlayRecord;
namespace odbc {
class Error;
class Handle;
} // namespace odbc

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

// The names of the visible columns of the station's table Metadata, in
// the order the positional insert fills them; nothing when the login may
// not SELECT. Throws odbc::Error otherwise.
std::optional<QStringList> metadataColumns(const odbc::Handle &connection);

// What a failed store says about the play and the plays behind it.
enum class Refusal {
    None,      // not a refusal: the server, the login or the table failed, and every play waits
    ForGood,   // this row can never be stored (its data, a constraint it breaks)
    Uncertain, // the server refused the row, perhaps for this row alone, perhaps for every row
};
Refusal refusalOf(const odbc::Error &error);
// The statement was sent and its answer lost (a timeout, a broken
// connection): the server may have stored the row or not.
bool leavesInDoubt(const odbc::Error &error);

// What became of a play's details when its Metadata row was stored.
struct DetailsOutcome
{
    bool tableMissing = false; // the database has no table PlayDetails
    QString refusal;           // the server refused the row for its content
};

// Stores one play on a connection of its own: connects, inserts the row when
// the text holds a dash, and its details (when there are any) in the same
// transaction, disconnects. Right before the insert is sent,
// sending(rowsBefore) is called with how many rows already hold this play
// (-1 when the login may not SELECT), so that a lost answer can be checked.
// Throws odbc::Error, never holding the password.
DetailsOutcome storePlay(const DatabaseLogin &login, const PlayRecord &record, const PlayDetails *details = nullptr,
                         const std::function<void(qint64 rowsBefore)> &sending = {});

// How many rows hold this play (its text and its time); nothing when the
// login may not SELECT. Throws odbc::Error otherwise.
std::optional<qint64> countStored(const DatabaseLogin &login, const PlayRecord &record,
                                  const PlayDetails *details = nullptr);

} // namespace quaverlink
