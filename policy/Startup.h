// A session's startup decided as one plan, and the gate that every handler passes.
//
// DecideStartup runs the startup up to the point where the library would act: the gate with
// the context's first stage, the connections, the second stage, the startup record and the
// admission checks in their order. Records fall due on the way and go to the effects at
// once, each with its own time; the library collects them and writes them together, in one
// transaction, once the startup is decided and before it acts on the decision; what follows from the decision (the client's message, the end of the session) is in the
// plan for the caller to apply. The library applies it; a tool renders it and writes
// nothing, and the server receives the same statements in the same order either way.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "policy/Admission.h"
#include "policy/Offline.h"
#include "session/Decisions.h"
#include "session/SessionContext.h"
#include "store/Failure.h"

namespace qbnotify {

// The gate's verdict: remote, and the protocol label of the winstation name in the context.
struct Gate {
  bool remote = false;
  std::string label;  // empty when not remote (the label is not computed then)

  bool Ours() const;  // remote and labelled "TAV KEV"
};

// The gate of every handler. `betweenTests` runs after the remote test has passed and
// before the label is computed (startup fills the context's first stage there).
Gate DecideGate(Instance& instance, const std::function<void()>& betweenTests = {});

// The startup's gate: DecideGate with the context's first stage (the winstation name, the
// initial program and the client name, from the session queries) filled between its tests.
Gate DecideStartupGate(Instance& instance);

// The session-end flags of a refused session: reboot (2) combined with power-off (8).
inline constexpr std::uint32_t kForceLogoffFlags = 10;

struct ClientMessage {
  std::uint16_t code = 0;
  std::int32_t reason = 0;
};

struct SessionEnd {
  std::uint32_t flags = 0;
  std::uint32_t reason = 0;
};

struct StartupPlan {
  enum class Outcome {
    LeftAlone,  // not ours: nothing more happens
    Unchecked,  // the connections did not open: the session goes on, nothing told
    Stopped,    // a later step failed (`failure`): nothing told, nothing ended
    Admitted,
    Refused,
  };
  Outcome outcome = Outcome::LeftAlone;
  Gate gate;
  bool connected = false;            // the three connections opened
  bool contextFilled = false;        // the second stage is in `context`
  SessionContext context;            // as the startup left it
  AdmissionReport admission;         // each check's decision, as far as the checks ran
  std::vector<EventRecord> records;  // every record due, in order: the startup record first
  std::optional<Failure> failure;    // what stopped the startup (Stopped)
  std::optional<ClientMessage> message;
  std::optional<SessionEnd> end;
  // The database was away or failed (the connect failed, or any step after it failed: the
  // server unavailable, a statement refused, a time-out, the wait budget spent) and [Offline]
  // Admission is closed or cached: the session was decided without it (Admitted or Refused). `records` then holds the online records that
  // fell due before the database went away, followed by the offline decision's others.
  std::optional<OfflineDecision> offline;
};

// What the caller does while the startup is decided.
class StartupEffects {
 public:
  virtual ~StartupEffects() = default;
  // The connections are open and the second stage comes next (a tool makes its sessions
  // read-only here). A failure raised here stops the startup like a failing step.
  virtual void Connected(Instance&) {}
  // A record falls due.
  virtual void Record(const EventRecord& record) = 0;
};

// Puts an offline decision into the plan: its message, the end of a refused session and the
// outcome (Admitted or Refused). The records stay the caller's.
void TakeOfflineDecision(StartupPlan& plan, OfflineDecision decision);

// Decides the startup of the session that `instance` runs in, filling its context. A step
// that fails, the effects' included, ends the plan (Stopped, with what was decided before
// it); nothing is raised. When the database is away or a step fails, section [Offline] of
// the settings decides (policy/Offline.h): open leaves the plan Unchecked or Stopped as
// before. The checks that admit on a failure they catch (the duplicate-account rule, the
// limits) and the records, which fail alone, raise nothing here.
StartupPlan DecideStartup(Instance& instance, StartupEffects& effects);

}  // namespace qbnotify
