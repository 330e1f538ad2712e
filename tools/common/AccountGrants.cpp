#include "tools/common/AccountGrants.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

namespace qbnotify::tools {
namespace {

enum class Farm { DS, DC, Log };

// What each role needs, table by table; no columns: the whole table. `breaks`: what the
// library loses without it.
struct Need {
  Farm database;
  const char* table;
  const char* privilege;
  std::vector<const char*> columns;
  const char* breaks;
};

constexpr const char* kDraw = "no identifier can be drawn: no event-log or audit row reaches the database";
constexpr const char* kFirstDraw =
    "a head's first draw cannot create its counter row: with no row for the head no event-log or audit row reaches "
    "the database";
constexpr const char* kRules = "the security policy cannot be read: startups of applications under a policy reach no decision";
constexpr const char* kWriteBack =
    "the write-back cannot read a row back under its key after a duplicate key: kept rows are never written back and "
    "are lost";

const std::vector<Need>& LibraryNeeds() {
  static const std::vector<Need> needs = {
      {Farm::DS, "GloabolInc", "SELECT", {"Head", "ID"}, kDraw},
      {Farm::DS, "GloabolInc", "INSERT", {"Head", "ID", "Inc", "Remark"}, kFirstDraw},
      {Farm::DS, "GloabolInc", "UPDATE", {"ID"}, kDraw},
      {Farm::DS, "Cuser", "SELECT", {"User_ID", "name", "RepeatLoginEnable", "RunAppNum"},
       "the user's identifier, the one-computer rule and the per-user limit cannot be read: startups reach no decision"},
      {Farm::DS, "Application", "SELECT", {"App_ID", "Name", "security_policy_id", "app_session_count", "each_user_one_session"},
       "the application's name, policy and limits cannot be read: startups reach no decision"},
      {Farm::DS, "securitypolicy_sub", "SELECT", {}, kRules},
      {Farm::DS, "addressgroup", "SELECT", {}, kRules},
      {Farm::DS, "timegroup", "SELECT", {}, kRules},
      {Farm::DC, "dc_sessionload", "SELECT", {},
       "running sessions cannot be counted: the session limits and the one-computer rule reach no decision"},
      {Farm::Log, "log", "SELECT", {}, kWriteBack},
      {Farm::Log, "log", "INSERT", {}, "the event log refuses every row"},
      {Farm::Log, "appshenji", "SELECT", {}, kWriteBack},
      {Farm::Log, "appshenji", "INSERT", {}, "the audit refuses every row"},
  };
  return needs;
}

// The reader: SELECT on what qbnotify-report and qbnotify-explain read.
constexpr std::pair<Farm, const char*> kReaderTables[] = {
    {Farm::DS, "Cuser"},           {Farm::DS, "Application"}, {Farm::DS, "securitypolicy_sub"},
    {Farm::DS, "addressgroup"},    {Farm::DS, "timegroup"},   {Farm::DC, "dc_sessionload"},
    {Farm::Log, "log"},            {Farm::Log, "appshenji"}};

const std::string& NameOf(const FarmDatabases& databases, Farm farm) {
  return farm == Farm::DS ? databases.ds : farm == Farm::DC ? databases.dc : databases.log;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

bool SameName(const std::string& a, const std::string& b) { return Upper(a) == Upper(b); }

bool PlainName(const std::string& name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$';
  });
}

// A name written bare when it can be, quoted otherwise.
std::string SqlName(const std::string& name) { return PlainName(name) ? name : QuotedName(name); }

std::string TableName(const FarmDatabases& databases, Farm farm, const char* table) {
  return SqlName(NameOf(databases, farm)) + "." + table;
}

std::string ColumnList(const std::vector<std::string>& columns) {
  if (columns.empty()) return {};
  std::string text = " (";
  for (std::size_t i = 0; i < columns.size(); ++i) text += (i ? ", " : "") + columns[i];
  return text + ")";
}

std::string NeedText(const Need& need) {
  return need.privilege + ColumnList({need.columns.begin(), need.columns.end()});
}

// Whether a database-level name (a pattern: % and _, \ escaping) matches a database.
bool PatternMatches(const std::string& pattern, const std::string& name, std::size_t p = 0, std::size_t n = 0) {
  while (p < pattern.size()) {
    const char c = pattern[p];
    if (c == '%') {
      for (std::size_t rest = n; rest <= name.size(); ++rest)
        if (PatternMatches(pattern, name, p + 1, rest)) return true;
      return false;
    }
    if (n >= name.size()) return false;
    if (c == '\\' && p + 1 < pattern.size()) {
      if (std::toupper(static_cast<unsigned char>(pattern[p + 1])) != std::toupper(static_cast<unsigned char>(name[n])))
        return false;
      p += 2;
    } else {
      if (c != '_' && std::toupper(static_cast<unsigned char>(c)) != std::toupper(static_cast<unsigned char>(name[n])))
        return false;
      ++p;
    }
    ++n;
  }
  return n == name.size();
}

// Whether one privilege of a line covers `privilege` on the table (a column, or the whole
// table when `column` is empty).
bool Covers(const GrantLine& line, const GrantLine::Privilege& held, const std::string& database, const std::string& table,
            const std::string& privilege, const std::string& column) {
  if (held.name != "ALL PRIVILEGES" && held.name != privilege) return false;
  switch (line.level) {
    case GrantLine::Level::Global: return true;
    case GrantLine::Level::Database: return PatternMatches(line.database, database);
    case GrantLine::Level::Table:
      if (!SameName(line.database, database) || !SameName(line.table, table)) return false;
      if (held.columns.empty()) return true;
      return !column.empty() &&
             std::any_of(held.columns.begin(), held.columns.end(), [&](const std::string& c) { return SameName(c, column); });
    default: return false;
  }
}

bool Satisfied(const std::vector<GrantLine>& grants, const Need& need, const FarmDatabases& databases) {
  const std::string& database = NameOf(databases, need.database);
  const auto held = [&](const std::string& column) {
    for (const GrantLine& line : grants)
      for (const GrantLine::Privilege& privilege : line.privileges)
        if (Covers(line, privilege, database, need.table, need.privilege, column)) return true;
    return false;
  };
  if (need.columns.empty()) return held({});
  return std::all_of(need.columns.begin(), need.columns.end(), [&](const char* column) { return held(column); });
}

// The part of a line's privilege that lies within the role (nullopt: none of it).
std::optional<GrantLine::Privilege> WithinRole(const GrantLine& line, const GrantLine::Privilege& held,
                                               const FarmDatabases& databases) {
  if (line.level != GrantLine::Level::Table || held.name == "ALL PRIVILEGES") return std::nullopt;
  for (const Need& need : LibraryNeeds()) {
    if (!SameName(NameOf(databases, need.database), line.database) || !SameName(need.table, line.table) ||
        need.privilege != held.name)
      continue;
    if (need.columns.empty()) return held;
    if (held.columns.empty()) return std::nullopt;
    GrantLine::Privilege within{held.name, {}};
    for (const std::string& column : held.columns)
      if (std::any_of(need.columns.begin(), need.columns.end(), [&](const char* c) { return SameName(c, column); }))
        within.columns.push_back(column);
    if (within.columns.empty()) return std::nullopt;
    return within;
  }
  return std::nullopt;
}

std::string LevelSubject(const GrantLine& line) {
  switch (line.level) {
    case GrantLine::Level::Global: return "global";
    case GrantLine::Level::Table: return line.table;
    default: return line.object;
  }
}

// Splits at `separator` outside quotes, back-quotes and parentheses.
std::vector<std::string> SplitTopLevel(const std::string& text, char separator) {
  std::vector<std::string> parts(1);
  char quote = 0;
  int depth = 0;
  for (char c : text) {
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '`' || c == '\'' || c == '"') {
      quote = c;
    } else if (c == '(') {
      ++depth;
    } else if (c == ')') {
      --depth;
    } else if (c == separator && depth == 0) {
      parts.emplace_back();
      continue;
    }
    parts.back() += c;
  }
  return parts;
}

