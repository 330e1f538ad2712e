#include "notify/QBNotifyMain.h"

#include <cstring>

#include "channel/PChannel.h"
#include "policy/Offline.h"
#include "policy/Startup.h"
#include "store/spool/SpoolWriteBack.h"
#include "store/EventLog.h"

namespace qbnotify {
namespace {

// Progress texts (code page 936).
constexpr const char* kTraceStartup = "WinStartUp\xC6\xF4\xB6\xAF";
constexpr const char* kTraceRestorePass = "$$$$$$$$$Timer\xBF\xAA\xCA\xBC";

constexpr std::uint32_t kReconnectTimerPeriod = 3000;
constexpr std::uint32_t kHideShowPause = 100;
constexpr int kTitleBufferSize = 255;

// What the last handler learnt of an unreachable server holds for that handler only.
void BeginHandler(Instance& instance, const char* entryTrace) {
  instance.connections.BeginHandler();
  instance.Trace(entryTrace);
}

// The session gate of the handlers after startup. `beforeLabel` runs between its two tests.
template <typename BeforeLabel>
bool PassesGate(Instance& instance, const char* entryTrace, const char* rejectTrace, BeforeLabel beforeLabel) {
  BeginHandler(instance, entryTrace);
  const Gate gate = DecideGate(instance, beforeLabel);
  if (gate.Ours()) return true;
  if (gate.remote && rejectTrace) instance.Trace(std::string(rejectTrace) + gate.label);
  return false;
}

bool PassesGate(Instance& instance, const char* entryTrace, const char* rejectTrace = nullptr) {
  return PassesGate(instance, entryTrace, rejectTrace, [] {});
}

// Runs a handler body that contains its failures.
template <typename Body>
void Contained(Body body) {
  try {
    body();
  } catch (...) {
    // Contained: the remaining steps are skipped and nothing is reported.
  }
}

// After a handler's own work: rows kept while the database was away are written back, for
// a short while at most. With no row waiting this is one look at the spool's directory.
void WriteBackKeptRows(Instance& instance) {
  WriteBackSpool(instance.platform, instance.connections);
}

// A handler's records: each takes its time as it falls due, and all are written together
// (one transaction, one commit) once the handler's checks are done, before it acts on them.
class HandlerRecords {
 public:
  explicit HandlerRecords(Instance& instance) : instance_(instance) {}
  HandlerRecords(const HandlerRecords&) = delete;
  HandlerRecords& operator=(const HandlerRecords&) = delete;
  // A handler that stops at a failing step still writes what fell due before it.
  ~HandlerRecords() { Write(); }

  void Event(std::int32_t typeId, std::int32_t eventId, const std::string& parameter1 = {},
             const std::string& parameter2 = {}) {
    const SessionContext& context = instance_.context;
    batch_.AddEvent(instance_.platform, typeId, 1, eventId, context.UserId, context.AppId, context.ClientName,
                    parameter1, parameter2);
  }
  void Audit() { batch_.AddAudit(instance_.context.Audit, instance_.context.AuditRowId); }
  void Write() { batch_.Write(instance_.platform, instance_.connections); }

 private:
  Instance& instance_;
  RecordBatch batch_;
};

// The startup's records, collected as each falls due.
class CollectRecords final : public StartupEffects {
 public:
  explicit CollectRecords(HandlerRecords& records) : records_(records) {}
  void Record(const EventRecord& record) override {
    records_.Event(record.typeId, record.eventId, record.parameter1, record.parameter2);
  }

