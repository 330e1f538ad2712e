#include "store/EventLog.h"

#include <mysqld_error.h>

#include "environment/Switches.h"
#include "store/Identifiers.h"
#include "store/ServerErrors.h"
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

// The rows' identifiers drawn and the rows inserted in one transaction on DS, tried again
// after a conflict. Raises DatabaseError after rolling back; `maybeLanded` tells whether the
// commit was sent without an answer.
void WriteTogether(Connections& connections, std::vector<EventRow>& events, std::vector<AuditRow>& audits,
                   bool& maybeLanded) {
  maybeLanded = false;
  if (!connections.DS) throw DatabaseError("the database connection has been released");
  Connection& ds = *connections.DS;
  const std::string logDatabase = connections.Log ? connections.Log->database : std::string();
  const auto forget = [&] {
    for (EventRow& row : events) row.id.clear();
    for (AuditRow& row : audits) row.logid.clear();
  };
  ConflictRetry retry(ds);
  for (;;) {
    std::uint64_t sentBeforeCommit = 0;
    bool committing = false;
    try {
      std::vector<HeadDraw> draws{{kHeadEvent, static_cast<int>(events.size()), {}},
                                  {kHeadAudit, static_cast<int>(audits.size()), {}}};
      DrawTogether(ds, draws);
      std::vector<const EventRow*> eventRows;
      std::vector<const AuditRow*> auditRows;
      for (std::size_t i = 0; i < events.size(); ++i) {
        events[i].id = draws[0].identifiers.at(i);
        eventRows.push_back(&events[i]);
      }
      for (std::size_t i = 0; i < audits.size(); ++i) {
        audits[i].logid = draws[1].identifiers.at(i);
        auditRows.push_back(&audits[i]);
      }
      InsertEventRows(ds, eventRows, logDatabase, true);
      InsertAuditRows(ds, auditRows, logDatabase, true);
      sentBeforeCommit = ds.QueriesSent();
      committing = true;
      ds.QueryInTransaction("Commit");
      return;
    } catch (const DatabaseError& error) {
      // Sent, unanswered: the commit may have run.
      maybeLanded = committing && ds.QueriesSent() > sentBeforeCommit && MeansUnavailable(KindOfError(error.Code()));
      if (!maybeLanded) forget();
      // A connection whose transaction cannot be rolled back is closed: the server rolls it
      // back then.
      try {
        if (ds.IsOpen()) ds.QueryInTransaction("Rollback");
      } catch (const DatabaseError&) {
        ds.Close();
      }
      if (maybeLanded || KindOfError(error.Code()) != ErrorKind::Conflict || error.ServerUnavailable()) throw;
      retry.PauseOrGiveUp(error);
    }
  }
}

}  // namespace

void RecordBatch::AddEvent(Platform& platform, std::int32_t typeId, std::int32_t sourceId, std::int32_t eventId,
                           const std::string& userId, const std::string& appId, const std::string& computerName,
                           const std::string& parameter1, const std::string& parameter2) {
  events_.push_back(EventRow{std::string(), platform.LocalNow(), typeId, sourceId, userId, appId, computerName,
                             eventId, parameter1, parameter2});
}

void RecordBatch::AddAudit(const AuditRecord& record, std::string& auditRowId) {
  audits_.push_back(AuditRow{std::string(), record});
  auditRowIds_.push_back(&auditRowId);
}

void RecordBatch::Write(Platform& platform, Connections& connections) {
  std::vector<EventRow> events = std::move(events_);
  std::vector<AuditRow> audits = std::move(audits_);
  std::vector<std::string*> auditRowIds = std::move(auditRowIds_);
  events_.clear();
  audits_.clear();
  auditRowIds_.clear();
  if (events.empty() && audits.empty()) return;
  const auto tellAuditIds = [&] {
    for (std::size_t i = 0; i < audits.size(); ++i)
      if (!audits[i].logid.empty()) *auditRowIds[i] = audits[i].logid;
  };
  try {
    bool maybeLanded = false;
    try {
      WriteTogether(connections, events, audits, maybeLanded);
      tellAuditIds();
      return;
    } catch (const DatabaseError& error) {
      if (error.ServerUnavailable() || maybeLanded) {
        for (const EventRow& row : events) KeepRow(platform, row, error);
        for (const AuditRow& row : audits) KeepRow(platform, row, error);
        tellAuditIds();
        return;
      }
    }
    // One row's fault stays its own: each is written alone.
    for (EventRow& row : events) {
      try {
        DrawAndInsert(connections, row, row.id, kHeadEvent, &InsertEventRow);
      } catch (const DatabaseError& error) {
        KeepRow(platform, row, error);
      }
    }
    for (AuditRow& row : audits) {
      try {
        DrawAndInsert(connections, row, row.logid, kHeadAudit, &InsertAuditRow);
      } catch (const DatabaseError& error) {
        KeepRow(platform, row, error);
      }
    }
    tellAuditIds();
  } catch (...) {
    // Records never stop a handler.
  }
}

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
