#include "store/spool/SpoolWriteBack.h"

#include <algorithm>
#include <string>
#include <vector>

#include <mysqld_error.h>

#include "store/Identifiers.h"
#include "store/ServerErrors.h"
#include "store/SystemEventLog.h"

namespace qbnotify {

namespace {

// The texts of a row as the server hands them back: integers in decimal, times as
// 'YYYY-MM-DD HH:MM:SS'. Every text column is binary, so bytes compare as they are.
using ColumnTexts = std::vector<std::string>;

ColumnTexts TextsOf(const EventRow& row) {
  return {row.id,        FormatDateTime(row.time),  std::to_string(row.typeId),  std::to_string(row.sourceId),
          row.userId,    row.appId,                 row.computerName,            std::to_string(row.eventId),
          row.parameter1, row.parameter2};
}

ColumnTexts TextsOf(const AuditRow& row) {
  const AuditRecord& r = row.record;
  return {row.logid,   r.sessionid, r.farmuser, r.appid, r.appshowname, r.clientmac, FormatDateTime(r.starttime),
          FormatDateTime(r.stoptime)};
}

// Whether the row stored under the key is `expected`, column by column. `select` names the
// columns in the order of TextsOf and has the key as parameter :K.
bool StoredRowIs(Connection& connection, const char* select, const ColumnTexts& expected) {
  Statement read(&connection);
  read.SetSql(select);
  read.BindText("K", expected.front());
  read.Open();
  if (read.RowCount() != 1) return false;
  for (std::size_t i = 0; i < expected.size(); ++i)
    if (read.ColumnText(i) != expected[i]) return false;
  return true;
}

// Inserts under the row's key; sent again when the connection is lost while the answer is
// awaited, and tried again after a conflict (a deadlock, a lock wait timed out, a commit
// failed on a cluster node, an interrupted statement) within the retries' time. A duplicate
// key proves nothing alone: only the same row, in every column, under the key means that an
// earlier sending landed. Another row there raises ER_DUP_ENTRY.
KeyedInsert InsertUnderKey(Statement& insert, const char* select, const ColumnTexts& expected) {
  ConflictRetry retry(insert.GetConnection());
  for (;;) {
    try {
      insert.Execute(Connection::Resend::IfLost);
      return KeyedInsert::Written;
    } catch (const DatabaseError& error) {
      const ErrorKind kind = KindOfError(error.Code());
      if (kind == ErrorKind::Conflict && !error.ServerUnavailable()) {
        retry.PauseOrGiveUp(error);
        continue;
      }
      if (kind != ErrorKind::DuplicateKey) throw;
      if (StoredRowIs(insert.GetConnection(), select, expected)) return KeyedInsert::AlreadyWritten;
      throw DatabaseError("identifier " + expected.front() + " holds another row", ER_DUP_ENTRY);
    }
  }
}

// The texts of one batch insert at most (each byte may be sent escaped, as two): far below
// the server's smallest packet limit.
constexpr std::size_t kBatchTextBytes = 512 * 1024;

std::size_t TextBytesOf(const SpooledRow& row) {
  std::size_t bytes = 0;
  if (const auto* event = std::get_if<EventRow>(&row)) {
    for (const std::string* text : {&event->id, &event->userId, &event->appId, &event->computerName,
                                    &event->parameter1, &event->parameter2})
      bytes += text->size();
    return bytes;
  }
  const AuditRow& audit = std::get<AuditRow>(row);
  const AuditRecord& r = audit.record;
  for (const std::string* text : {&audit.logid, &r.sessionid, &r.farmuser, &r.appid, &r.appshowname, &r.clientmac})
    bytes += text->size();
  return bytes;
}

// A table of `database` (an identifier in backquotes), or of the connection's own.
std::string QualifiedTable(const std::string& database, const char* table) {
  if (database.empty()) return table;
  std::string quoted = "`";
  for (const char c : database) quoted += c == '`' ? std::string("``") : std::string(1, c);
  return quoted + "`." + table;
}

void ExecuteInsert(Statement& insert, bool inTransaction) {
  insert.Execute(inTransaction ? Connection::Resend::InTransaction : Connection::Resend::Never);
}

}  // namespace

KeyedInsert InsertEventRow(Connections& connections, const EventRow& row) {
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
  return InsertUnderKey(insert,
                        "Select ID,Time,TypeID,SourceID,UserID,AppID,ComputerName,EventID,Parameter1,Parameter2 "
                        "from log where ID=:K",
                        TextsOf(row));
}

KeyedInsert InsertAuditRow(Connections& connections, const AuditRow& row) {
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
  return InsertUnderKey(insert,
                        "Select logid,sessionid,farmuser,appid,appshowname,clientmac,starttime,stoptime "
                        "from appshenji where logid=:K",
                        TextsOf(row));
}

void InsertEventRows(Connections& connections, const std::vector<const EventRow*>& rows) {
  if (!connections.Log) throw DatabaseError("the database connection has been released");
  InsertEventRows(*connections.Log, rows);
}

void InsertAuditRows(Connections& connections, const std::vector<const AuditRow*>& rows) {
  if (!connections.Log) throw DatabaseError("the database connection has been released");
  InsertAuditRows(*connections.Log, rows);
}

void InsertEventRows(Connection& connection, const std::vector<const EventRow*>& rows, const std::string& database,
                     bool inTransaction) {
  if (rows.empty()) return;
  std::string sql = "Insert into " + QualifiedTable(database, "log") + " (ID,Time,TypeID,SourceID,UserID,AppID,ComputerName,EventID,Parameter1,Parameter2) values ";
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::string n = std::to_string(i);
    sql += (i ? ",(" : "(") + (":I" + n) + ",:T" + n + ",:Y" + n + ",:S" + n + ",:U" + n + ",:A" + n + ",:C" + n +
           ",:E" + n + ",:P" + n + ",:Q" + n + ")";
  }
  Statement insert(&connection);
  insert.SetSql(sql);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::string n = std::to_string(i);
    const EventRow& row = *rows[i];
    insert.BindText("I" + n, row.id);
    insert.BindDateTime("T" + n, row.time);
    insert.BindInteger("Y" + n, row.typeId);
    insert.BindInteger("S" + n, row.sourceId);
    insert.BindText("U" + n, row.userId);
    insert.BindText("A" + n, row.appId);
    insert.BindText("C" + n, row.computerName);
    insert.BindInteger("E" + n, row.eventId);
    insert.BindText("P" + n, row.parameter1);
    insert.BindText("Q" + n, row.parameter2);
  }
  ExecuteInsert(insert, inTransaction);
}

