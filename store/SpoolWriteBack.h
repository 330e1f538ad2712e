// Writing spooled rows back through the session's connections: identifiers drawn on DS as
// for any row, the rows inserted on Log with the event log's and the audit's own statements.
#pragma once

#include "store/Database.h"
#include "store/Spool.h"

namespace qbnotify {

// Inserts a row under its identifier, with the times it carries, with the event log's and
// the audit's own statements; sent once more after a lost connection (the identifier is a
// key). Raises DatabaseError.
void InsertEventRow(Connections& connections, const EventRow& row);
void InsertAuditRow(Connections& connections, const AuditRow& row);

// What a failed insert of a spooled row means:
//   a duplicate key                                   -> AlreadyWritten
//   the server unreachable, lost, timed out, read-    -> Unavailable: the row stays,
//   only, shutting down (DatabaseError says which)       draining stops
//   a value the column cannot take (too long, not a   -> Refused: set aside
//   valid text or date, out of range, NULL)
//   any other refusal (a privilege or table missing,  -> Declined: the row stays, the
//   a failing trigger)                                   next rows are tried
// Only the row's own content makes a row worthless to keep; everything else may heal.
InsertOutcome ClassifyInsertFailure(const DatabaseError& error);

// The callbacks that Spool::Drain takes, over these connections.
DrainCallbacks SpoolWriteBack(Connections& connections);

}  // namespace qbnotify
