// Checks a terminal server's set-up in the order the library needs it, and says what to fix
// at the first problem and at every later one it can still check.
//
// Portable: the registry and the settings file are read through the Platform, the client
// library through the MysqlApi table, files through std::filesystem. The entry point picks
// the platform and says how a settings path of the platform maps to a local file.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace qbnotify::tools {

enum class Status { Ok, Warning, Failed, Skipped };
const char* StatusName(Status status);

struct Check {
  std::string section;  // "install path", "settings file", ...
  std::string name;
  Status status = Status::Ok;
  std::string detail;   // UTF-8
  std::string fix;      // one line; empty when nothing is to be done
};

struct DoctorOptions {
  // The local file that a settings path of the platform names (a Windows path on Windows).
  std::function<std::filesystem::path(const std::string&)> localPath;
  unsigned connectTimeoutSeconds = 10;
};

// Runs every check; never throws.
std::vector<Check> RunDoctor(Platform& platform, const DoctorOptions& options);

}  // namespace qbnotify::tools
