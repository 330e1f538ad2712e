// Every error of the server or the client library that the store can meet, and what the
// store does for each. The connections, the identifier draw and the inserts of kept rows
// all decide from this one table.
#pragma once

#include <span>

namespace qbnotify {

enum class ErrorKind {
  // The server cannot take statements now, whatever they hold (a refused or failed connect,
  // too many connections, read-only, shutting down). The server counts as unavailable: a
  // row is kept in the spool, a check fails as with an unreachable server.
  Unavailable,
  // The connection was lost or timed out: as Unavailable; an idempotent statement (a draw,
  // an insert under a key) is sent once more on a new connection.
  Lost,
  // A cluster node that is not ready (1047): the statement waits for it within the
  // handler's wait budget (see WaitBudget); then as Unavailable, for the rest of the handler.
  NotReady,
  // The statement lost a race it can win next time (a deadlock or a cluster's certification
  // conflict, a lock wait timed out, a commit that failed on a cluster node, an interrupted
  // statement): a draw or an insert is tried again within the wait budget, then the row is
  // kept as with an unavailable server. A read reports it.
  Conflict,
  // A duplicate key: a draw creating a head's counter row lost a race (tried again); an
  // insert under an identifier compares the row under the key (same row: already written;
  // another row: a new identifier).
  DuplicateKey,
  // The row's own content does not fit its column: refused, counted, never kept.
  RowContent,
  // Any other refusal (a privilege or table missing, a failing trigger, a syntax error): the
  // statement fails; a kept row stays waiting and the rows behind it are tried.
  Refused,
};

struct ServerErrorRule {
  unsigned code;
  const char* name;
  ErrorKind kind;
};

// The table, one rule a code.
std::span<const ServerErrorRule> ServerErrorTable();

// The kind of an error number; Refused for numbers the table does not hold. Code 0 (raised
// by the library itself: no connection to send on) is Unavailable.
ErrorKind KindOfError(unsigned code);

// The server cannot serve now: Unavailable, Lost or NotReady.
inline bool MeansUnavailable(ErrorKind kind) {
  return kind == ErrorKind::Unavailable || kind == ErrorKind::Lost || kind == ErrorKind::NotReady;
}

}  // namespace qbnotify