// Position of a keyword (" ON ", " TO ") outside quotes and parentheses, from `from`.
std::size_t FindTopLevel(const std::string& text, const std::string& keyword, std::size_t from = 0) {
  char quote = 0;
  int depth = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quote) {
      if (c == quote) quote = 0;
      continue;
    }
    if (c == '`' || c == '\'' || c == '"') quote = c;
    else if (c == '(') ++depth;
    else if (c == ')') --depth;
    else if (depth == 0 && i >= from && text.compare(i, keyword.size(), keyword) == 0) return i;
  }
  return std::string::npos;
}

std::string Trimmed(const std::string& text) {
  const auto begin = text.find_first_not_of(' ');
  if (begin == std::string::npos) return {};
  return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

std::string Unquoted(const std::string& text) {
  const std::string name = Trimmed(text);
  if (name.size() < 2 || name.front() != '`' || name.back() != '`') return name;
  std::string out;
  for (std::size_t i = 1; i + 1 < name.size(); ++i) {
    out += name[i];
    if (name[i] == '`' && name[i + 1] == '`') ++i;
  }
  return out;
}

std::string PrivilegeText(const GrantLine::Privilege& privilege) {
  std::vector<std::string> quoted;
  for (const std::string& column : privilege.columns) quoted.push_back(QuotedName(column));
  return privilege.name + ColumnList(quoted);
}

}  // namespace

