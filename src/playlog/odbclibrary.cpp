#include "common/lazylibrary.h"

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

namespace quaverlink {
namespace {

constexpr char kDriverManager[] = "libodbc.so.2";
using DriverManager = LazyLibrary<kDriverManager>;

} // namespace
} // namespace quaverlink

using quaverlink::DriverManager;

// The driver manager's functions that the play history uses.
QUAVERLINK_FORWARD(DriverManager, SQLRETURN, SQLAllocHandle, (SQLSMALLINT type, SQLHANDLE input, SQLHANDLE *output),
                   (type, input, output), SQL_ERROR)
QUAVERLINK_FORWARD(DriverManager, SQLRETURN, SQLFreeHandle, (SQLSMALLINT type, SQLHANDLE handle), (type, handle),
                   SQL_ERROR)
QUAVERLINK_FORWARD(DriverManager, SQLRETURN, SQLSetEnvAttr,
                   (SQLHENV environment, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER length),
                   (environment, attribute, value, length), SQL_ERROR)
QUAVERLINK_FORWARD(DriverManager, SQLRETURN, SQLSetConnectAttr,
                   (SQLHDBC connection, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER length),
                   (connection, attribute, value, length), SQL_ERROR)
QUAVERLINK_FORWARD(DriverManager, SQLRETURN, SQLDriverConnect,
                   (SQLHDBC connection, SQLHWND window, SQLCHAR *in, SQLSMALLINT inLength, SQLCHAR *out,
                    SQLSMALLINT outMax, SQLSMALLINT *outLength, SQLUSMALLINT completion),
                   (connection, window, in, inLength, out, outMax, outLength, completion), SQL_ERROR)
QUAVERLINK_FORWARD(DriverManager, SQLRETURN, SQLDriverConnectW,
                   (SQLHDBC connection, SQLHWND window, SQLWCHAR *in, SQLSMALLINT inLength, SQLWCHAR *out,
                    SQLSMALLINT outMax, SQLSMALLINT *outLength, SQLUSMALLINT completion),
                   (connection, window, in, inLength, out, outMax, outLength, completion), SQL_ERROR)
QUAVERLINK_FORWARD(DriverManager, SQLRETURN, SQLDrivers,
                   (SQLHENV environment, SQLUSMALLINT direction, SQLCHAR *description, SQLSMALLINT descriptionMax,
                    SQLSMALLINT *descriptionLength, SQLCHAR *attributes, SQLSMALLINT attributesMax,
                    SQLSMALLINT *attributesLength),
                   (environment, direction, description, descriptionMax, descriptionLength, attributes, attributesMax,
                    attributesLength),
                   SQL_NO_DATA)
QUAVERLINK_FORWARD(DriverManager, SQLRETURN, SQLDisconnect, (SQLHDBC connection), (connection), SQL_ERROR)
QUAVERLINK_FORWARD(DriverManager, SQLRETURN, SQLEndTran, (SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT completion),
                   (type, handle, completion), SQL_ERROR)
QUAVERLINK_FORWARD(DriverManager, SQLRETURN, SQLExecDirectW, (SQLHSTMT statement, SQLWCHAR *text, SQLINTEGER length),
                   (statement, text, length), SQL_ERROR)
QUAVERLINK_FORWARD(DriverManager, SQLRETURN, SQLBindParameter,
                   (SQLHSTMT statement, SQLUSMALLINT number, SQLSMALLINT direction, SQLSMALLINT valueType,
                    SQLSMALLINT parameterType, SQLULEN columnSize, SQLSMALLINT digits, SQLPOINTER value,
                    SQLLEN bufferLength, SQLLEN *indicator),
                   (statement, number, direction, valueType, parameterType, columnSize, digits, value, bufferLength,
                    indicator),
                   SQL_ERROR)
QUAVERLINK_FORWARD(DriverManager, SQLRETURN, SQLFetch, (SQLHSTMT statement), (statement), SQL_ERROR)
QUAVERLINK_FORWARD(DriverManager, SQLRETURN, SQLGetData,
                   (SQLHSTMT statement, SQLUSMALLINT column, SQLSMALLINT type, SQLPOINTER value, SQLLEN bufferLength,
                    SQLLEN *indicator),
                   (statement, column, type, value, bufferLength, indicator), SQL_ERROR)
QUAVERLINK_FORWARD(DriverManager, SQLRETURN, SQLGetDiagRecW,
                   (SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT record, SQLWCHAR *state, SQLINTEGER *native,
                    SQLWCHAR *message, SQLSMALLINT messageMax, SQLSMALLINT *messageLength),
                   (type, handle, record, state, native, message, messageMax, messageLength), SQL_NO_DATA)
QUAVERLINK_FORWARD(DriverManager, SQLRETURN, SQLNumResultCols, (SQLHSTMT statement, SQLSMALLINT *count),
                   (statement, count), SQL_ERROR)
QUAVERLINK_FORWARD(DriverManager, SQLRETURN, SQLDescribeColW,
                   (SQLHSTMT statement, SQLUSMALLINT column, SQLWCHAR *name, SQLSMALLINT nameMax,
                    SQLSMALLINT *nameLength, SQLSMALLINT *type, SQLULEN *size, SQLSMALLINT *digits,
                    SQLSMALLINT *nullable),
                   (statement, column, name, nameMax, nameLength, type, size, digits, nullable), SQL_ERROR)
QUAVERLINK_FORWARD(DriverManager, SQLRETURN, SQLBindCol,
                   (SQLHSTMT statement, SQLUSMALLINT column, SQLSMALLINT type, SQLPOINTER value, SQLLEN bufferLength,
                    SQLLEN *indicator),
                   (statement, column, type, value, bufferLength, indicator), SQL_ERROR)
