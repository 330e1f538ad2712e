#include "store/EventLog.h"

#include "environment/Switches.h"
#include "store/Identifiers.h"
#include "store/SpoolWriteBack.h"

namespace qbnotify {

void WriteEvent(Platform& platform, Connections& connections, std::int32_t typeId, std::int32_t sourceId,
                std::int32_t eventId, const std::string& userId, const std::string& appId,
                const std::string& computerName, const std::string& parameter1, const std::string& parameter2) {
  EventRow row{std::string(), DateTime{}, typeId,  sourceId,  userId,
               appId,         computerName, eventId, parameter1, parameter2};
  try {
    Statement counter(connections.DS.get());
    row.id = NextIdentifier(counter, kHeadEvent);
    row.time = platform.LocalNow();
    InsertEventRow(connections, row);
  } catch (const DatabaseError& error) {
    // The row keeps the time of its event, and the identifier if one was drawn for it: an
    // insert whose fate is unknown can then never land twice.
    if (row.time.IsZero()) row.time = platform.LocalNow();
    if (KeepRow(platform, row, error) != SpoolAddResult::Spooled) throw;
  }
}

void WriteAudit(Platform& platform, Connections& connections, std::string& auditRowId, const AuditRecord& record) {
  AuditRow row{std::string(), record};
  try {
    Statement counter(connections.DS.get());
    auditRowId = NextIdentifier(counter, kHeadAudit);
    row.logid = auditRowId;
    InsertAuditRow(connections, row);
  } catch (const DatabaseError& error) {
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
