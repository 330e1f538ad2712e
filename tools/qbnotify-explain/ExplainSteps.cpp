#include "tools/qbnotify-explain/ExplainSteps.h"

#include "policy/SecurityPolicy.h"
#include "policy/SessionLimits.h"
#include "tools/common/ToolSupport.h"

namespace qbnotify::tools::explain {

json Queries(const std::vector<QueryStep>& steps) {
  json list = json::array();
  for (const QueryStep& step : steps)
    list.push_back({{"connection", step.connection}, {"sql", Shown(step.sql)}, {"rows", step.rows}});
  return list;
}

json Record(const SessionContext& context, const EventRecord& record) {
  return {{"table", "log"},         {"TypeID", record.typeId},       {"SourceID", 1},
          {"EventID", record.eventId}, {"UserID", Shown(context.UserId)}, {"AppID", Shown(context.AppId)},
          {"ComputerName", Shown(context.ClientName)}, {"Parameter1", Shown(record.parameter1)},
          {"Parameter2", Shown(record.parameter2)}};
}

json Rows(const std::vector<SessionLoadRow>& rows) {
  json list = json::array();
  for (const SessionLoadRow& row : rows) list.push_back(Shown(row.initialProgram));
  return list;
}

std::string AddressGroupText(const PolicyRule& rule) {
  const std::string id = Shown(rule.addressId);
  const std::string& type = rule.addressType;
  if (type == "0") return id + " (any address)";
  if (type == "2") return id + " (the address " + Shown(rule.ip1) + ")";
  if (type == "4") return id + " (" + Shown(rule.ip1) + " to " + Shown(rule.ip2) + ", octets compared as text)";
  if (type == "8") return id + " (subnet of " + Shown(rule.ip1) + ", first three octets)";
  return id + " (type '" + Shown(type) + "' matches no address)";
}

std::string TimeGroupText(const PolicyRule& rule) {
  const std::string id = Shown(rule.timeId);
  if (rule.dayType == 0) return id + " (any time)";
  static const char* const kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
  std::string days;
  for (std::size_t i = 0; i < 7; ++i)
    if (rule.dayFlags.size() > i + 1 && rule.dayFlags[i + 1] == '1') days += (days.empty() ? "" : ",") + std::string(kDays[i]);
  const std::string to = rule.endDay.empty() ? "(none: never)" : rule.endDay == "0000-00-00" ? "(open)" : rule.endDay;
  return id + " (" + (days.empty() ? "no day" : days) + ", " + (rule.startDay.empty() ? "(none)" : rule.startDay) +
         " to " + to + ", " + (rule.startTime.empty() ? "?" : rule.startTime) + "-" +
         (rule.endTime.empty() ? "?" : rule.endTime) + ")";
}

json RuleJson(const PolicyRule& rule) {
  return {{"SortID", rule.sortId},
          {"clientname", Shown(rule.clientName)},
          {"MAC", Shown(rule.mac)},
          {"ClientProtocol", rule.clientProtocol},
          {"Action", rule.action},
          {"address_group", AddressGroupText(rule)},
          {"time_group", TimeGroupText(rule)}};
}

const char* YesNo(bool value) { return value ? "yes" : "no"; }

// One rule with each condition's answer, and whether it decides (`decided`: an earlier rule did).
std::string RuleLine(const RuleEvaluation& e, bool decided) {
  std::ostringstream line;
  line << "SortID " << e.rule.sortId << (e.rule.action == 0 ? " admits: " : " refuses: ") << "name '"
       << Shown(e.rule.clientName) << "' " << YesNo(e.clientName) << ", MAC '" << Shown(e.rule.mac) << "' "
       << YesNo(e.mac) << ", protocol " << e.rule.clientProtocol << " " << YesNo(e.protocol) << ", time "
       << (e.timeGroupFound ? TimeGroupText(e.rule) : Shown(e.rule.timeId) + " (missing)") << " " << YesNo(e.time)
       << ", address " << (e.addressGroupFound ? AddressGroupText(e.rule) : Shown(e.rule.addressId) + " (missing)")
       << " " << YesNo(e.address)
       << (e.Matches() ? (decided ? "  => matches, but an earlier rule decided" : "  => MATCHES: decides")
                       : "  => no match");
  return line.str();
}

// Every rule of the policy with each condition as the server evaluated it for this client.
void ExplainRules(Instance& instance, const std::string& policyId, json& step) {
  const RuleClient client = ReadRuleClient(instance);
  const PolicyEvaluation evaluation = EvaluatePolicyRules(instance, policyId, client);
  step["server_clock"] = {{"date", evaluation.serverDate}, {"time", evaluation.serverTime}, {"weekday", evaluation.serverWeekday}};
  json rules = json::array();
  bool decided = false;
  for (const RuleEvaluation& e : evaluation.rules) {
    json rule = RuleJson(e.rule);
    rule["conditions"] = {{"client_name", e.clientName}, {"mac", e.mac},       {"protocol", e.protocol},
                          {"time", e.time},              {"address", e.address}, {"address_group_found", e.addressGroupFound},
                          {"time_group_found", e.timeGroupFound}};
    rule["matches"] = e.Matches();
    rule["decides"] = e.Matches() && !decided;
    const std::string line = RuleLine(e, decided);
    if (e.Matches()) decided = true;
    rule["text"] = line;
    rules.push_back(rule);
  }
  step["rules"] = rules;
  step["rule_evaluation_query"] = Queries({evaluation.query})[0];
  step["lines"].push_back("client: name '" + Shown(client.name) + "', MAC '" + Shown(client.mac) + "', address " +
                          client.address + "; server clock " + evaluation.serverDate + " " + evaluation.serverTime +
                          " (weekday " + std::to_string(evaluation.serverWeekday) + ", Monday 0)");
  if (evaluation.rules.empty()) step["lines"].push_back("policy " + Shown(policyId) + " has no rules: it refuses everyone");
  for (const json& rule : rules) step["lines"].push_back(rule["text"]);
}

json PolicyStep(Instance& instance, const AdmissionReport& report) {
  json step = {{"check", "security policy"}};
  step["lines"] = json::array();
  if (!report.policyConsulted) {
    step["outcome"] = "skipped: the application '" + Shown(instance.context.AppId) +
                      "' does not go to the policy (upper-cased it must hold APP and not be APP00000000)";
    return step;
  }
  if (!report.policy) return step;
  const PolicyDecision& policy = *report.policy;
  step["queries"] = Queries(policy.queries);
  step["policy_id"] = Shown(policy.policyId);
  using Outcome = PolicyDecision::Outcome;
  switch (policy.outcome) {
    case Outcome::NoApplication: step["outcome"] = "refused: the application has no row in application"; break;
    case Outcome::NoPolicy: step["outcome"] = "no policy (security_policy_id empty, NULL or 'NULL')"; break;
    case Outcome::RuleAdmitted: step["outcome"] = "the policy admits"; break;
    case Outcome::RuleRefused:
      step["outcome"] = "refused by rule SortID " + std::to_string(policy.match->rules.front().sortId) + " of policy " +
                        Shown(policy.policyId) + " (Action " + std::to_string(policy.match->rules.front().action) + ")";
      break;
    case Outcome::NoRuleMatched: step["outcome"] = "refused: no rule of the policy matches"; break;
  }
  if (policy.match) {
    step["queries"].push_back(Queries({policy.match->query})[0]);
    if (!policy.match->rules.empty()) step["deciding_rule"] = RuleJson(policy.match->rules.front());
    step["matching_rules"] = policy.match->rules.size();
    try {
      ExplainRules(instance, policy.policyId, step);
    } catch (const std::exception& error) {
      step["lines"].push_back("the rules could not be evaluated one by one: " + Shown(error.what()));
    }
  }
  if (policy.limits) {
    const AppLimitsDecision& limits = *policy.limits;
    for (const json& query : Queries(limits.queries)) step["queries"].push_back(query);
    step["application_limits"] = {{"app_session_count", limits.limit},
                                  {"each_user_one_session", limits.onePerUser},
                                  {"running_sessions", Rows(limits.runningRows)},
                                  {"user_counted", limits.userCounted},
                                  {"user_sessions", Rows(limits.userRows)},
                                  {"admits", limits.admits}};
    std::string running = ", running sessions of the application " + std::to_string(limits.runningRows.size());
    if (limits.serverCount) {
      step["application_limits"]["server_count"] = *limits.serverCount;
      running = ", sessions naming the application by the server's count " + std::to_string(*limits.serverCount) +
                (ApplicationRowsRead(limits) ? ", of which the switch reader counts " + std::to_string(limits.runningRows.size())
                      : limits.limit == 0 ? ": no limit, so none is read" : ": below the limit, so none is read");
    }
    step["lines"].push_back("application limits: app_session_count " + std::to_string(limits.limit) +
                            (limits.limit == 0 ? " (none)" : "") + running);
    for (const SessionLoadRow& row : limits.runningRows) step["lines"].push_back("  running: " + Shown(row.initialProgram));
    if (limits.userCounted) {
      step["lines"].push_back("each_user_one_session " + std::to_string(limits.onePerUser) +
                              (limits.onePerUser == 1 ? " (one per user)" : " (no such limit)") +
                              ", sessions of the application by this user " + std::to_string(limits.userRows.size()));
      for (const SessionLoadRow& row : limits.userRows) step["lines"].push_back("  the user's: " + Shown(row.initialProgram));
    }
    if (!limits.admits) step["outcome"] = "refused by the application's session limits";
    else if (policy.outcome == Outcome::NoPolicy) step["outcome"] = "passed: no policy, the limits admit";
    else
      step["outcome"] = "passed: rule SortID " + std::to_string(policy.match->rules.front().sortId) + " of policy " +
                        Shown(policy.policyId) + " admits, and so do the limits";
  }
  return step;
}

json DuplicateStep(const AdmissionReport& report) {
  json step = {{"check", "duplicate account"}, {"lines", json::array()}};
  if (!report.repeatLogin) return step;
  const RepeatLoginDecision& setting = *report.repeatLogin;
  step["queries"] = Queries(setting.queries);
  step["RepeatLoginEnable"] = setting.value;
  if (setting.failure)
    step["lines"].push_back("the setting could not be read (the rule does not apply): " + Shown(setting.failure->message));
  if (!setting.forbidden) {
    step["outcome"] = "skipped: RepeatLoginEnable is " + std::to_string(setting.value) + ", not 1";
    return step;
  }
  step["lines"].push_back("RepeatLoginEnable 1: the account may be used from one client computer at a time");
  if (!report.duplicate) return step;
  const DuplicateAccountDecision& duplicate = *report.duplicate;
  for (const json& query : Queries(duplicate.queries)) step["queries"].push_back(query);
  step["sessions_on_other_clients"] = Rows(duplicate.otherClientRows);
  for (const SessionLoadRow& row : duplicate.otherClientRows) step["lines"].push_back("elsewhere: " + Shown(row.initialProgram));
  if (duplicate.failure) step["lines"].push_back("the search failed (the rule admits): " + Shown(duplicate.failure->message));
  step["outcome"] = duplicate.result == kDuplicateAccountFound
                        ? "refused: the user already runs a session from another client computer"
                        : "passed: no session of the user from another client computer";
  return step;
}

json UserLimitStep(const AdmissionReport& report) {
  json step = {{"check", "user session limit"}, {"lines", json::array()}};
  if (!report.userLimit) return step;
  const UserLimitDecision& limit = *report.userLimit;
  step["queries"] = Queries(limit.queries);
  step["RunAppNum"] = limit.limit;
  if (limit.countRan) step["counted_sessions"] = limit.counted;
  if (limit.failure) step["lines"].push_back("a query failed (the limit does not apply): " + Shown(limit.failure->message));
  if (limit.limit == 0) step["outcome"] = "passed: RunAppNum is 0 (no limit)";
  else
    step["outcome"] = std::string(limit.result == kUserLimitReached ? "refused" : "passed") + ": " +
                      std::to_string(limit.counted) + " session(s) of our protocol from this client computer, limit " +
                      std::to_string(limit.limit);
  return step;
}

// The decision as the library applies it: the client's message and the end of the session
// come from the plan, so that they cannot differ from what the library does.
json Decision(const StartupPlan& plan) {
  using Outcome = StartupPlan::Outcome;
  switch (plan.outcome) {
    case Outcome::LeftAlone: return {{"result", "left alone"}};
    case Outcome::Unchecked:
    case Outcome::Stopped: return {{"result", "unchecked"}};
    case Outcome::Admitted:
    case Outcome::Refused: break;
  }
  const int reason = plan.message ? plan.message->reason : kAdmitted;
  const char* by = plan.offline ? plan.offline->decidedBy : plan.admission.decidedBy;
  json decision = {{"result", plan.outcome == Outcome::Admitted ? "admitted" : "refused"},
                   {"reason", reason},
                   {"decided_by", *by ? by : "all checks passed"}};
  if (plan.message) decision["client_message"] = {{"code", plan.message->code}, {"reason", plan.message->reason}};
  if (plan.end) decision["end_session"] = {{"flags", plan.end->flags}, {"reason", plan.end->reason}};
  return decision;
}

// The steps of a decision taken without the database, rule by rule as the snapshot gives it.
void OfflineSteps(Instance& instance, const OfflineDecision& d, json& steps) {
  json mode = {{"check", "offline"}, {"lines", json::array()}};
  mode["outcome"] = std::string("the database is away: [Offline] Admission=") + OfflineModeName(d.configured) +
                    ", decided as " + OfflineModeName(d.mode);
  if (!d.snapshotNote.empty()) mode["lines"].push_back(d.snapshotNote);
  mode["lines"].push_back(std::string("records are kept in the spool, marked Parameter2 '") + d.mark + "'");
  steps.push_back(mode);
  const SessionContext& context = instance.context;
  steps.push_back({{"check", "session context"},
                   {"outcome", "AppId '" + Shown(context.AppId) + "', ClientMac '" + Shown(context.ClientMac) +
                                   "', UserId '" + Shown(context.UserId) + "' (from the snapshot), application '" +
                                   Shown(context.Audit.appshowname) + "'"}});
  steps.push_back({{"check", "shell"},
                   {"outcome", d.shell.result == kAdmitted
                                   ? "passed: the session starts '" + Shown(d.shell.program) + "' (holds KEVSHELL)"
                                   : "refused: the session starts '" + Shown(d.shell.program) +
                                         "', whose name does not hold KEVSHELL"}});
  if (d.shell.result != kAdmitted) return;
  json policy = {{"check", "security policy"}, {"lines", json::array()}};
  if (!d.policyConsulted) {
    policy["outcome"] = "skipped: the application '" + Shown(context.AppId) + "' is exempt from the policy";
  } else if (!d.policy) {
    policy["outcome"] = "refused: no usable snapshot, so every application the policy checks is refused (closed)";
  } else {
    using Outcome = PolicyDecision::Outcome;
    const PolicyDecision& p = *d.policy;
    policy["policy_id"] = Shown(p.policyId);
    switch (p.outcome) {
      case Outcome::NoApplication: policy["outcome"] = "refused: the application has no row in the snapshot"; break;
      case Outcome::NoPolicy: policy["outcome"] = "passed: no policy"; break;
      case Outcome::RuleAdmitted:
        policy["outcome"] = "passed: rule SortID " + std::to_string(p.match->rules.front().sortId) + " of policy " +
                            Shown(p.policyId) + " admits";
        break;
      case Outcome::RuleRefused:
        policy["outcome"] = "refused by rule SortID " + std::to_string(p.match->rules.front().sortId) + " of policy " +
                            Shown(p.policyId);
        break;
      case Outcome::NoRuleMatched: policy["outcome"] = "refused: no rule of the policy matches"; break;
    }
    const RuleClient client = ReadRuleClient(instance);
    policy["lines"].push_back("client: name '" + Shown(client.name) + "', MAC '" + Shown(client.mac) + "', address " +
                              client.address + "; this machine's clock");
    bool decided = false;
    json rules = json::array();
    for (const RuleEvaluation& e : d.rules) {
      const std::string line = RuleLine(e, decided);
      if (e.Matches()) decided = true;
      json rule = RuleJson(e.rule);
      rule["matches"] = e.Matches();
      rule["text"] = line;
      rules.push_back(rule);
      policy["lines"].push_back(line);
    }
    policy["rules"] = rules;
  }
  steps.push_back(policy);
  if (d.reason == kAdmitted) steps.push_back({{"check", "live checks"}, {"outcome", kSkippedOffline}});
}

}  // namespace qbnotify::tools::explain
