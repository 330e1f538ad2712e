// Writing spooled rows back through the session's connections: identifiers drawn on DS as
// for any row, the rows inserted on Log with the event log's and the audit's own statements.
#pragma once

#include <vector>

#include "store/Database.h"
#include "store/spool/Spool.h"

namespace qbnotify {

// Inserts a row under its identifier, with the times it carries, with the event log's and
// the audit's own statements; sent once more after a lost connection (the identifier is a
// key). A duplicate key is answered by reading the row under it: the same row in every
// column is AlreadyWritten (an earlier sending landed); another row raises DatabaseError
// with ER_DUP_ENTRY, and the row needs a new identifier. Raises DatabaseError.
enum class KeyedInsert { Written, AlreadyWritten };
KeyedInsert InsertEventRow(Connections& connections, const EventRow& row);
KeyedInsert InsertAuditRow(Connections& connections, const AuditRow& row);

// Inserts rows of one kind under their identifiers in one statement, which the server takes
// whole or not at all (a duplicate key among them refuses them all). Sent once: a lost
// answer leaves it unknown whether they landed. Raises DatabaseError.
void InsertEventRows(Connections& connections, const std::vector<const EventRow*>& rows);
void InsertAuditRows(Connections& connections, const std::vector<const AuditRow*>& rows);
// The same on `connection`, into the tables of `database` (empty: the connection's own), as a
// statement of the transaction the connection is in when `inTransaction`
// (Connection::QueryInTransaction).
void InsertEventRows(Connection& connection, const std::vector<const EventRow*>& rows, const std::string& database = {},
                     bool inTransaction = false);
void InsertAuditRows(Connection& connection, const std::vector<const AuditRow*>& rows, const std::string& database = {},
                     bool inTransaction = false);

// What a failed insert of a spooled row means, by the kind of its error (ServerErrors.h):
//   the server unavailable, lost, not ready, or a     -> Unavailable: the row stays,
//   conflict past its retries                            draining stops
//   a duplicate key held by another row               -> KeyTaken: a new identifier
//   a value the column cannot take                    -> Refused: set aside
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
