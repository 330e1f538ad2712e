#include "store/ServerErrors.h"

#include <errmsg.h>
#include <mysqld_error.h>

namespace qbnotify {
namespace {

constexpr ServerErrorRule kRules[] = {
    {0, "raised by the library: no connection", ErrorKind::Unavailable},
    // Connecting.
    {ER_CON_COUNT_ERROR, "too many connections", ErrorKind::Unavailable},
    {ER_ACCESS_DENIED_ERROR, "account refused", ErrorKind::Unavailable},
    {ER_BAD_DB_ERROR, "unknown database", ErrorKind::Unavailable},
    {CR_CONNECTION_ERROR, "no local server", ErrorKind::Unavailable},
    {CR_CONN_HOST_ERROR, "no server at the address", ErrorKind::Unavailable},
    {CR_UNKNOWN_HOST, "unknown host", ErrorKind::Unavailable},
    {CR_SERVER_HANDSHAKE_ERR, "handshake failed", ErrorKind::Unavailable},
    // Serving.
    {ER_SERVER_SHUTDOWN, "server shutting down", ErrorKind::Unavailable},
    {ER_OPTION_PREVENTS_STATEMENT, "read-only", ErrorKind::Unavailable},
    {ER_READ_ONLY_MODE, "read-only mode", ErrorKind::Unavailable},
    {ER_UNKNOWN_COM_ERROR, "cluster node not ready", ErrorKind::NotReady},
    // The connection.
    {CR_SERVER_GONE_ERROR, "server gone", ErrorKind::Lost},
    {CR_SERVER_LOST, "connection lost during the statement", ErrorKind::Lost},
    {CR_SERVER_LOST_EXTENDED, "connection lost", ErrorKind::Lost},
    {ER_CONNECTION_KILLED, "connection killed", ErrorKind::Lost},
    {4031, "idle connection closed by the server", ErrorKind::Lost},
    // Races.
    {ER_LOCK_DEADLOCK, "deadlock or certification conflict", ErrorKind::Conflict},
    {ER_LOCK_WAIT_TIMEOUT, "lock wait timed out", ErrorKind::Conflict},
    {ER_ERROR_DURING_COMMIT, "commit failed on a cluster node", ErrorKind::Conflict},
    {ER_QUERY_INTERRUPTED, "statement interrupted", ErrorKind::Conflict},
    {ER_DUP_ENTRY, "duplicate key", ErrorKind::DuplicateKey},
    // The row's content.
    {ER_DATA_TOO_LONG, "value too long", ErrorKind::RowContent},
    {ER_TRUNCATED_WRONG_VALUE_FOR_FIELD, "value not valid for the column", ErrorKind::RowContent},
    {ER_TRUNCATED_WRONG_VALUE, "value not valid", ErrorKind::RowContent},
    {ER_WARN_DATA_OUT_OF_RANGE, "value out of range", ErrorKind::RowContent},
    {ER_BAD_NULL_ERROR, "NULL in a NOT NULL column", ErrorKind::RowContent},
    // Refusals that may heal (listed for the reader; any number not listed is one).
    {ER_TABLEACCESS_DENIED_ERROR, "privilege missing", ErrorKind::Refused},
    {ER_NO_SUCH_TABLE, "table missing", ErrorKind::Refused},
    {ER_SIGNAL_EXCEPTION, "a trigger signalled", ErrorKind::Refused},
};

}  // namespace

std::span<const ServerErrorRule> ServerErrorTable() { return kRules; }

ErrorKind KindOfError(unsigned code) {
  for (const ServerErrorRule& rule : kRules)
    if (rule.code == code) return rule.kind;
  return ErrorKind::Refused;
}

}  // namespace qbnotify