void InsertAuditRows(Connection& connection, const std::vector<const AuditRow*>& rows, const std::string& database,
                     bool inTransaction) {
  if (rows.empty()) return;
  std::string sql = "Insert into " + QualifiedTable(database, "appshenji") + "(sessionid,farmuser,appid,appshowname,clientmac,starttime,stoptime,logid) values ";
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::string n = std::to_string(i);
    sql += (i ? ",(" : "(") + (":A" + n) + ",:B" + n + ",:C" + n + ",:D" + n + ",:E" + n + ",:F" + n + ",:G" + n +
           ",:H" + n + ")";
  }
  Statement insert(&connection);
  insert.SetSql(sql);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::string n = std::to_string(i);
    const AuditRecord& record = rows[i]->record;
    insert.BindText("A" + n, record.sessionid);
    insert.BindText("B" + n, record.farmuser);
    insert.BindText("C" + n, record.appid);
    insert.BindText("D" + n, record.appshowname);
    insert.BindText("E" + n, record.clientmac);
    insert.BindDateTime("F" + n, record.starttime);
    insert.BindDateTime("G" + n, record.stoptime);
    insert.BindText("H" + n, rows[i]->logid);
  }
  ExecuteInsert(insert, inTransaction);
}

InsertOutcome ClassifyInsertFailure(const DatabaseError& error) {
  if (error.ServerUnavailable()) return InsertOutcome::Unavailable;
  switch (KindOfError(error.Code())) {
    case ErrorKind::DuplicateKey:
      return InsertOutcome::KeyTaken;
    case ErrorKind::RowContent:
      return InsertOutcome::Refused;
    case ErrorKind::Refused:
      return InsertOutcome::Declined;
    case ErrorKind::Unavailable:
    case ErrorKind::Lost:
    case ErrorKind::NotReady:
    case ErrorKind::Conflict:  // past its retries: the row waits for a calmer server
      break;
  }
  return InsertOutcome::Unavailable;
}

