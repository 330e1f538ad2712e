#include "store/WriteLog.h"

#include <charconv>
#include <errmsg.h>
#include <mysqld_error.h>

#include "environment/Switches.h"

namespace qbnotify {
namespace {

constexpr int kDrawAttempts = 5;

bool IsLockConflict(const DatabaseError& error) {
  return error.Code() == ER_LOCK_DEADLOCK || error.Code() == ER_LOCK_WAIT_TIMEOUT;
}

// Draws of one head queue behind a named lock of the server, held from before the read to
// after the commit. The row lock of the read alone is not enough: while a head has no counter
// row yet, the locking reads of several sessions all succeed on the empty gap and their
// inserts then deadlock each other, over and over.
constexpr int kHeadLockWaitSeconds = 10;
constexpr const char* kHeadLockName = "LEFT(CONCAT('GloabolInc.', DATABASE(), '.', :np), 64)";

bool TakeHeadLock(Statement& statement, const std::string& head) {
  statement.SetSql(std::string("Select GET_LOCK(") + kHeadLockName + ", :wait)");
  statement.BindText("np", head);
  statement.BindInteger("wait", kHeadLockWaitSeconds);
  statement.Open();
  if (statement.ColumnInteger(std::size_t{0}) != 1)
    throw DatabaseError("timed out waiting for the identifier counter of head " + head);
  return true;
}

void ReleaseHeadLock(Statement& statement, const std::string& head) {
  statement.SetSql(std::string("Select RELEASE_LOCK(") + kHeadLockName + ")");
  statement.BindText("np", head);
  statement.Open();
}

// One draw inside a transaction; the SELECT takes the head's rows under an update lock so
// that concurrent draws of the head queue behind it.
std::string DrawOnce(Statement& statement, const std::string& head) {
  statement.Close();
  statement.SetSql("Select ID from GloabolInc where Head=:np for update");
  statement.BindText("NP", head);
  statement.Open();

  std::string identifier;
  if (statement.RowCount() >= 1) {
    const std::string stored = statement.ColumnText("ID");
    const std::string tail = stored.size() > head.size() ? stored.substr(head.size()) : std::string();
    std::int64_t number = 0;
    const auto [end, error] = std::from_chars(tail.data(), tail.data() + tail.size(), number);
    if (tail.empty() || error != std::errc() || end != tail.data() + tail.size())
      throw DatabaseError("'" + stored + "' is not a valid identifier of head " + head);
    if (number + 1 > INT32_MAX || number + 1 < INT32_MIN)
      throw DatabaseError("the identifiers of head " + head + " are exhausted at '" + stored + "'");
    identifier = FormatIdentifier(head, static_cast<std::int32_t>(number + 1));
    statement.Close();
    statement.SetSql("Update GloabolInc set ID=:NID where Head=:NP");
    statement.BindText("NP", head);
    statement.BindText("NID", identifier);
    statement.Execute();
  } else {
    identifier = FormatIdentifier(head, kFirstIdentifierNumber);
    statement.Close();
    statement.SetSql("Insert into GloabolInc(Head,ID,Inc,Remark) values(:H,:I,:NC,:Mark)");
    statement.BindText("H", head);
    statement.BindText("I", identifier);
    statement.BindInteger("Nc", 1);
    statement.BindText("Mark", "NULL");
    statement.Execute();
  }
  statement.Close();
  return identifier;
}

void RunPlain(Statement& statement, const char* sql) {
  statement.SetSql(sql);
  statement.Execute();
}

}  // namespace

std::string FirstBytes(const std::string& text, std::size_t capacity) { return text.substr(0, capacity); }

std::string FormatIdentifier(const std::string& head, std::int32_t number) {
  const int width = head.size() < 11 ? static_cast<int>(11 - head.size()) : 0;
  const bool negative = number < 0;
  std::string digits = std::to_string(negative ? -static_cast<std::int64_t>(number) : std::int64_t{number});
  if (static_cast<int>(digits.size()) < width) digits.insert(0, static_cast<std::size_t>(width) - digits.size(), '0');
  return head + (negative ? "-" : "") + digits;
}

std::string NextIdentifier(Statement& statement, const std::string& head) {
  for (int attempt = 1;; ++attempt) {
    bool locked = false;
    try {
      locked = TakeHeadLock(statement, head);
      RunPlain(statement, "Start transaction");
      std::string identifier = DrawOnce(statement, head);
      RunPlain(statement, "Commit");
      ReleaseHeadLock(statement, head);
      statement.Close();
      return identifier;
    } catch (const DatabaseError& error) {
      try {
        RunPlain(statement, "Rollback");
        if (locked) ReleaseHeadLock(statement, head);
      } catch (const DatabaseError&) {
        // The connection is gone: the server has rolled back and released the lock itself.
      }
      statement.Close();
      if (!IsLockConflict(error) || attempt == kDrawAttempts) throw;
    }
  }
}

void WriteEvent(Platform& platform, Connections& connections, std::int32_t typeId, std::int32_t sourceId,
                std::int32_t eventId, const std::string& userId, const std::string& appId,
                const std::string& computerName, const std::string& parameter1, const std::string& parameter2) {
  Statement counter(connections.DS.get());
  Statement insert(connections.Log.get());
  const std::string identifier = NextIdentifier(counter, kHeadEvent);
  insert.SetSql(
      "Insert into log (ID,Time,TypeID,SourceID,UserID,AppID,ComputerName,EventID,Parameter1,Parameter2) values "
      "(:ID,:Time,:TypeID,:SourceID,:UserID,:AppID,:ComputerName,:EventID,:Parameter1,:Parameter2)");
  insert.BindText("ID", identifier);
  insert.BindDateTime("Time", platform.LocalNow());
  insert.BindInteger("TypeID", typeId);
  insert.BindInteger("SourceID", sourceId);
  insert.BindText("UserID", userId);
  insert.BindText("AppID", appId);
  insert.BindText("ComputerName", computerName);
  insert.BindInteger("EventID", eventId);
  insert.BindText("Parameter1", parameter1);
  insert.BindText("Parameter2", parameter2);
  insert.Execute();
}

void WriteAudit(Connections& connections, std::string& auditRowId, const AuditRecord& record) {
  try {
    Statement insert(connections.Log.get());
    Statement counter(connections.DS.get());
    insert.Close();
    auditRowId = NextIdentifier(counter, kHeadAudit);
    insert.SetSql(
        "Insert into appshenji(sessionid,farmuser,appid,appshowname,clientmac,starttime,stoptime,logid) "
        "values(:A,:B,:C,:D,:E,:F,:G,:H)");
    insert.BindText("A", record.sessionid);
    insert.BindText("B", record.farmuser);
    insert.BindText("C", record.appid);
    insert.BindText("D", record.appshowname);
    insert.BindText("E", record.clientmac);
    insert.BindDateTime("F", record.starttime);
    insert.BindDateTime("G", record.stoptime);
    insert.BindText("H", auditRowId);
    insert.Execute();
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
