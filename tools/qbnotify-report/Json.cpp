// The report as JSON, in UTF-8.
#include "tools/common/ToolSupport.h"
#include "tools/qbnotify-report/Output.h"

namespace qbnotify::report {
namespace {

using nlohmann::ordered_json;
using tools::Shown;

ordered_json Minute(Seconds time) { return time == kNoTime ? ordered_json(nullptr) : ordered_json(FormatMinute(time)); }

void PutTotals(ordered_json& object, const UsageTotals& totals) {
  object["sessions"] = totals.sessions;
  object["users"] = totals.users;
  object["clients"] = totals.clients;
  object["peak_sessions"] = totals.peak;
  object["peak_at"] = Minute(totals.peakAt);
  object["open_sessions"] = totals.openSessions;
  object["duration_median_seconds"] = totals.duration.median;
  object["duration_p95_seconds"] = totals.duration.p95;
  object["connected_seconds"] = totals.connected;
  object["disconnected_seconds"] = totals.disconnected;
}

ordered_json Days(const UsageTotals& totals, Seconds begin) {
  ordered_json days = ordered_json::array();
  for (std::size_t day = 0; day < totals.days.size(); ++day)
    days.push_back({{"date", FormatDate(begin + static_cast<Seconds>(day) * 86400)},
                    {"sessions", totals.days[day].sessions},
                    {"users", totals.days[day].users},
                    {"clients", totals.days[day].clients}});
  return days;
}

ordered_json Groups(const std::vector<Refusals::Group>& groups, const char* key) {
  ordered_json list = ordered_json::array();
  for (const Refusals::Group& group : groups)
    list.push_back({{key, Shown(group.key)},
                    {"refusals", group.Recorded()},
                    {"policy", group.policy},
                    {"shell", group.shell},
                    {"application_rule", group.applicationRule},
                    {"unrecorded", group.unrecorded},
                    {"offline", group.offline}});
  return list;
}

}  // namespace

ordered_json ReportJson(const Report& report, bool series) {
  const Period& period = report.period;
  const Usage& usage = report.usage;
  ordered_json json;
  json["period"] = {{"from", FormatDate(period.begin)},
                    {"to", FormatDate(period.end - 86400)},
                    {"as_of", FormatTime(period.asOf)}};
  json["filters"] = {{"app", report.request.app.empty() ? ordered_json(nullptr) : ordered_json(Shown(report.request.app))},
                     {"user", report.request.user.empty() ? ordered_json(nullptr) : ordered_json(Shown(report.request.user))}};
  ordered_json farm;
  PutTotals(farm, usage.farm);
  json["farm"] = farm;
  ordered_json apps = ordered_json::array();
  for (const ApplicationUsage& app : usage.applications) {
    ordered_json entry{{"app_id", Shown(app.appId)}, {"name", Shown(app.name)}};
    PutTotals(entry, app.totals);
    entry["limit"] = app.limit ? ordered_json(*app.limit) : ordered_json(nullptr);
    entry["days"] = Days(app.totals, period.begin);
    apps.push_back(std::move(entry));
  }
  json["applications"] = std::move(apps);
  json["days"] = Days(usage.farm, period.begin);

  ordered_json reasons = ordered_json::array();
  for (const Refusals::Line& line : report.refusals.byReason) {
    ordered_json entry{{"reason", line.reason}};
    if (line.reason == "policy") entry["policy_id"] = Shown(line.policyId);
    entry["count"] = line.count;
    reasons.push_back(std::move(entry));
  }
  json["refusals"] = {
      {"recorded", report.refusals.recorded},
      {"unrecorded", report.refusals.unrecorded},
      {"by_reason", std::move(reasons)},
      {"by_application", Groups(report.refusals.byApplication, "app_id")},
      {"by_client", Groups(report.refusals.byClient, "client")},
      {"cannot_tell_apart",
       {"application-rule: an application without a row in Application and a refusal by the application's session "
        "limit leave the same record",
        "unrecorded: the duplicate-account rule and the user's session limit leave no refusal record; these are "
        "sessions that passed the shell check and then neither logged on nor left a refusal record, which also holds "
        "a session whose records were lost or that ended before its logon",
        "sessions let in unchecked because the database could not be reached (offline mode open) leave no record at "
        "all; those decided offline (cached or closed) are counted apart, by mode"}}};
  ordered_json offline = ordered_json::array();
  for (const OfflineDecisions& o : report.refusals.offline)
    offline.push_back({{"mode", Shown(o.mode)}, {"sessions", o.sessions}, {"admitted", o.admitted}, {"refused", o.refused}});
  json["offline_decisions"] = std::move(offline);

  ordered_json map = ordered_json::array();
  for (const auto& weekday : usage.startsByWeekdayHour) map.push_back(ordered_json(std::vector<std::int64_t>(weekday, weekday + 24)));
  json["starts_by_weekday_hour"] = std::move(map);
  ordered_json users = ordered_json::array(), clients = ordered_json::array();
  for (const Ranked& user : usage.topUsers) users.push_back({{"user", Shown(user.key)}, {"sessions", user.sessions}});
  for (const Ranked& client : usage.topClients) clients.push_back({{"mac", Shown(client.key)}, {"sessions", client.sessions}});
  json["top_users"] = std::move(users);
  json["top_clients"] = std::move(clients);

  ordered_json anomalies = ordered_json::array();
  for (const Anomaly& a : usage.anomalies)
    anomalies.push_back({{"kind", a.kind}, {"logid", Shown(a.logid)}, {"user", Shown(a.user)}, {"app_id", Shown(a.app)},
                         {"mac", Shown(a.mac)}, {"session_id", Shown(a.sessionid)}, {"time", FormatTime(a.time)},
                         {"detail", a.detail}});
  json["anomalies"] = {{"count", usage.anomalyCount}, {"listed", std::move(anomalies)}};

  if (series) {
    ordered_json perApp = ordered_json::object();
    for (const ApplicationUsage& app : usage.applications) perApp[Shown(app.appId)] = app.totals.perMinute;
    json["series"] = {{"start", FormatMinute(period.begin)}, {"step_seconds", 60}, {"farm", usage.farm.perMinute},
                      {"applications", std::move(perApp)}};
  }
  return json;
}

}  // namespace qbnotify::report
