#include "database.h"

#include "common/literals.h"
#include "odbc.h"
#include "playrecord.h"

#include <QRegularExpression>

#include <sqlucode.h>

namespace quaverlink {
namespace {

void bindText(const odbc::Handle &statement, SQLUSMALLINT position, const QString &value, SQLLEN &length)
{
    length = SQLLEN(value.size()) * SQLLEN(sizeof(SQLWCHAR));
    // A column size of 0 is refused by some drivers even for an empty value.
    const SQLULEN columnSize = SQLULEN(qMax<qsizetype>(value.size(), 1));
    auto *data = const_cast<SQLWCHAR *>(reinterpret_cast<const SQLWCHAR *>(value.utf16()));
    const SQLRETURN rc = SQLBindParameter(statement.get(), position, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                                          columnSize, 0, data, length, &length);
    odbc::check(rc, statement, u"binding value "_s + QString::number(position));
}

// A play goes to Metadata when its text holds a dash, unless an earlier play
// stored that row; its PlayDetails row is stored in the same transaction.
bool hasMetadataRow(const PlayRecord &record, const PlayDetails *details)
{
    return record.hasDash && !(details && details->detailsOnly);
}

// Nothing when the login may not SELECT (the README's minimal grant) or
// the table is missing; other failures are thrown.
template<typename Query>
auto unlessDenied(Query &&query) -> std::optional<decltype(query())>
{
    try {
        return query();
    } catch (const odbc::Error &error) {
        if (error.nativeCode() == 1142 || error.nativeCode() == 1146) {
            return std::nullopt;
        }
        throw;
    }
}

// The rows already holding this play, on an open connection: in Metadata,
// or in PlayDetails for a play that has no row of its own there. Metadata
// is the station's table, whose columns only their order tells apart, so
// their names are asked first. Nothing when they cannot be asked or counted.
std::optional<qint64> countRows(const odbc::Handle &connection, const PlayRecord &record, bool inMetadata)
{
    QString text = u"full_text"_s;
    QString time = u"played_at"_s;
    if (inMetadata) {
        const std::optional<QStringList> names = metadataColumns(connection);
        if (!names || names->size() < 3) {
            return std::nullopt;
        }
        text = odbc::quotedName(names->at(1));
        time = odbc::quotedName(names->at(2));
    }
    return unlessDenied([&] {
        odbc::Handle statement(SQL_HANDLE_STMT, connection.get());
        const std::array<QString, 5> values = record.values();
        std::array<SQLLEN, 2> lengths {};
        bindText(statement, 1, values[1], lengths[0]);
        bindText(statement, 2, values[2], lengths[1]);
        odbc::execute(statement,
                      u"SELECT COUNT(*) FROM %1 WHERE %2 = ? AND %3 = ?"_s.arg(inMetadata ? u"Metadata"_s
                                                                                          : u"PlayDetails"_s,
                                                                               text, time),
                      u"counting the rows of a play"_s);
        SQLBIGINT count = 0;
        odbc::check(SQLFetch(statement.get()), statement, u"counting the rows of a play"_s);
        odbc::check(SQLGetData(statement.get(), 1, SQL_C_SBIGINT, &count, 0, nullptr), statement,
                    u"counting the rows of a play"_s);
        return qint64(count);
    });
}

void insertRow(const odbc::Handle &connection, const PlayRecord &record)
{
    odbc::Handle statement(SQL_HANDLE_STMT, connection.get());
    const std::array<QString, 5> values = record.values();
    std::array<SQLLEN, 5> lengths {};
    for (size_t i = 0; i < values.size(); ++i) {
        bindText(statement, SQLUSMALLINT(i + 1), values[i], lengths[i]);
    }
    try {
        odbc::execute(statement, u"INSERT INTO Metadata VALUES(?,?,?,?,?)"_s, u"storing the row"_s);
    } catch (const odbc::Error &error) {
        throw error.refusingStatement();
    }
}

void insertDetails(const odbc::Handle &connection, const PlayRecord &record, const PlayDetails &details,
                   const QString &station)
{
    const auto known = [](qint64 number) { return number > 0 ? QString::number(number) : QString(); };
    const std::array<QString, 19> values = {record.playedAt,
                                            QString::number(details.machine),
                                            details.service,
                                            known(details.cart),
                                            known(details.cut),
                                            details.group,
                                            details.artist,
                                            details.title,
                                            details.album,
                                            details.label,
                                            details.composer,
                                            details.publisher,
                                            known(details.year),
                                            details.isrc,
                                            details.isci,
                                            details.lengthMs >= 0 ? QString::number(details.lengthMs) : QString(),
                                            record.text,
                                            details.host,
                                            station};
    // The columns added since the table was first made, in the order they
    // were added. A table made before one of them, or before unknown carts
    // and cuts could be NULL, takes the play as it would have then.
    static const QString kAddedColumns[] = {u"host_name"_s, u"station"_s};
    qsizetype added = std::size(kAddedColumns);
    bool nullNumbers = true;
    // Asked before binding: QString::utf16() gives a null string a buffer.
    std::array<bool, 19> unknown {};
    for (const size_t number : {3, 4, 12, 15}) {
        unknown[number] = values[number].isNull();
    }
    for (;;) {
        odbc::Handle statement(SQL_HANDLE_STMT, connection.get());
        std::array<SQLLEN, 19> lengths {};
        const size_t count = size_t(17 + added);
        // The driver reads the bound texts when the statement runs: each
        // must outlive it.
        static const QString kZero = u"0"_s;
        for (size_t i = 0; i < count; ++i) {
            const bool zero = !nullNumbers && (i == 3 || i == 4) && unknown[i];
            bindText(statement, SQLUSMALLINT(i + 1), zero ? kZero : values[i], lengths[i]);
        }
        // Unknown numbers are NULL; the driver reads the indicators when the
        // statement runs.
        for (const size_t number : {3, 4, 12, 15}) {
            if (unknown[number] && (nullNumbers || number > 4)) {
                lengths[number] = SQL_NULL_DATA;
            }
        }
        QString columns;
        for (qsizetype i = 0; i < added; ++i) {
            columns += u", "_s + kAddedColumns[i];
        }
        try {
            odbc::execute(statement,
                          u"INSERT INTO PlayDetails (played_at, machine, service, cart, cut, group_name, artist, title,"
                          " album, label, composer, publisher, year, isrc, isci, length_ms, full_text%1)"
                          " VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?%2)"_s.arg(columns, u",?"_s.repeated(added)),
                          u"storing the play's details"_s);
            return;
        } catch (const odbc::Error &error) {
            if (added > 0 && error.nativeCode() == 1054) { // a column added since is missing
                --added;
            } else if (nullNumbers && error.nativeCode() == 1048) { // cart or cut NOT NULL
                nullNumbers = false;
            } else {
                throw error.refusingStatement();
            }
        }
    }
}

enum class KeyOutcome { Written, AlreadyStored, NoTable };

// The play's key goes first: a key already there means an earlier attempt,
// whose answer was lost, stored the play. A database without the table (or
// a login that may not write it) stores plays as before it was added.
KeyOutcome insertKey(const odbc::Handle &connection, const PlayIdentity &identity, const PlayRecord &record,
                     bool metadataRow)
{
    odbc::Handle statement(SQL_HANDLE_STMT, connection.get());
    const QString inMetadata = metadataRow ? u"1"_s : u"0"_s;
    std::array<SQLLEN, 5> lengths {};
    bindText(statement, 1, identity.station, lengths[0]);
    bindText(statement, 2, identity.key, lengths[1]);
    bindText(statement, 3, record.playedAt, lengths[2]);
    bindText(statement, 4, record.text, lengths[3]);
    bindText(statement, 5, inMetadata, lengths[4]);
    try {
        odbc::execute(statement,
                      u"INSERT INTO StationPlays (station, play_key, played_at, full_text, in_metadata)"
                      " VALUES (?,?,?,?,?)"_s,
                      u"storing the play's key"_s);
        return KeyOutcome::Written;
    } catch (const odbc::Error &error) {
        switch (error.nativeCode()) {
        case 1062:
            return KeyOutcome::AlreadyStored;
        case 1142:
        case 1146:
            return KeyOutcome::NoTable;
        default:
            throw error.refusingStatement();
        }
    }
}

void setAutocommit(const odbc::Handle &connection, bool on)
{
    const auto value = reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF));
    odbc::check(SQLSetConnectAttr(connection.get(), SQL_ATTR_AUTOCOMMIT, value, 0), connection,
                u"beginning a transaction"_s);
}

