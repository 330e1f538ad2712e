#include "policy/Admission.h"

#include "environment/Switches.h"
#include "policy/DuplicateAccount.h"
#include "policy/SecurityPolicy.h"
#include "policy/SessionLimits.h"

namespace qbnotify {
namespace {

// Progress texts (code page 936).
constexpr const char* kTraceShellCheck = "\xBF\xAA\xCA\xBC\xBC\xEC\xB2\xE9KEV\xD0\xAD\xD2\xE9\xCD\xEA\xD5\xFB\xD0\xD4";
constexpr const char* kTracePolicyRefused = "\xB0\xB2\xC8\xAB\xB2\xDF\xC2\xD4\xBE\xDC\xBE\xF8";
constexpr const char* kTraceDuplicateCheck = "\xD6\xD8\xB8\xB4\xD5\xCB\xBA\xC5\xBC\xEC\xB2\xE9";
constexpr const char* kTraceDuplicateFound = "\xD6\xD8\xB8\xB4\xD5\xCB\xBA\xC5\xC1\xCB";
constexpr const char* kTraceAdmitted = "\xB0\xB2\xC8\xAB\xB2\xDF\xC2\xD4\xCD\xA8\xB9\xFD";

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

}  // namespace

bool NeedsSecurityPolicy(const Platform& platform, const std::string& appId) {
  const std::string upper = UpperCased(platform, appId);
  return upper != "APP00000000" && upper.find("APP") != std::string::npos;
}

ShellDecision CheckShellIntegrity(Instance& instance) {
  ShellDecision decision;
  const std::string& program = instance.context.InitialProgram;
  if (!TrimControlAndBlanks(program).empty()) {
    // Only the program that the session starts counts, not a later parameter.
    decision.program = GetParam(instance.platform, program, 0);
    if (UpperCased(instance.platform, decision.program).find("KEVSHELL") != std::string::npos)
      decision.result = kAdmitted;
  }
  decision.record = EventRecord{2, decision.result == kRefusedByShell ? 1 : 2, ""};
  return decision;
}

int RunAdmissionChecks(Instance& instance, AdmissionEffects& effects, AdmissionReport& report) {
  const auto due = [&](const EventRecord& record) {
    report.records.push_back(record);
    effects.Record(record);
  };
  const auto decided = [&](int reason, const char* by) {
    report.reason = reason;
    report.decidedBy = by;
    return reason;
  };

  instance.Trace(kTraceShellCheck);
  report.shell = CheckShellIntegrity(instance);
  due(report.shell->record);
  if (report.shell->result == kRefusedByShell) return decided(kRefusedByShell, "shell");

  report.policyConsulted = NeedsSecurityPolicy(instance.platform, instance.context.AppId);
  if (report.policyConsulted) {
    CheckSecurityPolicy(instance, report.policy.emplace());
    if (report.policy->record) due(*report.policy->record);
    if (report.policy->result == kRefusedByPolicy) {
      instance.Trace(kTracePolicyRefused);
      return decided(kRefusedByPolicy, "policy");
    }
  }

  report.repeatLogin = CheckRepeatLoginSetting(instance);
  if (report.repeatLogin->forbidden) {
    instance.Trace(kTraceDuplicateCheck);
    report.duplicate = CheckDuplicateAccount(instance);
    if (report.duplicate->result == kDuplicateAccountFound) {
      instance.Trace(kTraceDuplicateFound);
      return decided(kRefusedByPolicy, "duplicate-account");
    }
  }

  report.userLimit = CheckUserSessionLimit(instance);
  if (report.userLimit->result == kUserLimitReached) return decided(kRefusedByPolicy, "user-limit");

  instance.Trace(kTraceAdmitted);
  return decided(kAdmitted, "");
}

}  // namespace qbnotify
