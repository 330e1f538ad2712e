#include "notify/QBNotifyMain.h"

#include <cstring>

#include "channel/PChannel.h"
#include "environment/SessionQueries.h"
#include "environment/Switches.h"
#include "policy/Admission.h"
#include "store/SpoolWriteBack.h"
#include "store/EventLog.h"

namespace qbnotify {
namespace {

// Progress texts (code page 936).
constexpr const char* kTraceStartup = "WinStartUp\xC6\xF4\xB6\xAF";
constexpr const char* kTraceProtocolCheck = "\xBF\xAA\xCA\xBC\xBC\xEC\xB2\xE9\xCA\xC7\xB7\xF1KEV\xD0\xAD\xD2\xE9\xC0\xE0\xD0\xCD";
constexpr const char* kTraceConnecting = "\xBF\xAA\xCA\xBC\xC1\xAC\xBD\xD3\xCA\xFD\xBE\xDD\xBF\xE2";
constexpr const char* kTraceConnected = "\xCA\xFD\xBE\xDD\xBF\xE2\xC1\xAC\xBD\xD3\xB3\xC9\xB9\xA6";
constexpr const char* kTraceRestorePass = "$$$$$$$$$Timer\xBF\xAA\xCA\xBC";

constexpr std::uint32_t kReconnectTimerPeriod = 3000;
constexpr std::uint32_t kHideShowPause = 100;
constexpr int kTitleBufferSize = 255;

// The session gate: remote, and labelled "TAV KEV" by the winstation name kept in the
// context. `beforeLabel` runs between the two tests (startup fills the context there).
template <typename BeforeLabel>
bool PassesGate(Instance& instance, const char* entryTrace, const char* rejectTrace, BeforeLabel beforeLabel) {
  // What the last handler learnt of an unreachable server holds for that handler only.
  instance.connections.BeginHandler();
  instance.Trace(entryTrace);
  if (instance.platform.SystemMetric(kMetricRemoteSession) == 0) return false;
  beforeLabel();
  const std::string label = GetProtocolName(instance.platform, kCurrentSession, instance.context.WinStationName);
  if (label == kLabelKev) return true;
  if (rejectTrace) instance.Trace(std::string(rejectTrace) + label);
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

void StartupSequence(Instance& instance) {
  Platform& platform = instance.platform;
  SessionContext& context = instance.context;

  instance.Trace(kTraceConnecting);
  if (!OpenConnections(platform, instance.connections)) return;  // the session goes on unchecked

  FillSecondStage(instance);

  instance.Trace(kTraceConnected);
  WriteSessionEvent(instance, 1, 2, context.ClientMac);

  // The checks decide; the records they want are written here as each falls due.
  struct WriteRecords final : AdmissionEffects {
    explicit WriteRecords(Instance& session) : target(session) {}
    void Record(const EventRecord& record) override {
      WriteSessionEvent(target, record.typeId, record.eventId, record.parameter1);
    }
    Instance& target;
  } effects(instance);
  AdmissionReport report;
  const int reason = RunAdmissionChecks(instance, effects, report);
  if (reason != kAdmitted) ForceLogoff(instance, reason);
  else NotifyClient(platform, kNotifyStartup, kAdmitted);
  WriteBackKeptRows(instance);
}

void WriteAuditNow(Instance& instance) {
  WriteAudit(instance.platform, instance.connections, instance.context.AuditRowId, instance.context.Audit);
}

}  // namespace

void WriteSessionEvent(Instance& instance, std::int32_t typeId, std::int32_t eventId, const std::string& parameter1) {
  const SessionContext& context = instance.context;
  try {
    WriteEvent(instance.platform, instance.connections, typeId, 1, eventId, context.UserId, context.AppId,
               context.ClientName, parameter1, std::string());
  } catch (...) {
    // A record that cannot be written fails alone: the handler goes on with its checks, its
    // message to the client, the window restore or the closing at logoff.
  }
}

void ForceLogoff(Instance& instance, std::int32_t reason) {
  NotifyClient(instance.platform, kNotifyStartup, reason);
  instance.platform.EndSession(kForceLogoffFlags, 0);
}

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
  Platform& platform = instance.platform;
  SessionContext& context = instance.context;
  const bool ours = PassesGate(instance, kTraceStartup, nullptr, [&] {
    context.WinStationName = GetWinStationName(platform, kCurrentSession);
    context.InitialProgram = GetInitialProgram(platform, kCurrentSession);
    context.ClientName = GetClientName(platform, kCurrentSession);
    instance.Trace("WTSWinStatname=" + context.WinStationName);
    instance.Trace("InitialProgram=" + context.InitialProgram);
    instance.Trace("ComputerName=" + context.ClientName);
    instance.Trace(kTraceProtocolCheck);
  });
  if (ours) StartupSequence(instance);
}

void HandleLogon(Instance& instance) {
  if (!PassesGate(instance, "WinLogon", "Logon event:Error Str=")) return;
  Contained([&] {
    NotifyClient(instance.platform, kNotifyLogon, 0);
    WriteSessionEvent(instance, 2, 3);
    instance.context.Audit.starttime = instance.platform.LocalNow();
    WriteAuditNow(instance);
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
    WriteSessionEvent(instance, 2, 4);
    instance.context.Audit.stoptime = instance.platform.LocalNow();
    WriteAuditNow(instance);
    WriteBackKeptRows(instance);
  });
}

void HandleReconnect(Instance& instance) {
  if (!PassesGate(instance, "WinReconnect", nullptr, [&] { instance.Trace("$$$$$$$$$Reconnect_1"); })) return;
  Contained([&] {
    Platform& platform = instance.platform;
    NotifyClient(platform, kNotifyReconnect, 0);
    WriteSessionEvent(instance, 2, 5);
    instance.context.Audit.starttime = platform.LocalNow();
    WriteAuditNow(instance);
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
  WriteSessionEvent(instance, 2, 6);
  instance.context.Audit.stoptime = instance.platform.LocalNow();
  WriteAuditNow(instance);
  WriteBackKeptRows(instance);
  Connections& connections = instance.connections;
  if (connections.DS) connections.DS->Close();
  if (connections.DC) connections.DC->Close();
  connections.DS.reset();
  connections.DC.reset();
}

}  // namespace qbnotify