void commit(const odbc::Handle &connection)
{
    try {
        odbc::check(SQLEndTran(SQL_HANDLE_DBC, connection.get(), SQL_COMMIT), connection, u"committing the play"_s);
    } catch (const odbc::Error &error) {
        // Sent: whether it was carried out is for the server to say.
        throw error.refusingStatement();
    }
}

} // namespace

QString connectionString(const DatabaseLogin &login)
{
    return u"uid="_s + login.user + u";pwd="_s + login.password + u";server="_s + login.server
        + u";driver={MySQL ODBC 3.51 Driver};database=Brackenwaves;dsn='';"_s;
}

std::optional<QStringList> metadataColumns(const odbc::Handle &connection)
{
    return unlessDenied([&] {
        odbc::Handle statement(SQL_HANDLE_STMT, connection.get());
        odbc::execute(statement, u"SELECT * FROM Metadata LIMIT 0"_s, u"reading the columns of Metadata"_s);
        return odbc::columnNames(statement);
    });
}

QString clusterState(const odbc::Handle &connection)
{
    odbc::Handle statement(SQL_HANDLE_STMT, connection.get());
    odbc::execute(statement, u"SHOW GLOBAL STATUS LIKE 'wsrep_local_state_comment'"_s,
                  u"asking for the cluster's state"_s);
    const SQLRETURN rc = SQLFetch(statement.get());
    if (rc == SQL_NO_DATA) {
        return QString();
    }
    odbc::check(rc, statement, u"asking for the cluster's state"_s);
    return odbc::textColumn(statement, 2);
}

