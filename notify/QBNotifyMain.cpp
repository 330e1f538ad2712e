#include "notify/QBNotifyMain.h"

#include <cstring>

#include "channel/PChannel.h"
#include "environment/SessionQueries.h"
#include "environment/Switches.h"
#include "policy/DuplicateAccount.h"
#include "policy/SecurityPolicy.h"
#include "policy/SessionLimits.h"
#include "store/WriteLog.h"

namespace qbnotify {
namespace {

// Progress texts (code page 936).
constexpr const char* kTraceStartup = "WinStartUp\xC6\xF4\xB6\xAF";
constexpr const char* kTraceProtocolCheck = "\xBF\xAA\xCA\xBC\xBC\xEC\xB2\xE9\xCA\xC7\xB7\xF1KEV\xD0\xAD\xD2\xE9\xC0\xE0\xD0\xCD";
constexpr const char* kTraceConnecting = "\xBF\xAA\xCA\xBC\xC1\xAC\xBD\xD3\xCA\xFD\xBE\xDD\xBF\xE2";
constexpr const char* kTraceConnected = "\xCA\xFD\xBE\xDD\xBF\xE2\xC1\xAC\xBD\xD3\xB3\xC9\xB9\xA6";
constexpr const char* kTraceShellCheck = "\xBF\xAA\xCA\xBC\xBC\xEC\xB2\xE9KEV\xD0\xAD\xD2\xE9\xCD\xEA\xD5\xFB\xD0\xD4";
constexpr const char* kTracePolicyRefused = "\xB0\xB2\xC8\xAB\xB2\xDF\xC2\xD4\xBE\xDC\xBE\xF8";
constexpr const char* kTraceDuplicateCheck = "\xD6\xD8\xB8\xB4\xD5\xCB\xBA\xC5\xBC\xEC\xB2\xE9";
constexpr const char* kTraceDuplicateFound = "\xD6\xD8\xB8\xB4\xD5\xCB\xBA\xC5\xC1\xCB";
constexpr const char* kTraceAdmitted = "\xB0\xB2\xC8\xAB\xB2\xDF\xC2\xD4\xCD\xA8\xB9\xFD";
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

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string TrimControlAndBlanks(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::string UpperCased(const Platform& platform, std::string text) {
  platform.UpperCaseBuffer(text.data(), text.size());
  return text;
}

// The second stage of the context, once the database is open.
void FillSecondStage(Instance& instance) {
  Platform& platform = instance.platform;
  SessionContext& context = instance.context;
  context.AppId = GetSwitchValue(platform, "/N:");
  context.ClientMac = GetSwitchValue(platform, "/M:");
  context.UserId = LookupUserId(platform, instance.connections);
  AuditRecord& audit = context.Audit;
  audit.sessionid = FirstBytes(GetSwitchValue(platform, "/E:"), AuditRecord::kSessionIdBytes);
  audit.farmuser = FirstBytes(GetSwitchValue(platform, "/U:"), AuditRecord::kFarmUserBytes);
  audit.appid = FirstBytes(context.AppId, AuditRecord::kAppIdBytes);
  audit.clientmac = FirstBytes(context.ClientMac, AuditRecord::kClientMacBytes);
  audit.starttime = platform.LocalNow();
  audit.appshowname = FirstBytes(LookupAppShowName(instance.connections, audit.appid), AuditRecord::kAppShowNameBytes);
}

void StartupSequence(Instance& instance) {
  Platform& platform = instance.platform;
  SessionContext& context = instance.context;

  instance.Trace(kTraceConnecting);
  if (!OpenConnections(platform, instance.connections)) return;  // the session goes on unchecked

  FillSecondStage(instance);

  instance.Trace(kTraceConnected);
  WriteSessionEvent(instance, 1, 2, context.ClientMac);

  instance.Trace(kTraceShellCheck);
  if (CheckShellIntegrity(instance) == kRefusedByShell) {
    ForceLogoff(instance, kRefusedByShell);
    return;
  }

  if (NeedsSecurityPolicy(platform, context.AppId) && CheckSecurityPolicy(instance) == 2) {
    instance.Trace(kTracePolicyRefused);
    ForceLogoff(instance, kRefusedByPolicy);
    return;
  }

  if (CheckRepeatLoginSetting(instance)) {
    instance.Trace(kTraceDuplicateCheck);
    if (CheckDuplicateAccount(instance) == 5) {
      instance.Trace(kTraceDuplicateFound);
      ForceLogoff(instance, kRefusedByPolicy);
      return;
    }
  }

  if (CheckUserSessionLimit(instance) == 6) {
    ForceLogoff(instance, kRefusedByPolicy);
    return;
  }

  instance.Trace(kTraceAdmitted);
  NotifyClient(platform, kNotifyStartup, kAdmitted);
}

void WriteAuditNow(Instance& instance) {
  WriteAudit(instance.connections, instance.context.AuditRowId, instance.context.Audit);
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

bool NeedsSecurityPolicy(const Platform& platform, const std::string& appId) {
  const std::string upper = UpperCased(platform, appId);
  return upper != "APP00000000" && upper.find("APP") != std::string::npos;
}

int CheckShellIntegrity(Instance& instance) {
  int result = kRefusedByShell;
  const std::string& program = instance.context.InitialProgram;
  if (!TrimControlAndBlanks(program).empty()) {
    // Only the program that the session starts counts, not a later parameter.
    const std::string shell = UpperCased(instance.platform, GetParam(instance.platform, program, 0));
    if (shell.find("KEVSHELL") != std::string::npos) result = kAdmitted;
  }
  WriteSessionEvent(instance, 2, result == kRefusedByShell ? 1 : 2);
  return result;
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
  });
}

void HandleLogoff(Instance& instance) {
  if (!PassesGate(instance, "WinLogoff")) return;
  NotifyClient(instance.platform, kNotifyLogoff, 0);
  WriteSessionEvent(instance, 2, 6);
  instance.context.Audit.stoptime = instance.platform.LocalNow();
  WriteAuditNow(instance);
  Connections& connections = instance.connections;
  if (connections.DS) connections.DS->Close();
  if (connections.DC) connections.DC->Close();
  connections.DS.reset();
  connections.DC.reset();
}

}  // namespace qbnotify
