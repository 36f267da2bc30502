#include "common/lazylibrary.h"

#include <sqlite3.h>

namespace quaverlink {
namespace {

constexpr char kSqlite[] = "libsqlite3.so.0";
using Sqlite = LazyLibrary<kSqlite>;

} // namespace
} // namespace quaverlink

using quaverlink::Sqlite;

// The SQLite functions the spool and the recent plays use.
QUAVERLINK_FORWARD(Sqlite, int, sqlite3_open_v2, (const char *filename, sqlite3 **db, int flags, const char *vfs),
                   (filename, db, flags, vfs), (*db = nullptr, SQLITE_CANTOPEN))
QUAVERLINK_FORWARD(Sqlite, int, sqlite3_close_v2, (sqlite3 * db), (db), SQLITE_OK)
QUAVERLINK_FORWARD(Sqlite, int, sqlite3_exec,
                   (sqlite3 * db, const char *sql, int (*callback)(void *, int, char **, char **), void *argument,
                    char **error),
                   (db, sql, callback, argument, error), SQLITE_ERROR)
QUAVERLINK_FORWARD(Sqlite, int, sqlite3_busy_timeout, (sqlite3 * db, int ms), (db, ms), SQLITE_ERROR)
QUAVERLINK_FORWARD(Sqlite, const char *, sqlite3_errmsg, (sqlite3 * db), (db), "libsqlite3.so.0 cannot be loaded")
QUAVERLINK_FORWARD(Sqlite, int, sqlite3_prepare_v2,
                   (sqlite3 * db, const char *sql, int bytes, sqlite3_stmt **statement, const char **tail),
                   (db, sql, bytes, statement, tail), (*statement = nullptr, SQLITE_ERROR))
QUAVERLINK_FORWARD(Sqlite, int, sqlite3_bind_int64, (sqlite3_stmt * statement, int index, sqlite3_int64 value),
                   (statement, index, value), SQLITE_ERROR)
QUAVERLINK_FORWARD(Sqlite, int, sqlite3_bind_null, (sqlite3_stmt * statement, int index), (statement, index),
                   SQLITE_ERROR)
QUAVERLINK_FORWARD(Sqlite, int, sqlite3_bind_text,
                   (sqlite3_stmt * statement, int index, const char *text, int bytes, void (*destructor)(void *)),
                   (statement, index, text, bytes, destructor), SQLITE_ERROR)
QUAVERLINK_FORWARD(Sqlite, int, sqlite3_step, (sqlite3_stmt * statement), (statement), SQLITE_ERROR)
QUAVERLINK_FORWARD(Sqlite, const void *, sqlite3_column_blob, (sqlite3_stmt * statement, int column),
                   (statement, column), nullptr)
QUAVERLINK_FORWARD(Sqlite, double, sqlite3_column_double, (sqlite3_stmt * statement, int column), (statement, column),
                   0)
QUAVERLINK_FORWARD(Sqlite, sqlite3_int64, sqlite3_column_int64, (sqlite3_stmt * statement, int column),
                   (statement, column), 0)
QUAVERLINK_FORWARD(Sqlite, int, sqlite3_column_bytes, (sqlite3_stmt * statement, int column), (statement, column), 0)
QUAVERLINK_FORWARD(Sqlite, int, sqlite3_finalize, (sqlite3_stmt * statement), (statement), SQLITE_OK)
QUAVERLINK_FORWARD(Sqlite, int, sqlite3_reset, (sqlite3_stmt * statement), (statement), SQLITE_OK)
QUAVERLINK_FORWARD(Sqlite, int, sqlite3_db_readonly, (sqlite3 * db, const char *name), (db, name), -1)
QUAVERLINK_FORWARD(Sqlite, int, sqlite3_file_control, (sqlite3 * db, const char *name, int operation, void *argument),
                   (db, name, operation, argument), SQLITE_ERROR)
