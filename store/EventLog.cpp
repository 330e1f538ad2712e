#include "store/EventLog.h"

#include <mysqld_error.h>

#include "environment/Switches.h"
#include "store/Identifiers.h"
#include "store/spool/SpoolWriteBack.h"

namespace qbnotify {

namespace {

// Draws an identifier for the row and inserts it; a duplicate key that holds another row
// (a counter restarted under rows written earlier) draws a new identifier, a few times at
// most. Then the row is kept as when the server does not answer, without the identifier.
template <typename Row>
void DrawAndInsert(Connections& connections, Row& row, std::string& id, const char* head,
                   KeyedInsert (*insert)(Connections&, const Row&)) {
  for (int draw = 0;; ++draw) {
    Statement counter(connections.DS.get());
    id = NextIdentifier(counter, head);
    try {
      insert(connections, row);
      return;
    } catch (const DatabaseError& error) {
      if (error.Code() != ER_DUP_ENTRY) throw;
      if (draw == kKeyTakenDrawLimit) {
        id.clear();
        throw DatabaseError(error.what(), error.Code(), true);
      }
    }
  }
}

}  // namespace

void WriteEvent(Platform& platform, Connections& connections, std::int32_t typeId, std::int32_t sourceId,
                std::int32_t eventId, const std::string& userId, const std::string& appId,
                const std::string& computerName, const std::string& parameter1, const std::string& parameter2) {
  // The row's time is its event's, taken before the database is asked anything.
  EventRow row{std::string(), platform.LocalNow(), typeId,  sourceId,  userId,
               appId,         computerName,        eventId, parameter1, parameter2};
  try {
    DrawAndInsert(connections, row, row.id, kHeadEvent, &InsertEventRow);
  } catch (const DatabaseError& error) {
    // The row keeps the identifier if one was drawn for it: an insert whose fate is unknown
    // can then never land twice.
    if (KeepRow(platform, row, error) != SpoolAddResult::Spooled) throw;
  }
}

void WriteAudit(Platform& platform, Connections& connections, std::string& auditRowId, const AuditRecord& record) {
  AuditRow row{std::string(), record};
  try {
    DrawAndInsert(connections, row, row.logid, kHeadAudit, &InsertAuditRow);
    auditRowId = row.logid;
  } catch (const DatabaseError& error) {
    if (!row.logid.empty()) auditRowId = row.logid;
    KeepRow(platform, row, error);
  } catch (...) {
    // An audit row that cannot be written never stops a handler.
  }
}

std::string LookupUserId(Platform& platform, Connections& connections) {
  const std::string name = GetSwitchValue(platform, "/U:");
  Statement statement(connections.DS.get());
  statement.SetSql("select User_ID from Cuser where name= :name");
  statement.BindText("name", name);
  statement.Open();
  return statement.RowCount() >= 1 ? statement.ColumnText("User_ID") : std::string();
}

std::string LookupAppShowName(Connections& connections, const std::string& appId) {
  Statement statement(connections.DS.get());
  statement.SetSql("select Name from Application where App_ID=:AppID");
  statement.BindText("AppID", appId);
  statement.Open();
  return statement.ColumnText("Name");
}

}  // namespace qbnotify
