// The application's security policy: an ordered list of rules (client-name and MAC
// patterns, protocol, time group, address group, action) that the database evaluates for
// this client in one query; the lowest SortID among the matching rules decides.
#pragma once

#include <string>
#include <vector>

#include "session/Decisions.h"
#include "session/SessionContext.h"

namespace qbnotify {

// The rule texts that match any client name and any MAC address (code page 936: "any name",
// "any MAC address").
inline constexpr const char* kAnyName = "\xC8\xCE\xBA\xCE\xC3\xFB\xB3\xC6";
inline constexpr const char* kAnyMac = "\xC8\xCE\xBA\xCEMac\xB5\xD8\xD6\xB7";

// The policy step: the application's row, its rules, then the application's session limits.
// result 0: the session may go on; 2: refused by the policy or by the limits, with the
// event record to write. Writes nothing. Raises DatabaseError; `decision` then holds what
// was decided before the failing query.
void CheckSecurityPolicy(Instance& instance, PolicyDecision& decision);

// The policy identifier of the session's application (the context's AppId); "no app" when
// the application has no row, empty when the column is NULL. The statement and its answer go
// to `step` when one is given. Raises DatabaseError.
std::string GetAppSecurityPolicyId(Instance& instance, QueryStep* step = nullptr);

// The rule query for this client: admits when the first matching rule admits; refuses when
// it refuses or no rule matches. Raises DatabaseError.
RuleMatch MatchSecurityPolicy(Instance& instance, const std::string& policyId);

// The rule query's text, with its parameters unbound (BindRuleParameters binds them).
const std::string& RuleQueryText();

// The client as the rule query sees it.
struct RuleClient {
  std::string name;
  std::string mac;
  std::string address;  // dotted decimal; "0.0.0.0" when the platform reports none
};
RuleClient ReadRuleClient(Instance& instance);

// Binds those of the rule query's parameters that `sql` names, for this client and policy.
void BindRuleParameters(Statement& statement, const std::string& sql, const RuleClient& client,
                        const std::string& policyId);

// Each condition of the rule query, as the query writes it over the rule (alias a), its
// address group (b) and its time group (c).
struct RuleConditions {
  const char* clientName;
  const char* mac;
  const char* protocol;
  const char* time;
  const char* address;
};
const RuleConditions& RuleQueryConditions();

// Every rule of a policy, with each of the rule query's conditions evaluated by the server
// for this client: why a rule matched or did not. Read-only; used by the tools, never by
// the startup sequence. A condition that the server answers NULL (a missing group, a NULL
// date) reads as not holding.
struct RuleEvaluation {
  PolicyRule rule;
  bool addressGroupFound = false;
  bool timeGroupFound = false;
  bool clientName = false;
  bool mac = false;
  bool protocol = false;
  bool time = false;
  bool address = false;
  bool Matches() const { return addressGroupFound && timeGroupFound && clientName && mac && protocol && time && address; }
};
struct PolicyEvaluation {
  std::vector<RuleEvaluation> rules;  // in SortID order
  std::string serverDate;             // the server's CURDATE(), CURTIME() and weekday (Monday 0)
  std::string serverTime;
  std::int32_t serverWeekday = 0;
  QueryStep query;
};
PolicyEvaluation EvaluatePolicyRules(Instance& instance, const std::string& policyId, const RuleClient& client);

}  // namespace qbnotify