std::string QuotedName(const std::string& name) {
  std::string out = "`";
  for (char c : name) out += c == '`' ? std::string("``") : std::string(1, c);
  return out + "`";
}

ShownGrant ParseGrantLine(const std::string& line) {
  ShownGrant shown;
  if (line.compare(0, 6, "GRANT ") != 0) return shown;
  const std::size_t on = FindTopLevel(line, " ON ");
  const std::size_t to = FindTopLevel(line, " TO ", on == std::string::npos ? 6 : on);
  if (to == std::string::npos) return shown;
  const std::string rest = line.substr(to + 4);
  const std::string grantee = Trimmed(SplitTopLevel(rest, ' ').front());
  if (on == std::string::npos) {
    shown.role = Unquoted(line.substr(6, to - 6));
    shown.grantee = grantee;
    return shown;
  }
  GrantLine grant;
  grant.grantee = grantee;
  grant.grantOption = rest.find("WITH GRANT OPTION") != std::string::npos;
  for (const std::string& item : SplitTopLevel(line.substr(6, on - 6), ',')) {
    GrantLine::Privilege privilege;
    const std::size_t open = item.find('(');
    privilege.name = Upper(Trimmed(item.substr(0, open)));
    if (open != std::string::npos) {
      const std::size_t close = item.rfind(')');
      for (const std::string& column : SplitTopLevel(item.substr(open + 1, close - open - 1), ','))
        privilege.columns.push_back(Unquoted(column));
    }
    grant.privileges.push_back(std::move(privilege));
  }
  grant.object = Trimmed(line.substr(on + 4, to - on - 4));
  const std::string upper = Upper(grant.object);
  if (grant.object == "*.*") {
    grant.level = GrantLine::Level::Global;
  } else if (upper.rfind("PROCEDURE ", 0) == 0 || upper.rfind("FUNCTION ", 0) == 0 || upper.rfind("PACKAGE ", 0) == 0) {
    grant.level = GrantLine::Level::Routine;
  } else if (grant.privileges.size() == 1 && grant.privileges.front().name == "PROXY") {
    grant.level = GrantLine::Level::Proxy;
  } else {
    const std::vector<std::string> parts = SplitTopLevel(grant.object, '.');
    grant.database = Unquoted(parts.front());
    const std::string table = parts.size() > 1 ? Unquoted(parts[1]) : std::string("*");
    if (table == "*") {
      grant.level = GrantLine::Level::Database;
    } else {
      grant.level = GrantLine::Level::Table;
      grant.table = table;
    }
  }
  shown.privileges = std::move(grant);
  return shown;
}

std::vector<AccountFinding> CompareWithLibraryRole(const std::vector<GrantLine>& grants, const FarmDatabases& databases,
                                                   const std::string& account, bool libraryRoleHeld) {
  std::vector<AccountFinding> findings;
  // What stays once everything beyond the role is revoked.
  std::vector<GrantLine> kept;
  std::vector<std::pair<const GrantLine*, std::vector<GrantLine::Privilege>>> beyond;
  for (const GrantLine& line : grants) {
    GrantLine within = line;
    within.privileges.clear();
    std::vector<GrantLine::Privilege> extra;
    for (const GrantLine::Privilege& privilege : line.privileges) {
      if (privilege.name == "USAGE") continue;
      const std::optional<GrantLine::Privilege> part = WithinRole(line, privilege, databases);
      if (part) within.privileges.push_back(*part);
      if (!part) {
        extra.push_back(privilege);
      } else if (part->columns.size() != privilege.columns.size()) {
        GrantLine::Privilege rest{privilege.name, {}};
        for (const std::string& column : privilege.columns)
          if (std::find(part->columns.begin(), part->columns.end(), column) == part->columns.end())
            rest.columns.push_back(column);
        extra.push_back(rest);
      }
    }
    if (line.grantOption) extra.push_back({"GRANT OPTION", {}});
    kept.push_back(std::move(within));
    if (!extra.empty()) beyond.emplace_back(&line, std::move(extra));
  }

  // Needs the account lacks now: errors.
  for (const Need& need : LibraryNeeds()) {
    if (Satisfied(grants, need, databases)) continue;
    const std::string on = TableName(databases, need.database, need.table);
    findings.push_back({true, need.table, "missing " + NeedText(need) + " on " + on + ": " + need.breaks,
                        "GRANT " + NeedText(need) + " ON " + on + " TO " + (libraryRoleHeld ? "qbnotify_library" : account)});
  }

  // Every privilege beyond the role: a warning with the REVOKE, preceded by the GRANT of each
  // need that only the revoked privilege covers, to the same grantee.
  std::set<const Need*> restored;
  for (const auto& [line, extra] : beyond) {
    std::string fix;
    for (const Need& need : LibraryNeeds()) {
      if (restored.count(&need) || !Satisfied(grants, need, databases) || Satisfied(kept, need, databases)) continue;
      const bool lineCovers = std::any_of(line->privileges.begin(), line->privileges.end(), [&](const auto& held) {
        const std::string& database = NameOf(databases, need.database);
        if (need.columns.empty()) return Covers(*line, held, database, need.table, need.privilege, {});
        return std::any_of(need.columns.begin(), need.columns.end(),
                           [&](const char* column) { return Covers(*line, held, database, need.table, need.privilege, column); });
      });
      if (!lineCovers) continue;
      restored.insert(&need);
      fix += "GRANT " + NeedText(need) + " ON " + TableName(databases, need.database, need.table) + " TO " + line->grantee + "; ";
    }
    std::string privileges, shown;
    bool grantOption = false;
    for (const GrantLine::Privilege& privilege : extra) {
      if (privilege.name == "GRANT OPTION") {
        grantOption = true;
        continue;
      }
      privileges += (privileges.empty() ? "" : ", ") + PrivilegeText(privilege);
    }
    if (!privileges.empty()) fix += "REVOKE " + privileges + " ON " + line->object + " FROM " + line->grantee + ";";
    if (grantOption) fix += std::string(privileges.empty() ? "" : " ") + "REVOKE GRANT OPTION ON " + line->object + " FROM " + line->grantee + ";";
    for (const GrantLine::Privilege& privilege : extra) shown += (shown.empty() ? "" : ", ") + PrivilegeText(privilege);
    findings.push_back({false, LevelSubject(*line),
                        "beyond the role qbnotify_library: " + shown + " on " + line->object + " (held by " + line->grantee + ")",
                        fix});
  }
  return findings;
}

