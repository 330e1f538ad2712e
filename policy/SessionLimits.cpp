#include "policy/SessionLimits.h"

#include "environment/Switches.h"
#include "policy/SessionLoad.h"

namespace qbnotify {
namespace {

// Runs a one-number query; its failure stops here, as the value's stand-in.
template <typename Body>
Result<std::int32_t> ReadNumber(QueryStep* record, Body body) {
  QueryStep ownStep;
  QueryStep& step = record ? *record : ownStep;
  std::int32_t value = 0;
  if (std::optional<Failure> failure = Capture([&] { value = body(step); })) return *std::move(failure);
  return value;
}

// A number whose query failed counts as 0 and keeps the failure in the decision: the
// limit does not apply.
std::int32_t OrZero(const Result<std::int32_t>& number, std::optional<Failure>& failure) {
  if (!number) failure = number.Error();
  return number.ValueOr(0);
}

}  // namespace

Result<std::int32_t> GetUserRunAppNum(Instance& instance, const std::string& userName, QueryStep* record) {
  return ReadNumber(record, [&](QueryStep& step) {
    Statement statement(instance.connections.DS.get());
    statement.SetSql("Select RunAppNum from cuser where name = :A");
    statement.BindText("A", userName);
    step = {"DS", statement.Render(), 0};
    statement.Open();
    step.rows = statement.RowCount();
    return statement.ColumnInteger(std::size_t{0});
  });
}

Result<std::int32_t> CountClientProtocolSessions(Instance& instance, const std::string& clientName,
                                                 QueryStep* record) {
  return ReadNumber(record, [&](QueryStep& step) {
    Statement statement(instance.connections.DC.get());
    statement.SetSql("Select Count(*) from dc_sessionload where (ClientName=:B) and (StationName like :A)");
    statement.BindText("A", "%KEV%");
    statement.BindText("B", clientName);
    step = {"DC", statement.Render(), 0};
    statement.Open();
    step.rows = statement.RowCount();
    return statement.ColumnInteger(std::size_t{0});
  });
}

AppLimitsDecision CheckAppSessionLimits(Instance& instance) {
  Platform& platform = instance.platform;
  const std::string& appId = instance.context.AppId;
  const std::string userName = FindSwitchValue(platform, instance.context.InitialProgram, "/U:");
  AppLimitsDecision decision;

  Statement limits(instance.connections.DS.get());
  limits.SetSql("Select each_user_one_session,app_session_count from application where app_id= :AppID");
  limits.BindText("AppID", appId);
  decision.queries.push_back({"DS", limits.Render(), 0});
  limits.Open();
  decision.queries.back().rows = limits.RowCount();
  decision.limit = limits.ColumnInteger("app_session_count");
  decision.onePerUser = limits.ColumnInteger("each_user_one_session");

  // Sessions of the application: those whose "/N:" value is the identifier. The columns form
  // answers the server's count beside each row, and the rows only when they could refuse.
  Statement load(instance.connections.DC.get());
  OpenSessionLoadSearch(instance, load, ApplicationSessionsSearch(appId, decision.limit), decision.queries);
  const bool counted = ChooseSessionLoadForm(instance) == SessionLoadForm::SwitchColumns;
  for (std::size_t row = 0; row < load.RowCount(); ++row) {
    load.Seek(row);
    if (counted) decision.serverCount = load.ColumnInteger(std::size_t{1});
    if (load.ColumnIsNull(0)) continue;
    const std::string initialProgram = load.ColumnText(std::size_t{0});
    if (SwitchValueEquals(platform, initialProgram, "/N:", appId)) decision.runningRows.push_back({initialProgram, {}, {}});
  }
  const auto running = static_cast<std::int64_t>(decision.runningRows.size());
  if (decision.limit != 0 && running >= decision.limit) {
    decision.admits = false;
    return decision;
  }

  // Sessions of the application that the user runs.
  decision.userCounted = true;
  OpenSessionLoadSearch(instance, load, UserApplicationSessionsSearch(appId, userName), decision.queries);
  for (std::size_t row = 0; row < load.RowCount(); ++row) {
    load.Seek(row);
    const std::string initialProgram = load.ColumnText(std::size_t{0});
    if (SwitchValueEquals(platform, initialProgram, "/N:", appId) &&
        SwitchValueEquals(platform, initialProgram, "/U:", userName))
      decision.userRows.push_back({initialProgram, {}, {}});
  }
  decision.admits = !(decision.onePerUser == 1 && !decision.userRows.empty());
  return decision;
}

bool ApplicationRowsRead(const AppLimitsDecision& decision) {
  return !decision.serverCount || (decision.limit != 0 && *decision.serverCount >= decision.limit);
}

UserLimitDecision CheckUserSessionLimit(Instance& instance) {
  const std::string userName = FindSwitchValue(instance.platform, instance.context.InitialProgram, "/U:");
  UserLimitDecision decision;
  decision.queries.emplace_back();
  decision.limit = OrZero(GetUserRunAppNum(instance, userName, &decision.queries.back()), decision.failure);
  if (decision.limit == 0) return decision;
  decision.countRan = true;
  decision.queries.emplace_back();
  decision.counted = OrZero(
      CountClientProtocolSessions(instance, instance.context.ClientName, &decision.queries.back()), decision.failure);
  decision.result = decision.counted >= decision.limit ? kUserLimitReached : 0;
  return decision;
}

}  // namespace qbnotify
