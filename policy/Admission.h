// The startup admission checks in their fixed order, as decisions.
//
// RunAdmissionChecks runs the shell check, the security policy (for the applications that
// have one to consult), the duplicate-account rule and the user's session limit, stopping at
// the first refusal. Each check's event record is handed to `effects` as soon as the check
// has decided, before the next check asks the database anything, so the statements reach
// the server in the same order whether the records are written (the startup sequence) or
// only shown (a tool). Nothing here writes, tells the client or ends the session.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "session/Decisions.h"
#include "session/SessionContext.h"

namespace qbnotify {

// 0 when the initial program's first parameter, upper-cased, holds "KEVSHELL"; else 3.
// Its record is due either way. Reads nothing from the database.
ShellDecision CheckShellIntegrity(Instance& instance);

// Whether an application identifier goes to the security policy: upper-cased, it holds
// "APP" and is not "APP00000000".
bool NeedsSecurityPolicy(const Platform& platform, const std::string& appId);

// What the checks decided, filled as they run: after a failure it holds what was decided
// before it.
struct AdmissionReport {
  std::optional<ShellDecision> shell;
  bool policyConsulted = false;
  std::optional<PolicyDecision> policy;
  std::optional<RepeatLoginDecision> repeatLogin;
  std::optional<DuplicateAccountDecision> duplicate;
  std::optional<UserLimitDecision> userLimit;
  std::vector<EventRecord> records;  // in the order they are due
  std::optional<int> reason;         // kAdmitted, kRefusedByPolicy or kRefusedByShell, once decided
  const char* decidedBy = "";        // "shell", "policy", "duplicate-account", "user-limit" or "" (admitted)
};

// Receives each record as it falls due.
class AdmissionEffects {
 public:
  virtual ~AdmissionEffects() = default;
  virtual void Record(const EventRecord& record) = 0;
};

// Runs the checks and answers the reason: kAdmitted, kRefusedByPolicy or kRefusedByShell.
// Raises what the checks raise (DatabaseError) and what `effects` raises; `report` then
// holds the decisions made so far.
int RunAdmissionChecks(Instance& instance, AdmissionEffects& effects, AdmissionReport& report);

}  // namespace qbnotify
