// The installer package (the version it installed, and whether its registration is whole)
// and the library's last entries in the system's event log.
#include <cstdio>

#include "store/SystemEventLog.h"
#include "tools/qbnotify-doctor/DoctorChecks.h"

namespace qbnotify::tools {
namespace {

constexpr const char* kPackageKey = "SOFTWARE\\Quillbrook\\QBNotify";
constexpr const char* kWinlogonKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon\\Notify\\QBNotify";
constexpr const char* kEventSourceKey = "SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application\\QBNotify";

// The values QBNotify.reg and the package give the Winlogon key.
constexpr std::pair<const char*, const char*> kRegistration[] = {
    {"DllName", "QBNotify.dll"},      {"Startup", "winStartup"},     {"Logon", "winLogon"},
    {"Logoff", "winLogoff"},          {"Reconnect", "winReconnect"}, {"Disconnect", "winDisconnect"},
    {"StartShell", "winStartShell"},
};

std::optional<DateTime> ParseLocalTime(const std::string& text) {
  DateTime time;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d", &time.year, &time.month, &time.day, &time.hour, &time.minute,
                  &time.second) != 6 ||
      time.month < 1 || time.month > 12 || time.day < 1 || time.day > 31)
    return std::nullopt;
  return time;
}

}  // namespace

void Doctor::PackageChecks() {
  const auto read = [&](const char* key, const char* name) -> std::optional<std::string> {
    const RegistryValue value = platform_.ReadMachineRegistryString(key, name);
    if (value.status != RegistryStatus::Text) return std::nullopt;
    return value.text;
  };
  const std::optional<std::string> version = read(kPackageKey, "Version");
  const std::optional<std::string> product = read(kPackageKey, "ProductCode");
  const std::optional<std::string> dllName = read(kWinlogonKey, "DllName");
  if (!version && !dllName)
    return Skip("package", "installed", "neither the package nor QBNotify.reg has registered the library in this registry");
  const std::string repair = product ? "repair the package: msiexec /fa " + *product + " (then restart the server)"
                                     : "import QBNotify.reg again, or install the package";
  if (version) {
    const std::string architecture = read(kPackageKey, "Architecture").value_or("?");
    const std::string own = sizeof(void*) == 8 ? "x64" : "x86";
    Add("package", "installed", architecture == own ? Status::Ok : Status::Warning,
        "QBNotify " + *version + " (" + architecture + "), product code " + product.value_or("?") + ", tools in " +
            read(kPackageKey, "Folder").value_or("?"),
        architecture == own ? "" : "run the doctor of the package's own architecture (" + architecture + ")");
  } else {
    Add("package", "installed", Status::Ok, "by hand (QBNotify.reg), not by the installer package");
  }
  std::string wrong;
  for (const auto& [name, expected] : kRegistration)
    if (read(kWinlogonKey, name) != std::optional<std::string>(expected)) wrong += (wrong.empty() ? "" : ", ") + std::string(name);
  Add("package", "Winlogon registration", wrong.empty() ? Status::Ok : Status::Failed,
      wrong.empty() ? "the six handlers of QBNotify.dll" : "missing or changed: " + wrong, wrong.empty() ? "" : repair);
  const bool source = read(kEventSourceKey, "EventMessageFile").has_value();
  Add("package", "event source", source ? Status::Ok : Status::Warning,
      source ? "Application log, source QBNotify" : "not registered: entries are written without their messages",
      source ? "" : repair);
}

void Doctor::EventChecks() {
  const std::vector<RememberedTrouble> troubles = RememberedTroubles(platform_);
  if (troubles.empty()) return Add("events", "last entries", Status::Ok, "none written");
  const DateTime now = platform_.LocalNow();
  for (const RememberedTrouble& trouble : troubles) {
    // An entry of the last hour is news; an older one history.
    const std::optional<DateTime> time = ParseLocalTime(trouble.time);
    const bool recent = time && TroubleInterval(now, 60) - TroubleInterval(*time, 60) <= 1;
    Add("events", std::to_string(trouble.id) + " " + trouble.name, recent ? Status::Warning : Status::Ok,
        trouble.time + ": " + trouble.text + (trouble.since != trouble.time ? " (first seen " + trouble.since + ")" : ""),
        recent ? "the administrators' guide says what to do about entry " + std::to_string(trouble.id) : "");
  }
}

}  // namespace qbnotify::tools