std::vector<GrantLine> ReadAccountGrants(Connection& connection, std::string& account, std::vector<std::string>& roles) {
  const auto rows = connection.Query("select current_user(), current_role()").rows;
  account.clear();
  roles.clear();
  if (!rows.empty() && rows[0][0]) {
    const std::string& user = *rows[0][0];
    const std::size_t at = user.rfind('@');
    account = at == std::string::npos ? QuotedName(user) : QuotedName(user.substr(0, at)) + "@" + QuotedName(user.substr(at + 1));
  }
  if (!rows.empty() && rows[0].size() > 1 && rows[0][1]) roles.push_back(*rows[0][1]);

  std::vector<GrantLine> grants;
  std::vector<std::string> pending{""};  // "": the account's own SHOW GRANTS (with its current role)
  std::set<std::string> seen;
  while (!pending.empty()) {
    const std::string role = pending.back();
    pending.pop_back();
    const std::string sql = role.empty() ? "SHOW GRANTS" : "SHOW GRANTS FOR " + QuotedName(role);
    for (const auto& row : connection.Query(sql).rows) {
      if (row.empty() || !row[0]) continue;
      ShownGrant shown = ParseGrantLine(*row[0]);
      if (shown.privileges) {
        grants.push_back(std::move(*shown.privileges));
        continue;
      }
      // A role counts when it is granted to a role in force (the current one, or one it holds).
      if (shown.role.empty()) continue;
      const std::string grantee = Unquoted(shown.grantee);
      if (std::find(roles.begin(), roles.end(), grantee) == roles.end()) continue;
      if (seen.insert(shown.role).second) {
        roles.push_back(shown.role);
        pending.push_back(shown.role);
      }
    }
  }
  return grants;
}

std::string RoleStatements(const FarmDatabases& databases) {
  std::string sql = "CREATE ROLE IF NOT EXISTS qbnotify_library;\nCREATE ROLE IF NOT EXISTS qbnotify_reader;\n";
  // The library's needs, one statement per table, in the table's order of first need.
  std::vector<std::pair<const Need*, std::string>> tables;
  for (const Need& need : LibraryNeeds()) {
    auto found = std::find_if(tables.begin(), tables.end(), [&](const auto& entry) {
      return entry.first->database == need.database && std::string(entry.first->table) == need.table;
    });
    if (found == tables.end()) tables.emplace_back(&need, NeedText(need));
    else found->second += ", " + NeedText(need);
  }
  for (const auto& [need, privileges] : tables)
    sql += "GRANT " + privileges + " ON " + TableName(databases, need->database, need->table) + " TO qbnotify_library;\n";
  for (const auto& [farm, table] : kReaderTables)
    sql += "GRANT SELECT ON " + TableName(databases, farm, table) + " TO qbnotify_reader;\n";
  return sql;
}

}  // namespace qbnotify::tools