Refusal refusalOf(const odbc::Error &error)
{
    if (!error.isStatementRefusal()) {
        return Refusal::None;
    }
    const QString state = error.sqlState();
    // An answer lost, and MariaDB's codes for a read-only server or a
    // locked row, and for a table or a grant that does not fit the insert:
    // none of them is about the row.
    // Galera's 1047 and 1180: this node is not a working member of its
    // cluster.
    static const QList<int> kNotTheRow
        = {2006, 2013, 2055, 1290, 1836, 1205, 1213, 1142, 1143, 1044, 1146, 1054, 1136, 1036, 1047, 1180};
    if (leavesInDoubt(error) || state.startsWith(u"40") || kNotTheRow.contains(error.nativeCode())) {
        return Refusal::None;
    }
    if (state.startsWith(u"22") || state.startsWith(u"23")) {
        return Refusal::ForGood;
    }
    return Refusal::Uncertain;
}

bool leavesInDoubt(const odbc::Error &error)
{
    const QString state = error.sqlState();
    static const QList<int> kAnswerLost = {2006, 2013, 2055};
    // A Galera node not ready (1047, SQLSTATE 08S01) or cut off from its
    // cluster (1180) answered: it refused the statement, and did not run it.
    static const QList<int> kAnswered = {1047, 1180};
    return error.isStatementRefusal() && !kAnswered.contains(error.nativeCode())
        && (state.startsWith(u"08") || state.startsWith(u"HYT") || kAnswerLost.contains(error.nativeCode()));
}

bool asksForRetry(const odbc::Error &error)
{
    return error.nativeCode() == 1213 || error.sqlState() == u"40001";
}

StoreOutcome storePlay(const DatabaseLogin &login, const PlayRecord &record, const PlayIdentity &identity,
                       const PlayDetails *details, const std::function<void(qint64 check)> &sending)
{
    try {
        StoreOutcome outcome;
        const bool metadataRow = hasMetadataRow(record, details);
        odbc::Handle connection = odbc::connect(connectionString(login), kDatabaseTimeout);
        if (metadataRow || details) {
            // Until the commit is sent nothing can be stored: a lost answer
            // before it leaves no doubt, as the server undoes the transaction.
            setAutocommit(connection, false);
            switch (identity.key.isEmpty() ? KeyOutcome::NoTable
                                           : insertKey(connection, identity, record, metadataRow)) {
            case KeyOutcome::AlreadyStored:
                outcome.alreadyStored = true;
                connection.disconnect();
                return outcome;
            case KeyOutcome::NoTable:
                outcome.keyTableMissing = true;
                break;
            case KeyOutcome::Written:
                break;
            }
            const qint64 check = !outcome.keyTableMissing ? kCheckedByKey
                : sending                                 ? countRows(connection, record, metadataRow).value_or(-1)
                                                          : -1;
            if (metadataRow) {
                insertRow(connection, record);
            }
            if (details) {
                // MariaDB undoes only the failed statement: the Metadata row
                // is committed whatever becomes of its details.
                try {
                    insertDetails(connection, record, *details, identity.station);
                } catch (const odbc::Error &error) {
                    if (error.nativeCode() == 1146) {
                        outcome.detailsTableMissing = true;
                    } else if (refusalOf(error) == Refusal::ForGood) {
                        outcome.refusal = error.masking(login.password).describe();
                    } else {
                        throw;
                    }
                }
            }
            if (sending) {
                sending(check);
            }
            commit(connection);
        }
        connection.disconnect();
        return outcome;
    } catch (const odbc::Error &error) {
        throw error.masking(login.password);
    }
}

