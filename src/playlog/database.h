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

// [Database] Servers: HOST[:PORT] entries separated by commas or blanks
// ("[::1]:3307" for an IPv6 address with a port), each as the server text of
// a login. Nothing when an entry's port is no port.
std::optional<QStringList> serverTexts(const QString &servers);
// A server text as Servers names it: "host:3307" for "host;port=3307".
QString serverName(QString server);

// Who stored a play, for a history several stations share: the station's
// name and a key the receiver made for the play once, kept with it in the
// spool. StationPlays holds both under a unique key.
struct PlayIdentity
{
    QString station;
    QString key;
};

// How long one connection attempt, or any exchange on it, may wait.
inline constexpr std::chrono::seconds kDatabaseTimeout {10};

// The names of the visible columns of the station's table Metadata, in
// the order the positional insert fills them; nothing when the login may
// not SELECT. Throws odbc::Error otherwise.
std::optional<QStringList> metadataColumns(const odbc::Handle &connection);

// How a Galera node stands in its cluster (wsrep_local_state_comment:
// "Synced" when it takes writes in step with the others); empty for a
// server that is no member of a cluster. Throws odbc::Error.
QString clusterState(const odbc::Handle &connection);

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
// The transaction lost to another one (a deadlock, a cluster's certification
// conflict) and was undone: sending it again at once is what the server
// asks for.
bool asksForRetry(const odbc::Error &error);

// What became of a play when it was stored.
struct StoreOutcome
{
    bool alreadyStored = false;       // its key was there: an earlier attempt stored it
    bool detailsTableMissing = false; // the database has no table PlayDetails
    bool keyTableMissing = false;     // the database has no table StationPlays
    QString refusal;                  // the server refused its details for their content
};

// How a lost answer to a play can be checked: by its key in StationPlays,
// or by counting the rows that hold its text and time.
inline constexpr qint64 kCheckedByKey = -2;

// Stores one play on a connection of its own, in one transaction: its key
// in StationPlays (where the table is there), its row in Metadata when the
// text holds a dash, and its details when there are any; then disconnects.
// Right before the first row is sent, sending(check) is called with
// kCheckedByKey, or else how many rows already hold this play (-1 when the
// login may not SELECT), so that a lost answer can be checked. Throws
// odbc::Error, never holding the password.
StoreOutcome storePlay(const DatabaseLogin &login, const PlayRecord &record, const PlayIdentity &identity,
                       const PlayDetails *details = nullptr, const std::function<void(qint64 check)> &sending = {});

// How many rows hold this play (its text and its time); nothing when the
// login may not SELECT. Throws odbc::Error otherwise.
std::optional<qint64> countStored(const DatabaseLogin &login, const PlayRecord &record,
                                  const PlayDetails *details = nullptr);

// Whether StationPlays holds this play's key; nothing when the table is
// missing or the login may not SELECT. Throws odbc::Error otherwise.
std::optional<bool> isKeyStored(const DatabaseLogin &login, const PlayIdentity &identity);

// What became of a play's listener count.
enum class CountOutcome {
    Stored,  // stored, or stored by an earlier attempt whose answer was lost
    NoTable, // the database has no table PlayListeners, or the login may not write it
};

// Stores the listeners of a play (performances -1 when unknown) in
// PlayListeners, under the key the spool made for the count, so that
// sending it again stores it once. Throws odbc::Error, never holding the
// password.
CountOutcome storeListeners(const DatabaseLogin &login, const PlayIdentity &count, const QString &playedAt,
                            const QString &text, qint64 performances);

} // namespace quaverlink
