// The install path and the settings file.
#include <filesystem>

#include "environment/ConnectionSettings.h"
#include "store/OwnDirectory.h"
#include "store/ServerList.h"
#include "tools/qbnotify-doctor/DoctorChecks.h"

namespace qbnotify::tools {

bool Doctor::InstallPathValue() {
  const RegistryValue value = platform_.ReadMachineRegistryString(kProductKey, kInstallPathValue);
  const std::string where = std::string("HKEY_LOCAL_MACHINE\\") + kProductKey;
  switch (value.status) {
    case RegistryStatus::KeyMissing:
      Add("install path", "registry key", Status::Failed, where + " cannot be opened (absent, or access refused)",
          "create the key with the string value InstallPath, in the registry view of the library's bitness");
      return false;
    case RegistryStatus::ValueMissing:
      Add("install path", "InstallPath", Status::Failed, where + " has no value InstallPath",
          "add the string value InstallPath: the product's installation directory");
      return false;
    case RegistryStatus::OtherType:
      Add("install path", "InstallPath", Status::Failed, "InstallPath is not a string value",
          "make InstallPath a string (REG_SZ) value");
      return false;
    case RegistryStatus::Text:
      break;
  }
  Add("install path", "InstallPath", Status::Ok, value.text);
  return true;
}

bool Doctor::SettingsFile() {
  std::optional<std::string> path;
  try {
    path = SettingsFilePath(platform_);
  } catch (const std::exception& error) {
    Add("settings file", "path", Status::Failed, error.what());
    return false;
  }
  std::error_code error;
  if (!path || !std::filesystem::is_regular_file(options_.localPath(*path), error)) {
    Add("settings file", "present", Status::Failed, (path ? *path : std::string("?")) + " does not exist",
        "write it with qbnotify-settings write");
    return false;
  }
  Add("settings file", "present", Status::Ok, *path);
  SettingsFileAccess(*path);

  bool good = true;
  constexpr const char* kMissing = "\x01";
  const auto raw = [&](const char* section, const char* key) {
    return platform_.ReadProfileString(section, key, kMissing, *path, kProfileBufferSize);
  };
  const std::string host = raw("DSConnection", "DSHost");
  if (host == kMissing) {
    Add("settings file", "DSHost", Status::Failed, "[DSConnection] has no DSHost", "add DSHost=host:port");
    good = false;
  } else {
    std::vector<std::string> rejected;
    const std::vector<ListedServer> servers = ParseServerList(host, &rejected);
    if (servers.empty()) {
      Add("settings file", "DSHost", Status::Failed, "'" + host + "': the port after the ':' is not a number",
          "write DSHost as host:port, for instance 10.0.0.5:3306, or several separated by commas");
      good = false;
    } else if (!rejected.empty()) {
      Add("settings file", "DSHost", Status::Failed,
          "'" + host + "': the library leaves out '" + rejected.front() + "' (not host:port, or listed twice)",
          "write each server as host:port ([address]:port for IPv6), separated by commas");
    } else {
      Add("settings file", "DSHost", Status::Ok,
          servers.size() == 1 ? host : std::to_string(servers.size()) + " servers, in order of preference: " + host);
    }
  }
  const struct {
    const char* section;
    const char* key;
  } coded[] = {{"DSConnection", "DSUID"}, {"DSConnection", "DSPSW"}, {"DSConnection", "DSDB"},
               {"DCConnection", "DCDB"},  {"LogConnection", "LogDB"}};
  for (const auto& [section, key] : coded) {
    const std::string value = raw(section, key);
    const std::string name = std::string("[") + section + "] " + key;
    if (value == kMissing) {
      Add("settings file", key, Status::Failed, name + " is missing", "add it with qbnotify-settings write");
      good = false;
      continue;
    }
    const std::string decoded = DecodeSettingValue(value);
    if (decoded.empty() && !value.empty()) {
      Add("settings file", key, Status::Failed, name + " '" + value + "' is not Base64 (with # for =)",
          "write it again with qbnotify-settings write");
      good = false;
    } else if (decoded.empty() && std::string(key) != "DSPSW") {
      Add("settings file", key, Status::Failed, name + " is empty", "write it again with qbnotify-settings write");
      good = false;
    } else {
      Add("settings file", key, Status::Ok, std::string(key) == "DSPSW" ? "(set)" : decoded);
    }
  }
  return good;
}

// The file holds the account's password: nobody but the system and the administrators (and
// the file's trusted owner) may read or change it, or a folder on its way.
void Doctor::SettingsFileAccess(const std::string& path) {
  const std::string install = path.substr(0, path.size() - std::string(kSettingsFileSuffix).size());
  const PathGuard guard = platform_.GuardPath(path, install + kDataDirectorySuffix);
  if (guard.safe) {
    Add("settings file", "access", Status::Ok, "no other account can read or change it, or a folder above it");
    return;
  }
  Add("settings file", "access", Status::Failed, DescribePathGuard(guard),
      "run qbnotify-settings protect on it; a folder above Data must be narrowed by hand");
}

}  // namespace qbnotify::tools
