#include "policy/SessionLimits.h"

#include "environment/SessionQueries.h"
#include "environment/Switches.h"
#include "policy/SessionLoad.h"

namespace qbnotify {

bool CheckAppSessionLimits(Instance& instance) {
  Platform& platform = instance.platform;
  const std::string appId = GetSwitchValue(platform, "/N:");
  const std::string userName = GetSwitchValue(platform, "/U:");

  Statement limits(instance.connections.DS.get());
  limits.SetSql("Select each_user_one_session,app_session_count from application where app_id= :AppID");
  limits.BindText("AppID", appId);
  limits.Open();
  const std::int32_t limit = limits.ColumnInteger("app_session_count");
  const std::int32_t onePerUser = limits.ColumnInteger("each_user_one_session");

  // Sessions of the application: those whose "/N:" value is the identifier.
  Statement load(instance.connections.DC.get());
  load.SetSql("Select InitAppName from dc_sessionload where InitAppName like :AppID");
  load.BindText("AppID", ContainsPattern(platform, appId));
  load.Open();
  std::int32_t running = 0;
  for (std::size_t row = 0; row < load.RowCount(); ++row) {
    load.Seek(row);
    if (SwitchValueEquals(platform, load.ColumnText(std::size_t{0}), "/N:", appId)) ++running;
  }
  if (limit != 0 && running >= limit) return false;

  // Sessions of the application that the user runs.
  load.Close();
  load.SetSql("Select InitAppName from dc_sessionload where InitAppName like :AppID and InitAppName like :UserName");
  load.BindText("AppID", ContainsPattern(platform, appId));
  load.BindText("UserName", ContainsPattern(platform, userName));
  load.Open();
  std::int32_t ofUser = 0;
  for (std::size_t row = 0; row < load.RowCount(); ++row) {
    load.Seek(row);
    const std::string initialProgram = load.ColumnText(std::size_t{0});
    if (SwitchValueEquals(platform, initialProgram, "/N:", appId) &&
        SwitchValueEquals(platform, initialProgram, "/U:", userName))
      ++ofUser;
  }
  return !(onePerUser == 1 && ofUser > 0);
}

std::int32_t GetUserRunAppNum(Instance& instance, const std::string& userName) {
  try {
    Statement statement(instance.connections.DS.get());
    statement.SetSql("Select RunAppNum from cuser where name = :A");
    statement.BindText("A", userName);
    statement.Open();
    return statement.ColumnInteger(std::size_t{0});
  } catch (...) {
    return 0;
  }
}

std::int32_t CountClientProtocolSessions(Instance& instance, const std::string& clientName) {
  try {
    Statement statement(instance.connections.DC.get());
    statement.SetSql("Select Count(*) from dc_sessionload where (ClientName=:B) and (StationName like :A)");
    statement.BindText("A", "%KEV%");
    statement.BindText("B", clientName);
    statement.Open();
    return statement.ColumnInteger(std::size_t{0});
  } catch (...) {
    return 0;
  }
}

int CheckUserSessionLimit(Instance& instance) {
  const std::string userName = GetSwitchValue(instance.platform, "/U:");
  const std::string clientName = GetClientName(instance.platform, kCurrentSession);
  const std::int32_t limit = GetUserRunAppNum(instance, userName);
  if (limit == 0) return 0;
  return CountClientProtocolSessions(instance, clientName) >= limit ? 6 : 0;
}

}  // namespace qbnotify
