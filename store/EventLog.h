// The library's records: the event log and the application audit, and the two lookups that
// fill the audit record at startup.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "store/Database.h"
#include "store/Rows.h"

namespace qbnotify {

// Writes one row of the event log on the Log connection, under an identifier drawn on DS.
// When the server cannot be reached or stops answering, the row is kept in the local spool
// with the time of its event (and its identifier, if one was drawn) and written back later;
// that counts as written. Raises DatabaseError when the row is lost: the server refused it
// for its content (it is counted with the spool), or the spool could not keep it.
void WriteEvent(Platform& platform, Connections& connections, std::int32_t typeId, std::int32_t sourceId,
                std::int32_t eventId, const std::string& userId, const std::string& appId,
                const std::string& computerName, const std::string& parameter1, const std::string& parameter2);

// Inserts the audit record as a new row of appshenji under a new "lap" identifier, which
// replaces `auditRowId` as soon as it is drawn; kept in the spool as an event row is.
// Contains every failure.
void WriteAudit(Platform& platform, Connections& connections, std::string& auditRowId, const AuditRecord& record);

// The records that one handler writes, written together: every identifier drawn and every
// row inserted in one transaction on DS (the rows into the Log connection's database), so
// that the handler's records cost one commit. Each row takes its time when it is added.
// The identifiers are drawn before the rows are sent, as for a single record; a rollback
// returns them to the counter with the rows (no draw is left without its row).
//   - a conflict (a deadlock, a lock wait timed out, a cluster's certification failure at
//     the commit) rolls the transaction back and tries it again, within the retries' time;
//   - the server unavailable or the connection lost: every row is kept in the spool, without
//     its identifier (the transaction was rolled back), except when the commit itself was
//     sent and no answer came: then the rows may have landed, and they are kept under their
//     identifiers, so that the write-back finds them rather than writing them twice;
//   - any other failure (a counter that refuses a draw, a key taken by another row, a row the
//     server refuses): the transaction is rolled back and each row is written on its own, as
//     WriteEvent and WriteAudit write it, so that one row's fault stays its own.
class RecordBatch {
 public:
  void AddEvent(Platform& platform, std::int32_t typeId, std::int32_t sourceId, std::int32_t eventId,
                const std::string& userId, const std::string& appId, const std::string& computerName,
                const std::string& parameter1 = {}, const std::string& parameter2 = {});
  // The audit record as it is now; `auditRowId` receives the row's identifier once it is
  // written or kept with one (it must outlive the batch's Write).
  void AddAudit(const AuditRecord& record, std::string& auditRowId);
  bool Empty() const { return events_.empty() && audits_.empty(); }
  // Writes the rows added since the last Write and forgets them. Never raises.
  void Write(Platform& platform, Connections& connections);

 private:
  std::vector<EventRow> events_;
  std::vector<AuditRow> audits_;
  std::vector<std::string*> auditRowIds_;
};

// The User_ID of the user named by the session's "/U:" switch; empty when there is none.
// Raises DatabaseError.
std::string LookupUserId(Platform& platform, Connections& connections);

// The display name of an application; empty when it has no row or no name. Raises
// DatabaseError.
std::string LookupAppShowName(Connections& connections, const std::string& appId);

}  // namespace qbnotify
