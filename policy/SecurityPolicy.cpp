#include "policy/SecurityPolicy.h"

#include "environment/SessionQueries.h"
#include "environment/Switches.h"
#include "policy/SessionLimits.h"

namespace qbnotify {
namespace {

// The rule query's conditions over the rule (a), its address group (b) and its time group
// (c), in the order in which the query joins them; the tools evaluate them one by one.
constexpr const char* kNameCondition =
    ":pCName like replace(replace(a.clientname, :pF1, :pF3), :pF2, :pF4) or a.clientname=:pEvName or"
    " (position(:pF1 in :pCName)=:pV2 and position(:pF2 in :pCName)=:pV2 and a.clientname=:pCName)";

constexpr const char* kMacCondition =
    "(:pCMac like replace(replace(a.MAC, :pF1, :pF3), :pF2, :pF4)) or a.MAC=:pEvMac or (position(:pF1 in"
    " :pCMac)=:pV2 and position(:pF2 in :pCMac)=:pV2 and a.MAC=:pCMac)";

constexpr const char* kProtocolCondition =
    "a.ClientProtocol=:pClientPoto or a.ClientProtocol=:pAllPoto";

constexpr const char* kTimeCondition =
    "((Mid(c.DayFlags, weekday(CurDate())+:pV3, :pV1)=:pV1) and (((c.StartDay<=curdate() and"
    " curdate()<=c.EndDay) or (c.StartDay<=curdate() and c.EndDay=:pV2)) and (c.StartTime<=curtime() and"
    " curtime()<=c.EndTime))) or (c.DayType=:pV2)";

constexpr const char* kAddressCondition =
    "(b.AddressType=:pS2 and b.Ip1=:pCliIP) or (b.AddressType=:pS3 and ((SUBSTRING_INDEX(b.Ip1, :pF5,"
    " :pV1)<SUBSTRING_INDEX(:pCliIP, :pF5, :pV1)) or (SUBSTRING_INDEX(b.Ip1, :pF5,"
    " :pV1)=SUBSTRING_INDEX(:pCliIP, :pF5, :pV1) and SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip1, :pF5, :pV3), :pF5,"
    " :pV4)<SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, :pV3), :pF5, :pV4)) or (SUBSTRING_INDEX(b.Ip1, :pF5,"
    " :pV1)=SUBSTRING_INDEX(:pCliIP, :pF5, :pV1) and SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip1, :pF5, :pV3), :pF5,"
    " :pV4)=SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, :pV3), :pF5, :pV4) and"
    " SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip1, :pF5, :pV5), :pF5, :pV4)<SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP,"
    " :pF5, :pV5), :pF5, :pV4)) or (SUBSTRING_INDEX(b.Ip1, :pF5, :pV1)=SUBSTRING_INDEX(:pCliIP, :pF5, :pV1) and"
    " SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip1, :pF5, :pV3), :pF5, :pV4)=SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP,"
    " :pF5, :pV3), :pF5, :pV4) and SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip1, :pF5, :pV5), :pF5,"
    " :pV4)=SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, :pV5), :pF5, :pV4) and SUBSTRING_INDEX(b.Ip1, :pF5,"
    " -1)<=SUBSTRING_INDEX(:pCliIP, :pF5, :pV4))) and ((SUBSTRING_INDEX(:pCliIP, :pF5,"
    " :pV1)<SUBSTRING_INDEX(b.Ip2, :pF5, :pV1)) or (SUBSTRING_INDEX(:pCliIP, :pF5, :pV1)=SUBSTRING_INDEX(b.Ip2,"
    " :pF5, :pV1) and SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, :pV3), :pF5,"
    " :pV4)<SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip2, :pF5, :pV3), :pF5, :pV4)) or (SUBSTRING_INDEX(:pCliIP, :pF5,"
    " :pV1)=SUBSTRING_INDEX(b.Ip2, :pF5, :pV1) and SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, :pV3), :pF5,"
    " :pV4)=SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip2, :pF5, :pV3), :pF5, :pV4) and"
    " SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, :pV5), :pF5, :pV4)<SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip2,"
    " :pF5, :pV5), :pF5, :pV4)) or (SUBSTRING_INDEX(:pCliIP, :pF5, :pV1)=SUBSTRING_INDEX(b.Ip2, :pF5, :pV1) and"
    " SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, :pV3), :pF5, :pV4)=SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip2,"
    " :pF5, :pV3), :pF5, :pV4) and SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, :pV5), :pF5,"
    " :pV4)=SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip2, :pF5, :pV5), :pF5, :pV4) and SUBSTRING_INDEX(:pCliIP, :pF5,"
    " :pV4)<=SUBSTRING_INDEX(b.Ip2, :pF5, :pV4))) or (b.AddressType=:pS4 and (SUBSTRING_INDEX(b.Ip1, :pF5,"
    " :pV1)=SUBSTRING_INDEX(:pCliIP, :pF5, :pV1) and SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip1, :pF5, :pV3), :pF5,"
    " :pV4)=SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, :pV3), :pF5, :pV4) and"
    " SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip1, :pF5, :pV5), :pF5, :pV4)=SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP,"
    " :pF5, :pV5), :pF5, :pV4)))) or (b.AddressType=:pS1)";

// Joins each rule of the policy with its address group and time group and keeps those that
// match this client now (by the database server's clock), lowest SortID first.
const std::string kRuleQuery = std::string(
    "select a.*, b.*, c.* from (securitypolicy_sub as a INNER JOIN addressgroup as b ON a.ClientIPAddressGroupID = "
    "b.AddressID) INNER JOIN timegroup as c ON a.TimeID = c.TimeID where ((a.SecPID=:pSecID) and (") +
    kNameCondition + ") and (" + kMacCondition + ") and (" + kProtocolCondition + ") and (" + kTimeCondition +
    ") and (" + kAddressCondition + ")) order by a.SortID ASC";

bool Names(const std::string& sql, const char* parameter) {
  return sql.find(std::string(":") + parameter) != std::string::npos;
}

PolicyRule ReadRule(const Statement& row) {
  PolicyRule rule;
  rule.sortId = row.ColumnInteger("SortID");
  rule.clientName = row.ColumnText("clientname");
  rule.mac = row.ColumnText("MAC");
  rule.clientProtocol = row.ColumnInteger("ClientProtocol");
  rule.action = row.ColumnInteger("Action");
  rule.addressId = row.ColumnText("ClientIPAddressGroupID");
  rule.timeId = row.ColumnText("TimeID");
  rule.addressType = row.ColumnText("AddressType");
  rule.ip1 = row.ColumnText("Ip1");
  rule.ip2 = row.ColumnText("Ip2");
  rule.dayType = row.ColumnInteger("DayType");
  rule.dayFlags = row.ColumnText("DayFlags");
  rule.startDay = row.ColumnText("StartDay");
  rule.endDay = row.ColumnText("EndDay");
  rule.startTime = row.ColumnText("StartTime");
  rule.endTime = row.ColumnText("EndTime");
  return rule;
}

}  // namespace

const std::string& RuleQueryText() { return kRuleQuery; }

const RuleConditions& RuleQueryConditions() {
  static const RuleConditions conditions{kNameCondition, kMacCondition, kProtocolCondition, kTimeCondition,
                                         kAddressCondition};
  return conditions;
}

RuleClient ReadRuleClient(Instance& instance) {
  Platform& platform = instance.platform;
  RuleClient client;
  client.mac = GetSwitchValue(platform, "/M:");
  client.name = GetClientName(platform, kCurrentSession);
  client.address = GetClientAddress(platform, kCurrentSession).address;
  return client;
}

void BindRuleParameters(Statement& statement, const std::string& sql, const RuleClient& client,
                        const std::string& policyId) {
  const auto text = [&](const char* name, const std::string& value) {
    if (Names(sql, name)) statement.BindText(name, value);
  };
  const auto integer = [&](const char* name, std::int32_t value) {
    if (Names(sql, name)) statement.BindInteger(name, value);
  };
  text("pCliIP", client.address);
  text("pCName", client.name);
  text("pEvName", kAnyName);
  text("pCMac", client.mac);
  integer("pClientPoto", 1);
  integer("pAllPoto", 0);
  text("pEvMac", kAnyMac);
  text("pSecID", policyId);
  text("pF1", "*");
  text("pF2", "?");
  text("pF3", "%");
  text("pF4", "_");
  text("pF5", ".");
  text("pS1", "0");
  text("pS2", "2");
  text("pS3", "4");
  text("pS4", "8");
  integer("pV1", 1);
  integer("pV2", 0);
  integer("pV3", 2);
  integer("pV4", -1);
  integer("pV5", 3);
}

std::string GetAppSecurityPolicyId(Instance& instance, QueryStep* step) {
  Statement statement(instance.connections.DS.get());
  statement.SetSql("select security_policy_id from application where App_ID = :App_ID");
  statement.BindText("App_ID", instance.context.AppId);
  if (step) *step = {"DS", statement.Render(), 0};
  statement.Open();
  if (step) step->rows = statement.RowCount();
  if (statement.RowCount() == 0) return "no app";
  return statement.ColumnText("security_policy_id");
}

RuleMatch MatchSecurityPolicy(Instance& instance, const std::string& policyId) {
  const RuleClient client = ReadRuleClient(instance);
  Statement statement(instance.connections.DS.get());
  statement.SetSql(kRuleQuery);
  BindRuleParameters(statement, kRuleQuery, client, policyId);
  RuleMatch match;
  match.query = {"DS", statement.Render(), 0};
  statement.Open();
  match.query.rows = statement.RowCount();
  for (std::size_t row = 0; row < statement.RowCount(); ++row) {
    statement.Seek(row);
    match.rules.push_back(ReadRule(statement));
  }
  statement.First();
  match.admits = statement.RowCount() > 0 && statement.ColumnInteger("Action") == 0;
  return match;
}

void CheckSecurityPolicy(Instance& instance, PolicyDecision& decision) {
  decision = PolicyDecision();
  decision.queries.emplace_back();
  decision.policyId = GetAppSecurityPolicyId(instance, &decision.queries.back());
  const std::string& policyId = decision.policyId;
  const auto refuse = [&](PolicyDecision::Outcome outcome, const std::string& parameter1) {
    decision.outcome = outcome;
    decision.result = kRefusedByPolicy;
    decision.record = EventRecord{2, 1, parameter1};
  };
  if (policyId == "no app") return refuse(PolicyDecision::Outcome::NoApplication, "");
  decision.outcome = PolicyDecision::Outcome::NoPolicy;
  if (!policyId.empty() && policyId != "NULL") {
    decision.match = MatchSecurityPolicy(instance, policyId);
    if (!decision.match->admits)
      return refuse(decision.match->rules.empty() ? PolicyDecision::Outcome::NoRuleMatched
                                                  : PolicyDecision::Outcome::RuleRefused,
                    policyId);
    decision.outcome = PolicyDecision::Outcome::RuleAdmitted;
  }
  decision.limits = CheckAppSessionLimits(instance);
  if (decision.limits->admits) return;
  decision.result = kRefusedByPolicy;
  decision.record = EventRecord{2, 1, ""};
}

PolicyEvaluation EvaluatePolicyRules(Instance& instance, const std::string& policyId, const RuleClient& client) {
  const std::string sql =
      std::string("select a.*, b.AddressID as FoundAddressID, b.AddressType, b.Ip1, b.Ip2, c.TimeID as FoundTimeID, "
                  "c.DayType, c.DayFlags, c.StartDay, c.EndDay, c.StartTime, c.EndTime, coalesce((") +
      kNameCondition + "), 0) as NameHolds, coalesce((" + kMacCondition + "), 0) as MacHolds, coalesce((" +
      kProtocolCondition + "), 0) as ProtocolHolds, coalesce((" + kTimeCondition + "), 0) as TimeHolds, coalesce((" +
      kAddressCondition +
      "), 0) as AddressHolds from (securitypolicy_sub as a LEFT JOIN addressgroup as b ON a.ClientIPAddressGroupID = b.AddressID) "
      "LEFT JOIN timegroup as c ON a.TimeID = c.TimeID where a.SecPID=:pSecID order by a.SortID ASC";
  Statement statement(instance.connections.DS.get());
  statement.SetSql(sql);
  BindRuleParameters(statement, sql, client, policyId);
  PolicyEvaluation evaluation;
  evaluation.query = {"DS", statement.Render(), 0};
  statement.Open();
  evaluation.query.rows = statement.RowCount();
  for (std::size_t row = 0; row < statement.RowCount(); ++row) {
    statement.Seek(row);
    RuleEvaluation rule;
    rule.rule = ReadRule(statement);
    rule.addressGroupFound = !statement.ColumnText("FoundAddressID").empty();
    rule.timeGroupFound = !statement.ColumnText("FoundTimeID").empty();
    rule.clientName = statement.ColumnInteger("NameHolds") != 0;
    rule.mac = statement.ColumnInteger("MacHolds") != 0;
    rule.protocol = statement.ColumnInteger("ProtocolHolds") != 0;
    rule.time = statement.ColumnInteger("TimeHolds") != 0;
    rule.address = statement.ColumnInteger("AddressHolds") != 0;
    evaluation.rules.push_back(std::move(rule));
  }
  // The server's clock, even for a policy without rules.
  Statement clock(instance.connections.DS.get());
  clock.SetSql("select curdate(), curtime(), weekday(curdate())");
  clock.Open();
  evaluation.serverDate = clock.ColumnText(std::size_t{0});
  evaluation.serverTime = clock.ColumnText(std::size_t{1});
  evaluation.serverWeekday = clock.ColumnInteger(std::size_t{2});
  return evaluation;
}

}  // namespace qbnotify
