// The doctor's and lint's reading of an account's grants against the role qbnotify_library.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tools/common/AccountGrants.h"

namespace qbnotify::tools {
namespace {

const FarmDatabases kFarm{"qbds", "qbdc", "qblog"};

// SHOW GRANTS of an account holding exactly the role (as the server writes them).
const std::vector<std::string> kRoleLines = {
    "GRANT USAGE ON *.* TO `qbnotify_library`",
    "GRANT SELECT (`RunAppNum`, `User_ID`, `name`, `RepeatLoginEnable`) ON `qbds`.`cuser` TO `qbnotify_library`",
    "GRANT SELECT (`Head`, `ID`), INSERT (`Inc`, `Head`, `Remark`, `ID`), UPDATE (`ID`) ON `qbds`.`gloabolinc` TO "
    "`qbnotify_library`",
    "GRANT SELECT, INSERT ON `qblog`.`log` TO `qbnotify_library`",
    "GRANT SELECT ON `qbds`.`timegroup` TO `qbnotify_library`",
    "GRANT SELECT (`Name`, `App_ID`, `each_user_one_session`, `security_policy_id`, `app_session_count`) ON "
    "`qbds`.`application` TO `qbnotify_library`",
    "GRANT SELECT ON `qbdc`.`dc_sessionload` TO `qbnotify_library`",
    "GRANT SELECT, INSERT ON `qblog`.`appshenji` TO `qbnotify_library`",
    "GRANT SELECT ON `qbds`.`addressgroup` TO `qbnotify_library`",
    "GRANT SELECT ON `qbds`.`securitypolicy_sub` TO `qbnotify_library`",
};

std::vector<GrantLine> Parsed(const std::vector<std::string>& lines) {
  std::vector<GrantLine> grants;
  for (const std::string& line : lines)
    if (auto shown = ParseGrantLine(line); shown.privileges) grants.push_back(*shown.privileges);
  return grants;
}

std::vector<std::string> With(std::vector<std::string> lines, const std::vector<std::string>& more,
                              const std::string& without = {}) {
  if (!without.empty()) std::erase_if(lines, [&](const std::string& l) { return l.find(without) != std::string::npos; });
  lines.insert(lines.end(), more.begin(), more.end());
  return lines;
}

TEST(AccountGrants, ReadsEveryFormOfGrantLine) {
  const ShownGrant columns = ParseGrantLine(kRoleLines[2]);
  ASSERT_TRUE(columns.privileges);
  EXPECT_EQ(columns.privileges->level, GrantLine::Level::Table);
  EXPECT_EQ(columns.privileges->database, "qbds");
  EXPECT_EQ(columns.privileges->table, "gloabolinc");
  ASSERT_EQ(columns.privileges->privileges.size(), 3u);
  EXPECT_EQ(columns.privileges->privileges[1].name, "INSERT");
  EXPECT_EQ(columns.privileges->privileges[1].columns, (std::vector<std::string>{"Inc", "Head", "Remark", "ID"}));
  EXPECT_EQ(columns.privileges->grantee, "`qbnotify_library`");

  const ShownGrant all = ParseGrantLine(
      "GRANT ALL PRIVILEGES ON *.* TO `qbnotify`@`%` IDENTIFIED BY PASSWORD '*7A' WITH GRANT OPTION");
  ASSERT_TRUE(all.privileges);
  EXPECT_EQ(all.privileges->level, GrantLine::Level::Global);
  EXPECT_EQ(all.privileges->privileges[0].name, "ALL PRIVILEGES");
  EXPECT_TRUE(all.privileges->grantOption);
  EXPECT_EQ(all.privileges->grantee, "`qbnotify`@`%`");

  const ShownGrant database = ParseGrantLine("GRANT SELECT, LOCK TABLES ON `qb\\_ds`.* TO `a b`@`10.0.0.%`");
  ASSERT_TRUE(database.privileges);
  EXPECT_EQ(database.privileges->level, GrantLine::Level::Database);
  EXPECT_EQ(database.privileges->database, "qb\\_ds");
  EXPECT_EQ(database.privileges->privileges[1].name, "LOCK TABLES");
  EXPECT_EQ(database.privileges->grantee, "`a b`@`10.0.0.%`");

  const ShownGrant routine = ParseGrantLine("GRANT EXECUTE ON PROCEDURE `qbds`.`p` TO `qbnotify`@`%`");
  ASSERT_TRUE(routine.privileges);
  EXPECT_EQ(routine.privileges->level, GrantLine::Level::Routine);
  EXPECT_EQ(routine.privileges->object, "PROCEDURE `qbds`.`p`");

  const ShownGrant proxy = ParseGrantLine("GRANT PROXY ON ''@'%' TO 'qbnotify'@'%'");
  ASSERT_TRUE(proxy.privileges);
  EXPECT_EQ(proxy.privileges->level, GrantLine::Level::Proxy);

  const ShownGrant role = ParseGrantLine("GRANT `qbnotify_library` TO `qbnotify`@`127.0.0.1`");
  EXPECT_FALSE(role.privileges);
  EXPECT_EQ(role.role, "qbnotify_library");
  EXPECT_EQ(role.grantee, "`qbnotify`@`127.0.0.1`");

  const ShownGrant defaultRole = ParseGrantLine("SET DEFAULT ROLE `qbnotify_library` FOR `qbnotify`@`127.0.0.1`");
  EXPECT_FALSE(defaultRole.privileges);
  EXPECT_TRUE(defaultRole.role.empty());
}

struct RoleCase {
  const char* name;
  std::vector<std::string> lines;
  bool roleHeld;
  std::vector<std::string> errors;    // "subject: words of the detail"
  std::vector<std::string> warnings;  // the fixes, whole
};

TEST(AccountGrants, NamesWhatIsMissingAndRevokesOnlyWhatIsBeyondTheRole) {
  const std::string account = "`qbnotify`@`%`";
  const RoleCase cases[] = {
      {"exactly the role", kRoleLines, true, {}, {}},
      {"the role through a database pattern", {"GRANT SELECT, INSERT ON `qb%`.* TO `qbnotify`@`%`"}, false,
       {"GloabolInc: missing UPDATE (ID) on qbds.GloabolInc"},
       {"GRANT SELECT (Head, ID) ON qbds.GloabolInc TO `qbnotify`@`%`; "
        "GRANT INSERT (Head, ID, Inc, Remark) ON qbds.GloabolInc TO `qbnotify`@`%`; "
        "GRANT SELECT (User_ID, name, RepeatLoginEnable, RunAppNum) ON qbds.Cuser TO `qbnotify`@`%`; "
        "GRANT SELECT (App_ID, Name, security_policy_id, app_session_count, each_user_one_session) ON qbds.Application "
        "TO `qbnotify`@`%`; GRANT SELECT ON qbds.securitypolicy_sub TO `qbnotify`@`%`; "
        "GRANT SELECT ON qbds.addressgroup TO `qbnotify`@`%`; GRANT SELECT ON qbds.timegroup TO `qbnotify`@`%`; "
        "GRANT SELECT ON qbdc.dc_sessionload TO `qbnotify`@`%`; GRANT SELECT ON qblog.log TO `qbnotify`@`%`; "
        "GRANT INSERT ON qblog.log TO `qbnotify`@`%`; GRANT SELECT ON qblog.appshenji TO `qbnotify`@`%`; "
        "GRANT INSERT ON qblog.appshenji TO `qbnotify`@`%`; REVOKE SELECT, INSERT ON `qb%`.* FROM `qbnotify`@`%`;"}},
      {"the old account on the Log database", {"GRANT SELECT, INSERT, UPDATE, DELETE ON `qblog`.* TO `qbnotify`@`%`"},
       false,
       {"GloabolInc: missing SELECT (Head, ID)", "GloabolInc: missing INSERT (Head, ID, Inc, Remark)",
        "GloabolInc: missing UPDATE (ID)", "Cuser: missing SELECT", "Application: missing SELECT",
        "securitypolicy_sub: missing SELECT", "addressgroup: missing SELECT", "timegroup: missing SELECT",
        "dc_sessionload: missing SELECT"},
       {"GRANT SELECT ON qblog.log TO `qbnotify`@`%`; GRANT INSERT ON qblog.log TO `qbnotify`@`%`; "
        "GRANT SELECT ON qblog.appshenji TO `qbnotify`@`%`; GRANT INSERT ON qblog.appshenji TO `qbnotify`@`%`; "
        "REVOKE SELECT, INSERT, UPDATE, DELETE ON `qblog`.* FROM `qbnotify`@`%`;"}},
      {"the role and the right to delete events", With(kRoleLines, {"GRANT DELETE ON `qblog`.`log` TO `qbnotify`@`%`"}),
       true, {}, {"REVOKE DELETE ON `qblog`.`log` FROM `qbnotify`@`%`;"}},
      {"more on the audit than insert and select",
       With(kRoleLines, {"GRANT SELECT, INSERT, UPDATE ON `qblog`.`appshenji` TO `qbnotify_library`"}, "appshenji"), true,
       {}, {"REVOKE UPDATE ON `qblog`.`appshenji` FROM `qbnotify_library`;"}},
      {"global rights and the grant option",
       With(kRoleLines, {"GRANT SUPER, PROCESS ON *.* TO `qbnotify`@`%` WITH GRANT OPTION"}), true, {},
       {"REVOKE SUPER, PROCESS ON *.* FROM `qbnotify`@`%`; REVOKE GRANT OPTION ON *.* FROM `qbnotify`@`%`;"}},
      {"all privileges everywhere beside the role", With(kRoleLines, {"GRANT ALL PRIVILEGES ON *.* TO `qbnotify`@`%`"}),
       true, {}, {"REVOKE ALL PRIVILEGES ON *.* FROM `qbnotify`@`%`;"}},
      {"a counter column beyond ID",
       With(kRoleLines,
            {"GRANT SELECT (`Head`, `ID`), INSERT (`Inc`, `Head`, `Remark`, `ID`), UPDATE (`ID`, `Head`) ON "
             "`qbds`.`gloabolinc` TO `qbnotify_library`"},
            "gloabolinc"),
       true, {}, {"REVOKE UPDATE (`Head`) ON `qbds`.`gloabolinc` FROM `qbnotify_library`;"}},
      {"all of Cuser rather than its columns",
       With(kRoleLines, {"GRANT SELECT ON `qbds`.`cuser` TO `qbnotify_library`"}, "`cuser`"), true, {},
       {"GRANT SELECT (User_ID, name, RepeatLoginEnable, RunAppNum) ON qbds.Cuser TO `qbnotify_library`; "
        "REVOKE SELECT ON `qbds`.`cuser` FROM `qbnotify_library`;"}},
      {"the event log without select", With(kRoleLines, {"GRANT INSERT ON `qblog`.`log` TO `qbnotify_library`"}, "`log`"),
       true, {"log: missing SELECT on qblog.log: the write-back cannot read a row back"}, {}},
      {"rights on another database", With(kRoleLines, {"GRANT SELECT ON `mysql`.`user` TO `qbnotify`@`%`"}), true, {},
       {"REVOKE SELECT ON `mysql`.`user` FROM `qbnotify`@`%`;"}},
  };
  for (const RoleCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<AccountFinding> findings = CompareWithLibraryRole(Parsed(c.lines), kFarm, account, c.roleHeld);
    std::vector<std::string> errors, warnings;
    for (const AccountFinding& finding : findings) {
      if (finding.error) {
        errors.push_back(finding.subject + ": " + finding.detail);
        EXPECT_EQ(finding.fix.rfind("GRANT ", 0), 0u) << finding.fix;
        EXPECT_NE(finding.fix.find(c.roleHeld ? "TO qbnotify_library" : "TO `qbnotify`@`%`"), std::string::npos);
      } else {
        warnings.push_back(finding.fix);
      }
    }
    ASSERT_EQ(errors.size(), c.errors.size()) << ::testing::PrintToString(errors);
    for (std::size_t i = 0; i < errors.size(); ++i) EXPECT_EQ(errors[i].rfind(c.errors[i], 0), 0u) << errors[i];
    EXPECT_EQ(warnings, c.warnings);
  }
}

TEST(AccountGrants, TheShippedGrantsAreTheRoleTheDoctorChecks) {
  std::ifstream in(std::string(QBNOTIFY_SOURCE_DIR) + "/db/grants.sql");
  std::stringstream statements;
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line.rfind("--", 0) != 0) statements << line << '\n';
  EXPECT_EQ(statements.str(), RoleStatements(kFarm));
  EXPECT_NE(RoleStatements({"farm-ds", "dc", "log"}).find("ON `farm-ds`.GloabolInc"), std::string::npos);
}

}  // namespace
}  // namespace qbnotify::tools
