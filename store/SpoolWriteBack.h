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

// For a row whose first write failed with `failure`: a server that could not be reached or
// stopped answering keeps the row in the installation's spool; any other failure counts it
// as refused. Never throws. Spooled tells whether the row is on the disk.
SpoolAddResult KeepRow(Platform& platform, const SpooledRow& row, const DatabaseError& failure);

// After a handler's own work: writes spooled rows back through its connections, with the
// budget of the spool's settings, or without one (the tools' "write back now"). A spool
// without waiting rows costs one look at its directory and nothing else.
DrainReport WriteBackSpool(Platform& platform, Connections& connections, bool withinBudget = true);

}  // namespace qbnotify