DrainCallbacks SpoolWriteBack(Connections& connections) {
  DrainCallbacks callbacks;
  callbacks.drawIdentifier = [&connections](const std::string& head) {
    Statement counter(connections.DS.get());
    return NextIdentifier(counter, head);
  };
  callbacks.insert = [&connections](const SpooledRow& row) {
    try {
      const auto* event = std::get_if<EventRow>(&row);
      const KeyedInsert done =
          event ? InsertEventRow(connections, *event) : InsertAuditRow(connections, std::get<AuditRow>(row));
      return done == KeyedInsert::Written ? InsertOutcome::Written : InsertOutcome::AlreadyWritten;
    } catch (const DatabaseError& error) {
      return ClassifyInsertFailure(error);
    }
  };
  callbacks.drawIdentifiers = [&connections](const std::string& head, int count) {
    Statement counter(connections.DS.get());
    return NextIdentifiers(counter, head, count);
  };
  // A batch that the server does not take whole is not told apart here: each of its rows is
  // then written back on its own, which tells a row already there from one refused.
  callbacks.insertAll = [&connections](const std::vector<const SpooledRow*>& rows) {
    // Rows with long texts go one at a time: a statement past the server's packet limit
    // would cost the connection, and the same batch would fail again at every write-back.
    std::size_t textBytes = 0;
    for (const SpooledRow* row : rows) textBytes += TextBytesOf(*row);
    if (textBytes > kBatchTextBytes) return false;
    std::vector<const EventRow*> events;
    std::vector<const AuditRow*> audits;
    for (const SpooledRow* row : rows) {
      if (const auto* event = std::get_if<EventRow>(row)) events.push_back(event);
      else audits.push_back(&std::get<AuditRow>(*row));
    }
    if (!events.empty() && !audits.empty()) return false;  // one kind per batch
    try {
      InsertEventRows(connections, events);
      InsertAuditRows(connections, audits);
      return true;
    } catch (const DatabaseError&) {
      return false;
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
    // A row that cannot be kept is lost, as it would be without a spool; the handler goes on.
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
    const auto reported = [&](DrainReport report) {
      if (report.written > 0)
        ReportTrouble(platform, Trouble::RowsWrittenBack,
                      std::to_string(report.written) + " kept rows were written back to the database from " + *directory +
                          (report.outOfTime ? "; more are waiting for the next sessions." : "."));
      return report;
    };
    if (!withinBudget) return reported(spool->Drain(callbacks, std::nullopt));
    // The write-back draws from what is left of the handler's wait budget too.
    std::uint32_t budget = spool->Settings().DrainBudgetMs;
    if (const std::optional<long long> left = connections.DS ? connections.DS->BudgetLeftMilliseconds() : std::nullopt) {
      if (*left == 0) return {};
      budget = static_cast<std::uint32_t>(std::min<long long>(budget, *left));
    }
    return reported(spool->Drain(callbacks, budget));
  } catch (...) {
    // The spool is a fallback: whatever fails in it fails the write-back alone.
    DrainReport report;
    report.diskFailed = true;
    return report;
  }
}

}  // namespace qbnotify
