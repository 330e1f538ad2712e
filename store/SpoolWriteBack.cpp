#include "store/SpoolWriteBack.h"

#include <mysqld_error.h>

#include "store/Identifiers.h"

namespace qbnotify {

namespace {

// Sent again when the connection is lost while the answer is awaited; a duplicate key
// answered to that second sending means that the first one landed.
void InsertUnderKey(Statement& insert) {
  try {
    insert.Execute(Connection::Resend::IfLost);
  } catch (const DatabaseError& error) {
    if (error.Code() == ER_DUP_ENTRY && insert.GetConnection().LastQueryResent()) return;
    throw;
  }
}

}  // namespace

void InsertEventRow(Connections& connections, const EventRow& row) {
  Statement insert(connections.Log.get());
  insert.SetSql(
      "Insert into log (ID,Time,TypeID,SourceID,UserID,AppID,ComputerName,EventID,Parameter1,Parameter2) values "
      "(:ID,:Time,:TypeID,:SourceID,:UserID,:AppID,:ComputerName,:EventID,:Parameter1,:Parameter2)");
  insert.BindText("ID", row.id);
  insert.BindDateTime("Time", row.time);
  insert.BindInteger("TypeID", row.typeId);
  insert.BindInteger("SourceID", row.sourceId);
  insert.BindText("UserID", row.userId);
  insert.BindText("AppID", row.appId);
  insert.BindText("ComputerName", row.computerName);
  insert.BindInteger("EventID", row.eventId);
  insert.BindText("Parameter1", row.parameter1);
  insert.BindText("Parameter2", row.parameter2);
  InsertUnderKey(insert);
}

void InsertAuditRow(Connections& connections, const AuditRow& row) {
  Statement insert(connections.Log.get());
  insert.SetSql(
      "Insert into appshenji(sessionid,farmuser,appid,appshowname,clientmac,starttime,stoptime,logid) "
      "values(:A,:B,:C,:D,:E,:F,:G,:H)");
  insert.BindText("A", row.record.sessionid);
  insert.BindText("B", row.record.farmuser);
  insert.BindText("C", row.record.appid);
  insert.BindText("D", row.record.appshowname);
  insert.BindText("E", row.record.clientmac);
  insert.BindDateTime("F", row.record.starttime);
  insert.BindDateTime("G", row.record.stoptime);
  insert.BindText("H", row.logid);
  InsertUnderKey(insert);
}

InsertOutcome ClassifyInsertFailure(const DatabaseError& error) {
  if (error.Code() == ER_DUP_ENTRY) return InsertOutcome::AlreadyWritten;
  if (error.ServerUnavailable()) return InsertOutcome::Unavailable;
  switch (error.Code()) {
    case ER_DATA_TOO_LONG:
    case ER_TRUNCATED_WRONG_VALUE_FOR_FIELD:
    case ER_TRUNCATED_WRONG_VALUE:
    case ER_WARN_DATA_OUT_OF_RANGE:
    case ER_BAD_NULL_ERROR:
      return InsertOutcome::Refused;
    case 0:  // raised by the library itself: no connection to send on
      return InsertOutcome::Unavailable;
    default:
      return InsertOutcome::Declined;
  }
}

DrainCallbacks SpoolWriteBack(Connections& connections) {
  DrainCallbacks callbacks;
  callbacks.drawIdentifier = [&connections](const std::string& head) {
    Statement counter(connections.DS.get());
    return NextIdentifier(counter, head);
  };
  callbacks.insert = [&connections](const SpooledRow& row) {
    try {
      if (const auto* event = std::get_if<EventRow>(&row)) InsertEventRow(connections, *event);
      else InsertAuditRow(connections, std::get<AuditRow>(row));
      return InsertOutcome::Written;
    } catch (const DatabaseError& error) {
      return ClassifyInsertFailure(error);
    }
  };
  return callbacks;
}

SpoolAddResult KeepRow(Platform& platform, const SpooledRow& row, const DatabaseError& failure) {
  try {
    std::optional<Spool> spool = Spool::Locate(platform);
    if (!spool) return SpoolAddResult::Failed;
    if (failure.ServerUnavailable()) return spool->Add(row);
    spool->CountRefused();
    return SpoolAddResult::Dropped;
  } catch (...) {
    return SpoolAddResult::Failed;
  }
}

DrainReport WriteBackSpool(Platform& platform, Connections& connections, bool withinBudget) {
  try {
    const std::optional<std::string> directory = SpoolDirectory(platform);
    if (!directory || !Spool(platform, *directory, SpoolSettings{}).HasWaitingRows()) return {};
    std::optional<Spool> spool = Spool::Locate(platform);
    if (!spool) return {};
    const DrainCallbacks callbacks = SpoolWriteBack(connections);
    return withinBudget ? spool->DrainWithinBudget(callbacks) : spool->Drain(callbacks, std::nullopt);
  } catch (...) {
    DrainReport report;
    report.diskFailed = true;
    return report;
  }
}

}  // namespace qbnotify