 private:
  HandlerRecords& records_;
};

// Applies what the startup decided: the client's message, then the end of the session.
// A startup that reached no decision does neither and leaves the spool for the next handler.
void ApplyStartup(Instance& instance, const StartupPlan& plan) {
  if (plan.message) NotifyClient(instance.platform, plan.message->code, plan.message->reason);
  if (plan.end) instance.platform.EndSession(plan.end->flags, plan.end->reason);
  if (plan.offline) return;  // the database is away: nothing to write back or refresh now
  if (plan.outcome == StartupPlan::Outcome::Admitted || plan.outcome == StartupPlan::Outcome::Refused) {
    WriteBackKeptRows(instance);
    // The startup reached the database: the local copy of the rules is refreshed when due.
    const OfflineSettings offline = ReadOfflineSettings(instance.platform);
    if (offline.mode == OfflineMode::Cached) RefreshSnapshotIfDue(instance, offline.refreshSeconds);
  }
}

}  // namespace

void RestoreWindows(Instance& instance) {
  Platform& platform = instance.platform;
  instance.Trace(kTraceRestorePass);
  platform.EnumerateTopLevelWindows([&](WindowHandle window) {
    char title[kTitleBufferSize];
    std::memset(title, 0, sizeof title);
    platform.ReadWindowTitle(window, title, kTitleBufferSize);
    const std::string handleText = std::to_string(window);
    instance.Trace("window " + handleText + " " + title);
    if ((platform.ReadWindowStyle(window) & kStyleVisible) != 0 && platform.ReadWindowParent(window) == 0) {
      instance.Trace("restoring window " + handleText + " " + title);
      platform.ShowWindowCommand(window, kShowHide);
      platform.SleepMilliseconds(kHideShowPause);
      platform.ShowWindowCommand(window, kShowShow);
    }
  });
  platform.StopTimer(instance.context.ReconnectTimer);
}

void HandleStartup(Instance& instance) {
  BeginHandler(instance, kTraceStartup);
  HandlerRecords records(instance);
  CollectRecords effects(records);
  const StartupPlan plan = DecideStartup(instance, effects);
  records.Write();
  ApplyStartup(instance, plan);
}

void HandleLogon(Instance& instance) {
  if (!PassesGate(instance, "WinLogon", "Logon event:Error Str=")) return;
  Contained([&] {
    HandlerRecords records(instance);
    NotifyClient(instance.platform, kNotifyLogon, 0);
    records.Event(2, 3);
    instance.context.Audit.starttime = instance.platform.LocalNow();
    records.Audit();
    records.Write();
    WriteBackKeptRows(instance);
  });
}

void HandleStartShell(Instance& instance) {
  if (!PassesGate(instance, "winStartShell", "StartShell event:Error Str=")) return;
  Contained([&] { NotifyClient(instance.platform, kNotifyStartShell, 0); });
}

void HandleDisconnect(Instance& instance) {
  if (!PassesGate(instance, "WindisConnect")) return;
  Contained([&] {
    HandlerRecords records(instance);
    records.Event(2, 4);
    instance.context.Audit.stoptime = instance.platform.LocalNow();
    records.Audit();
    records.Write();
    WriteBackKeptRows(instance);
  });
}

void HandleReconnect(Instance& instance) {
  if (!PassesGate(instance, "WinReconnect", nullptr, [&] { instance.Trace("$$$$$$$$$Reconnect_1"); })) return;
  Contained([&] {
    Platform& platform = instance.platform;
    HandlerRecords records(instance);
    NotifyClient(platform, kNotifyReconnect, 0);
    records.Event(2, 5);
    instance.context.Audit.starttime = platform.LocalNow();
    records.Audit();
    records.Write();
    // The timer of an earlier reconnect was stopped by its own pass; the new one replaces it.
    instance.context.ReconnectTimer = platform.StartTimer(kReconnectTimerPeriod, [&instance] { RestoreWindows(instance); });
    instance.Trace("$$$$$$$$$Reconnect_2");
    RestoreWindows(instance);
    WriteBackKeptRows(instance);
  });
}

void HandleLogoff(Instance& instance) {
  if (!PassesGate(instance, "WinLogoff")) return;
  NotifyClient(instance.platform, kNotifyLogoff, 0);
  {
    HandlerRecords records(instance);
    records.Event(2, 6);
    instance.context.Audit.stoptime = instance.platform.LocalNow();
    records.Audit();
  }
  WriteBackKeptRows(instance);
  Connections& connections = instance.connections;
  if (connections.DS) connections.DS->Close();
  if (connections.DC) connections.DC->Close();
  connections.DS.reset();
  connections.DC.reset();
}

}  // namespace qbnotify
