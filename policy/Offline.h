// What a session gets while the database is away, as the administrator chose it in section
// [Offline] of the connection-settings file (plain-text keys, as those of [Spool]):
//
//   Admission       open    the session goes on unchecked (also when the section is missing)
//                   closed  the shell check runs; an application exempt from the security
//                           policy is admitted; every other session is refused as the policy
//                           refuses (any value other than the three counts as closed)
//                   cached  decided from the local snapshot (policy/OfflineSnapshot.h); with
//                           none that is usable, as closed
//   RefreshSeconds  how often the snapshot is taken at most (default 300; 0: at every startup
//                   that reached the database)
//   MaxAgeHours     the age past which a snapshot counts as none (default 24)
//
// DecideOffline is the one offline decision: the library applies it, the tools show it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "policy/Admission.h"
#include "policy/OfflineSnapshot.h"
#include "policy/SecurityPolicy.h"

namespace qbnotify {

inline constexpr const char* kOfflineSection = "Offline";

enum class OfflineMode { Open, Closed, Cached };
const char* OfflineModeName(OfflineMode mode);

struct OfflineSettings {
  bool sectionPresent = false;     // any of the keys is set
  std::string admissionText;       // as stored
  bool admissionKnown = true;      // admissionText is empty or one of the three values
  OfflineMode mode = OfflineMode::Open;
  std::uint32_t refreshSeconds = 300;
  std::uint32_t maxAgeHours = 24;
};

// Reads section [Offline]; the defaults where it says nothing usable.
OfflineSettings ReadOfflineSettings(Platform& platform);
// The same from the values as stored ("" for a missing key).
OfflineSettings ParseOfflineSettings(const std::string& admission, const std::string& refreshSeconds,
                                     const std::string& maxAgeHours);

// When the offline decision is made: this machine's UTC clock and the farm the settings
// name; a tool may set the server's local time at which the rules are judged.
struct OfflineMoment {
  DateTime utc;
  SnapshotFarm farm;
  std::optional<DateTime> serverTime;
};
OfflineMoment OfflineMomentNow(Platform& platform);

// Why a snapshot may not be used at `moment` ("" when it may): it is of another farm, this
// machine's UTC clock is behind the refresh's by more than kClockBehindSeconds (it was set
// back), or its age by the UTC clock passes MaxAgeHours.
std::string SnapshotUnusable(const OfflineSnapshot& snapshot, const OfflineSettings& settings, const OfflineMoment& moment);

// The server's local time at `moment`, as the server would show it: its time at the refresh
// plus the UTC time elapsed here since (or the tool's chosen time).
DateTime ServerTimeAt(const OfflineSnapshot& snapshot, const OfflineMoment& moment);

// The rule query over the snapshot: each of the policy's rules with each condition judged
// as the server judges it for this client at the server's local time `now` (a comparison
// with NULL never holds), in the order the server gives them (SortID, NULL first).
std::vector<RuleEvaluation> EvaluateRulesOffline(const OfflineSnapshot& snapshot, const std::string& policyId,
                                                 const RuleClient& client, const DateTime& now);

// The checks that need the farm's live session table and are never run offline.
inline constexpr const char* kSkippedOffline = "not checked: application limits, duplicate account, user limit";

struct OfflineDecision {
  OfflineMode mode = OfflineMode::Closed;  // as applied: cached without a usable snapshot is closed
  OfflineMode configured = OfflineMode::Closed;
  std::string snapshotNote;                // why the snapshot was or was not used
  ShellDecision shell;
  bool policyConsulted = false;
  std::optional<PolicyDecision> policy;    // cached only
  std::vector<RuleEvaluation> rules;       // cached only, every rule of the policy
  int reason = kAdmitted;
  const char* decidedBy = "";
  std::vector<EventRecord> records;        // every record of the decision, startup record first, marked
  std::string mark;                        // the Parameter2 of its records
};

// Decides the startup of the session in `instance` without the database. Fills the second
// stage of the context from the switches and the snapshot (the user's identifier, the
// application's display name). `snapshot` is used only under cached and when usable.
OfflineDecision DecideOffline(Instance& instance, const OfflineSettings& settings,
                              const std::optional<OfflineSnapshot>& snapshot, const OfflineMoment& moment);

}  // namespace qbnotify
