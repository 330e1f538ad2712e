#include "tools/qbnotify-doctor/Doctor.h"

#include "tools/common/ToolSupport.h"
#include "tools/qbnotify-doctor/DoctorChecks.h"

namespace qbnotify::tools {

std::vector<Check> Doctor::Run() {
  const bool haveInstallPath = InstallPathValue();
  const bool haveSettings = haveInstallPath && SettingsFile();
  const bool haveClient = ClientLibrary();
  if (haveSettings && haveClient) {
    Servers();
    OpenConnections();
  } else Skip("connections", "DS, DC and Log", haveSettings ? "no usable client library" : "no usable settings file");
  const bool anyOpen = ds_ || dc_ || log_;
  if (anyOpen) {
    Server();
    Tables();
    SessionLoadSearches();
    ReportIndexes();
    Privileges();
    Counters();
    Clock();
  } else {
    for (const char* section : {"server", "tables", "privileges", "identifier counters", "clock"})
      Skip(section, "all", "no connection is open");
  }
  if (haveInstallPath) SpoolChecks();
  else Skip("spool", "rows kept", "no InstallPath");
  if (haveInstallPath) OfflineChecks();
  else Skip("offline", "mode", "no InstallPath");
  PackageChecks();
  if (haveInstallPath) EventChecks();
  else Skip("events", "last entries", "no InstallPath");
  return std::move(checks_);
}

void Doctor::Add(const std::string& section, const std::string& name, Status status, std::string detail, std::string fix) {
  checks_.push_back({section, name, status, Shown(detail), Shown(fix)});
}
void Doctor::Skip(const std::string& section, const std::string& name, const std::string& why) {
  Add(section, name, Status::Skipped, "not checked: " + why);
}

std::vector<Check> RunDoctor(Platform& platform, const DoctorOptions& options) {
  try {
    return Doctor(platform, options).Run();
  } catch (const std::exception& error) {
    return {{"doctor", "internal", Status::Failed, error.what(), ""}};
  }
}

}  // namespace qbnotify::tools