std::optional<qint64> countStored(const DatabaseLogin &login, const PlayRecord &record, const PlayDetails *details)
{
    try {
        odbc::Handle connection = odbc::connect(connectionString(login), kDatabaseTimeout);
        const std::optional<qint64> count = countRows(connection, record, hasMetadataRow(record, details));
        connection.disconnect();
        return count;
    } catch (const odbc::Error &error) {
        throw error.masking(login.password);
    }
}

std::optional<bool> isKeyStored(const DatabaseLogin &login, const PlayIdentity &identity)
{
    try {
        odbc::Handle connection = odbc::connect(connectionString(login), kDatabaseTimeout);
        const std::optional<bool> stored = unlessDenied([&] {
            odbc::Handle statement(SQL_HANDLE_STMT, connection.get());
            std::array<SQLLEN, 2> lengths {};
            bindText(statement, 1, identity.station, lengths[0]);
            bindText(statement, 2, identity.key, lengths[1]);
            odbc::execute(statement, u"SELECT 1 FROM StationPlays WHERE station = ? AND play_key = ?"_s,
                          u"looking for a play's key"_s);
            const SQLRETURN rc = SQLFetch(statement.get());
            if (rc == SQL_NO_DATA) {
                return false;
            }
            odbc::check(rc, statement, u"looking for a play's key"_s);
            return true;
        });
        connection.disconnect();
        return stored;
    } catch (const odbc::Error &error) {
        throw error.masking(login.password);
    }
}

CountOutcome storeListeners(const DatabaseLogin &login, const PlayIdentity &count, const QString &playedAt,
                            const QString &text, qint64 performances)
{
    try {
        odbc::Handle connection = odbc::connect(connectionString(login), kDatabaseTimeout);
        const std::optional<bool> stored = unlessDenied([&] {
            // Freed before the connection is closed.
            odbc::Handle statement(SQL_HANDLE_STMT, connection.get());
            const QString number = performances >= 0 ? QString::number(performances) : u"0"_s;
            std::array<SQLLEN, 5> lengths {};
            bindText(statement, 1, count.station, lengths[0]);
            bindText(statement, 2, count.key, lengths[1]);
            bindText(statement, 3, playedAt, lengths[2]);
            bindText(statement, 4, text, lengths[3]);
            bindText(statement, 5, number, lengths[4]);
            if (performances < 0) {
                lengths[4] = SQL_NULL_DATA;
            }
            odbc::execute(statement,
                          u"INSERT IGNORE INTO PlayListeners (station, count_key, played_at, full_text, performances)"
                          " VALUES (?,?,?,?,?)"_s,
                          u"storing a play's listeners"_s);
            return true;
        });
        connection.disconnect();
        return stored ? CountOutcome::Stored : CountOutcome::NoTable;
    } catch (const odbc::Error &error) {
        throw error.masking(login.password);
    }
}

QString serverName(QString server)
{
    return server.replace(u";port="_s, u":"_s);
}

std::optional<QStringList> serverTexts(const QString &servers)
{
    QStringList texts;
    for (const QString &entry : servers.split(QRegularExpression(u"[,\\s]+"_s), Qt::SkipEmptyParts)) {
        // "host", "host:port", "[v6]" or "[v6]:port"; a bare IPv6 address has
        // more than one colon and no port.
        QString host = entry;
        QString port;
        if (entry.startsWith(u'[')) {
            const qsizetype close = entry.indexOf(u']');
            if (close < 0 || (close + 1 < entry.size() && entry.at(close + 1) != u':')) {
                return std::nullopt;
            }
            host = entry.mid(1, close - 1);
            port = entry.mid(close + 2);
        } else if (entry.count(u':') == 1) {
            host = entry.section(u':', 0, 0);
            port = entry.section(u':', 1);
        }
        bool isNumber = false;
        const uint number = port.toUInt(&isNumber);
        if (host.isEmpty() || (!port.isNull() && (!isNumber || number == 0 || number > 65535))) {
            return std::nullopt;
        }
        texts << (port.isEmpty() ? host : host + u";port="_s + QString::number(number));
    }
    return texts;
}

} // namespace quaverlink
