// The library's account against the role it needs (qbnotify_library, db/grants.sql): what
// the account holds, read from the server's own account of its grants, what it lacks (and
// what each lack breaks), and every privilege beyond the role with the exact REVOKE. The
// advice never removes what the library uses: a broad privilege that also covers a need is
// revoked only together with a GRANT of that need alone to the same grantee.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "store/Database.h"

namespace qbnotify::tools {

// One line of SHOW GRANTS that grants privileges (not a role, not SET DEFAULT ROLE).
struct GrantLine {
  enum class Level { Global, Database, Table, Routine, Proxy };
  struct Privilege {
    std::string name;                  // upper case: "SELECT", "ALL PRIVILEGES", ...
    std::vector<std::string> columns;  // empty: the whole object
  };
  Level level = Level::Global;
  std::string object;   // as written: *.*, `db`.*, `db`.`t`, PROCEDURE `db`.`p`, ''@'%'
  std::string database; // unquoted; a pattern at the database level
  std::string table;    // unquoted (Table and Routine)
  std::vector<Privilege> privileges;
  bool grantOption = false;
  std::string grantee;  // as written: `user`@`host` or `role`
};

// A line of SHOW GRANTS read: the privileges it grants, or the role it grants (`role` set), or
// neither (SET DEFAULT ROLE).
struct ShownGrant {
  std::optional<GrantLine> privileges;
  std::string role;     // "GRANT `r` TO ...": r
  std::string grantee;  // of a role grant, as written
};
ShownGrant ParseGrantLine(const std::string& line);

// The databases the settings name (DSDB, DCDB, LogDB).
struct FarmDatabases {
  std::string ds, dc, log;
};

struct AccountFinding {
  bool error = false;   // false: a warning
  std::string subject;  // the table, or "global", or the object
  std::string detail;   // UTF-8
  std::string fix;      // SQL an administrator can run as it stands
};

// Compares the grants in force for the account (its own and those of its enabled roles)
// with the role. `libraryRoleHeld`: the account's enabled roles include qbnotify_library (a
// missing need is then granted to the role, otherwise to `account`).
std::vector<AccountFinding> CompareWithLibraryRole(const std::vector<GrantLine>& grants, const FarmDatabases& databases,
                                                   const std::string& account, bool libraryRoleHeld);

// The grants in force on a connection of the account: SHOW GRANTS, and the grants of each
// role enabled through the current one. `account` receives CURRENT_USER() quoted, `roles`
// the enabled roles. Raises DatabaseError.
std::vector<GrantLine> ReadAccountGrants(Connection& connection, std::string& account, std::vector<std::string>& roles);

// The statements of db/grants.sql for the named databases: both roles and their grants.
std::string RoleStatements(const FarmDatabases& databases);

// Quotes an identifier as the server writes it in SHOW GRANTS.
std::string QuotedName(const std::string& name);

}  // namespace qbnotify::tools
