// The steps of an explained startup as JSON: each check's queries, rules and outcome, the
// records the library would write and its decision, taken from the startup's own plan.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "policy/Admission.h"
#include "policy/Offline.h"
#include "policy/Startup.h"
#include "session/SessionContext.h"

namespace qbnotify::tools::explain {

using json = nlohmann::ordered_json;

// A record the library would write, with its columns as the event log receives them.
json Record(const SessionContext& context, const EventRecord& record);
// The security policy's step: the policy, every rule with each condition, the deciding rule.
json PolicyStep(Instance& instance, const AdmissionReport& report);
// The duplicate-account rule's step.
json DuplicateStep(const AdmissionReport& report);
// The user's session limit's step.
json UserLimitStep(const AdmissionReport& report);
// The decision as the library applies it: the client's message and the end of the session.
json Decision(const StartupPlan& plan);
// The steps of a decision taken without the database, rule by rule as the snapshot gives it.
void OfflineSteps(Instance& instance, const OfflineDecision& d, json& steps);

}  // namespace qbnotify::tools::explain
