// The library's account against the role qbnotify_library: what it lacks and what it holds
// beyond the role.
#include <algorithm>

#include "environment/ConnectionSettings.h"
#include "tools/common/AccountGrants.h"
#include "tools/qbnotify-doctor/DoctorChecks.h"

namespace qbnotify::tools {
namespace {

FarmDatabases NamedDatabases(Platform& platform) {
  return {ReadConnectionSetting(platform, "DSConnection", "DSDB"), ReadConnectionSetting(platform, "DCConnection", "DCDB"),
          ReadConnectionSetting(platform, "LogConnection", "LogDB")};
}

}  // namespace

void Doctor::Privileges() {
  Connection* connection = Any();
  const FarmDatabases databases = NamedDatabases(platform_);
  try {
    std::string account;
    std::vector<std::string> roles;
    const std::vector<GrantLine> grants = ReadAccountGrants(*connection, account, roles);
    const bool roleHeld = std::find(roles.begin(), roles.end(), "qbnotify_library") != roles.end();
    const std::vector<AccountFinding> findings = CompareWithLibraryRole(grants, databases, account, roleHeld);
    for (const AccountFinding& finding : findings)
      Add("privileges", finding.subject, finding.error ? Status::Failed : Status::Warning, finding.detail, finding.fix);
    if (findings.empty())
      Add("privileges", "account", Status::Ok,
          account + " holds exactly what the library uses" + (roleHeld ? " (role qbnotify_library)" : ""));
    else if (!roleHeld)
      Add("privileges", "account", Status::Warning, account + " does not hold the role qbnotify_library as its default role",
          "qbnotify-doctor --grants prints the role's statements for these databases; then GRANT qbnotify_library TO " +
              account + "; SET DEFAULT ROLE qbnotify_library FOR " + account);
  } catch (const std::exception& error) {
    Add("privileges", "account", Status::Failed, std::string("the account's grants cannot be read: ") + error.what());
  }
}

std::string DoctorGrantStatements(Platform& platform) {
  const FarmDatabases databases = NamedDatabases(platform);
  const std::string user = ReadConnectionSetting(platform, "DSConnection", "DSUID");
  std::string text = "-- The roles for the databases the settings name (DS " + databases.ds + ", DC " + databases.dc +
                     ", Log " + databases.log + "); run as an administrator.\n" + RoleStatements(databases);
  text += "-- The library's account, on every host it connects from ('%' here):\n";
  const std::string account = QuotedName(user) + "@'%'";
  text += "-- GRANT qbnotify_library TO " + account + ";\n-- SET DEFAULT ROLE qbnotify_library FOR " + account + ";\n";
  return text;
}

}  // namespace qbnotify::tools
