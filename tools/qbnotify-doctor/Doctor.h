// Checks a terminal server's set-up in the order the library needs it, and says what to fix
// at the first problem and at every later one it can still check.
//
// Portable: the registry and the settings file are read through the Platform, the client
// library through the MysqlApi table, files through std::filesystem. The entry point picks
// the platform and says how a settings path of the platform maps to a local file.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
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
  // Write the rows kept in the local spool back now, through the library's own connections
  // (the only thing the doctor ever writes), before it reports the spool.
  bool writeBackSpool = false;
  // Print the role statements for the databases the settings name instead of checking.
  bool printGrants = false;
};

// The statements of the roles (db/grants.sql) for the databases the settings name, with the
// grant of the library's role to the settings' account as a comment.
std::string DoctorGrantStatements(Platform& platform);

// Runs every check; never throws.
std::vector<Check> RunDoctor(Platform& platform, const DoctorOptions& options);

// On a Windows with two registry views: what the view that a QBNotify.dll of the other
// bitness reads (`other`) says beside the one this DLL reads (`own`). A failure when only
// the other view holds InstallPath, a warning when the two hold different paths, nothing
// when the other view has no value or the same one.
std::optional<Check> OtherRegistryView(const RegistryValue& own, const RegistryValue& other, bool dll64);

// Puts `check` after the last check of `section` (at the front when there is none).
void InsertAfterSection(std::vector<Check>& checks, const std::string& section, Check check);

bool AnyFailed(const std::vector<Check>& checks);

// The checks for a person (aligned text, a fix under each problem) or, with `asJson`, for a
// script.
void PrintChecks(std::ostream& out, const std::vector<Check>& checks, bool asJson);

}  // namespace qbnotify::tools
