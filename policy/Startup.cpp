#include "policy/Startup.h"

#include "channel/PChannel.h"
#include "environment/SessionQueries.h"
#include "store/SystemEventLog.h"

namespace qbnotify {
namespace {

// Progress texts (code page 936).
constexpr const char* kTraceProtocolCheck = "\xBF\xAA\xCA\xBC\xBC\xEC\xB2\xE9\xCA\xC7\xB7\xF1KEV\xD0\xAD\xD2\xE9\xC0\xE0\xD0\xCD";
constexpr const char* kTraceConnecting = "\xBF\xAA\xCA\xBC\xC1\xAC\xBD\xD3\xCA\xFD\xBE\xDD\xBF\xE2";
constexpr const char* kTraceConnected = "\xCA\xFD\xBE\xDD\xBF\xE2\xC1\xAC\xBD\xD3\xB3\xC9\xB9\xA6";

// The first stage of the context: what the session queries say, before any database.
void FillFirstStage(Instance& instance) {
  Platform& platform = instance.platform;
  SessionContext& context = instance.context;
  context.WinStationName = GetWinStationName(platform, kCurrentSession);
  context.InitialProgram = GetInitialProgram(platform, kCurrentSession);
  context.ClientName = GetClientName(platform, kCurrentSession);
  instance.Trace("WTSWinStatname=" + context.WinStationName);
  instance.Trace("InitialProgram=" + context.InitialProgram);
  instance.Trace("ComputerName=" + context.ClientName);
  instance.Trace(kTraceProtocolCheck);
}

// Hands each check's record to the startup's own list and to the caller's effects.
class DueRecords final : public AdmissionEffects {
 public:
  DueRecords(StartupPlan& plan, StartupEffects& effects) : plan_(plan), effects_(effects) {}
  void Record(const EventRecord& record) override {
    plan_.records.push_back(record);
    effects_.Record(record);
  }

 private:
  StartupPlan& plan_;
  StartupEffects& effects_;
};

// The system's event log hears of every decision taken while the database is away (and of
// a snapshot that could not be used), a few times an hour at most.
void ReportOfflineDecision(Platform& platform, const OfflineDecision& offline) {
  if (offline.configured == OfflineMode::Cached && offline.mode != OfflineMode::Cached)
    ReportTrouble(platform, Trouble::SnapshotUnusable,
                  "The rules' snapshot could not be used (" + offline.snapshotNote + "): sessions are decided as closed.");
  ReportTrouble(platform, Trouble::OfflineDecision,
                "Sessions are being decided without the database (" + offline.mark + "); the first of this interval was " +
                    (offline.reason == kAdmitted ? "admitted." : "refused."));
}

}  // namespace

bool Gate::Ours() const { return remote && label == kLabelKev; }

Gate DecideGate(Instance& instance, const std::function<void()>& betweenTests) {
  Gate gate;
  gate.remote = instance.platform.SystemMetric(kMetricRemoteSession) != 0;
  if (!gate.remote) return gate;
  if (betweenTests) betweenTests();
  gate.label = GetProtocolName(instance.platform, kCurrentSession, instance.context.WinStationName);
  return gate;
}

Gate DecideStartupGate(Instance& instance) {
  return DecideGate(instance, [&] { FillFirstStage(instance); });
}

void TakeOfflineDecision(StartupPlan& plan, OfflineDecision decision) {
  plan.message = ClientMessage{kNotifyStartup, decision.reason};
  plan.outcome = decision.reason == kAdmitted ? StartupPlan::Outcome::Admitted : StartupPlan::Outcome::Refused;
  if (plan.outcome == StartupPlan::Outcome::Refused) plan.end = SessionEnd{kForceLogoffFlags, 0};
  plan.offline = std::move(decision);
}

StartupPlan DecideStartup(Instance& instance, StartupEffects& effects) {
  StartupPlan plan;
  const auto finish = [&](StartupPlan::Outcome outcome) {
    plan.outcome = outcome;
    plan.context = instance.context;
    return plan;
  };
  plan.gate = DecideStartupGate(instance);
  if (!plan.gate.Ours()) return finish(StartupPlan::Outcome::LeftAlone);

  DueRecords due(plan, effects);
  // The database is away or failed: [Offline] decides, or the plan ends as `fallback`.
  const auto away = [&](StartupPlan::Outcome fallback) {
    const OfflineSettings settings = ReadOfflineSettings(instance.platform);
    if (settings.mode == OfflineMode::Open) return finish(fallback);
    std::optional<OfflineSnapshot> snapshot;
    if (settings.mode == OfflineMode::Cached) snapshot = ReadStoredSnapshot(instance.platform).snapshot;
    const OfflineDecision offline = DecideOffline(instance, settings, snapshot, OfflineMomentNow(instance.platform));
    ReportOfflineDecision(instance.platform, offline);
    // The records that fell due online have been handed on already; the others follow.
    const std::size_t handedOn = plan.records.size();
    for (std::size_t i = handedOn; i < offline.records.size(); ++i) {
      const EventRecord record = offline.records[i];
      if (Capture([&] { due.Record(record); })) break;
    }
    TakeOfflineDecision(plan, offline);
    return finish(plan.outcome);
  };

  instance.Trace(kTraceConnecting);
  if (!OpenConnections(instance.platform, instance.connections)) return away(StartupPlan::Outcome::Unchecked);
  plan.connected = true;

  plan.failure = Capture([&] {
    effects.Connected(instance);
    FillSecondStage(instance);
    plan.contextFilled = true;
    instance.Trace(kTraceConnected);
    due.Record(EventRecord{1, 2, instance.context.ClientMac});
    RunAdmissionChecks(instance, due, plan.admission);
  });
  // Whatever the failure (the server away, a statement refused, a privilege or column
  // missing, a time-out, a spent budget), a closed door decides without the database rather
  // than let the session go on unchecked.
  if (plan.failure) return away(StartupPlan::Outcome::Stopped);

  const int reason = plan.admission.reason.value_or(kAdmitted);
  plan.message = ClientMessage{kNotifyStartup, reason};
  if (reason == kAdmitted) return finish(StartupPlan::Outcome::Admitted);
  plan.end = SessionEnd{kForceLogoffFlags, 0};
  return finish(StartupPlan::Outcome::Refused);
}

}  // namespace qbnotify
