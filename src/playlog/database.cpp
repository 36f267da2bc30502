#include "database.h"

#include "odbc.h"
#include "playrecord.h"

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
    odbc::check(rc, statement, u"binding value "_qs + QString::number(position));
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
    QString text = u"full_text"_qs;
    QString time = u"played_at"_qs;
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
                      u"SELECT COUNT(*) FROM %1 WHERE %2 = ? AND %3 = ?"_qs.arg(inMetadata ? u"Metadata"_qs
                                                                                           : u"PlayDetails"_qs,
                                                                                text, time),
                      u"counting the rows of a play"_qs);
        SQLBIGINT count = 0;
        odbc::check(SQLFetch(statement.get()), statement, u"counting the rows of a play"_qs);
        odbc::check(SQLGetData(statement.get(), 1, SQL_C_SBIGINT, &count, 0, nullptr), statement,
                    u"counting the rows of a play"_qs);
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
        odbc::execute(statement, u"INSERT INTO Metadata VALUES(?,?,?,?,?)"_qs, u"storing the row"_qs);
    } catch (const odbc::Error &error) {
        throw error.refusingStatement();
    }
}

void insertDetails(const odbc::Handle &connection, const PlayRecord &record, const PlayDetails &details)
{
    const auto known = [](qint64 number) { return number > 0 ? QString::number(number) : QString(); };
    const std::array<QString, 18> values
        = {record.playedAt,     QString::number(details.machine),
           details.service,     known(details.cart),
           known(details.cut),  details.group,
           details.artist,      details.title,
           details.album,       details.label,
           details.composer,    details.publisher,
           known(details.year), details.isrc,
           details.isci,        details.lengthMs >= 0 ? QString::number(details.lengthMs) : QString(),
           record.text,         details.host};
    // A table made before a column was added, or before unknown carts and
    // cuts could be NULL, takes the play as it would have then.
    bool withHost = true;
    bool nullNumbers = true;
    // Asked before binding: QString::utf16() gives a null string a buffer.
    std::array<bool, 18> unknown {};
    for (const size_t number : {3, 4, 12, 15}) {
        unknown[number] = values[number].isNull();
    }
    for (;;) {
        odbc::Handle statement(SQL_HANDLE_STMT, connection.get());
        std::array<SQLLEN, 18> lengths {};
        const size_t count = withHost ? 18 : 17;
        // The driver reads the bound texts when the statement runs: each
        // must outlive it.
        static const QString kZero = u"0"_qs;
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
        try {
            odbc::execute(
                statement,
                u"INSERT INTO PlayDetails (played_at, machine, service, cart, cut, group_name, artist, title, album,"
                " label, composer, publisher, year, isrc, isci, length_ms, full_text%1)"
                " VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?%2)"_qs.arg(withHost ? u", host_name"_qs : QString(),
                                                                       withHost ? u",?"_qs : QString()),
                u"storing the play's details"_qs);
            return;
        } catch (const odbc::Error &error) {
            if (withHost && error.nativeCode() == 1054) { // no column host_name
                withHost = false;
            } else if (nullNumbers && error.nativeCode() == 1048) { // cart or cut NOT NULL
                nullNumbers = false;
            } else {
                throw error.refusingStatement();
            }
        }
    }
}

void setAutocommit(const odbc::Handle &connection, bool on)
{
    const auto value = reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF));
    odbc::check(SQLSetConnectAttr(connection.get(), SQL_ATTR_AUTOCOMMIT, value, 0), connection,
                u"beginning a transaction"_qs);
}

void commit(const odbc::Handle &connection)
{
    try {
        odbc::check(SQLEndTran(SQL_HANDLE_DBC, connection.get(), SQL_COMMIT), connection, u"committing the play"_qs);
    } catch (const odbc::Error &error) {
        // Sent: whether it was carried out is for the server to say.
        throw error.refusingStatement();
    }
}

} // namespace

QString connectionString(const DatabaseLogin &login)
{
    return u"uid="_qs + login.user + u";pwd="_qs + login.password + u";server="_qs + login.server
        + u";driver={MySQL ODBC 3.51 Driver};database=Brackenwaves;dsn='';"_qs;
}

std::optional<QStringList> metadataColumns(const odbc::Handle &connection)
{
    return unlessDenied([&] {
        odbc::Handle statement(SQL_HANDLE_STMT, connection.get());
        odbc::execute(statement, u"SELECT * FROM Metadata LIMIT 0"_qs, u"reading the columns of Metadata"_qs);
        return odbc::columnNames(statement);
    });
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
    static const QList<int> kNotTheRow
        = {2006, 2013, 2055, 1290, 1836, 1205, 1213, 1142, 1143, 1044, 1146, 1054, 1136, 1036};
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
    return error.isStatementRefusal()
        && (state.startsWith(u"08") || state.startsWith(u"HYT") || kAnswerLost.contains(error.nativeCode()));
}

DetailsOutcome storePlay(const DatabaseLogin &login, const PlayRecord &record, const PlayDetails *details,
                         const std::function<void(qint64 rowsBefore)> &sending)
{
    try {
        DetailsOutcome outcome;
        const bool metadataRow = hasMetadataRow(record, details);
        odbc::Handle connection = odbc::connect(connectionString(login), kDatabaseTimeout);
        if (metadataRow || details) {
            if (details) {
                setAutocommit(connection, false);
            }
            const qint64 rowsBefore = sending ? countRows(connection, record, metadataRow).value_or(-1) : -1;
            if (sending) {
                sending(rowsBefore);
            }
            if (metadataRow) {
                insertRow(connection, record);
            }
            if (details) {
                // MariaDB undoes only the failed statement: the Metadata row
                // is committed whatever becomes of its details.
                try {
                    insertDetails(connection, record, *details);
                } catch (const odbc::Error &error) {
                    if (error.nativeCode() == 1146) {
                        outcome.tableMissing = true;
                    } else if (refusalOf(error) == Refusal::ForGood) {
                        outcome.refusal = error.masking(login.password).describe();
                    } else {
                        throw;
                    }
                }
                commit(connection);
            }
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

} // namespace quaverlink
