#include "tools/qbnotify-lint/Lint.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <set>

#include "policy/Admission.h"
#include "policy/Offline.h"
#include "policy/SecurityPolicy.h"
#include "policy/SessionLoad.h"
#include "store/client/MysqlApi.h"
#include "tools/common/AccountGrants.h"
#include "tools/common/ToolSupport.h"

namespace qbnotify::tools {
namespace {

using Rows = std::vector<std::vector<std::optional<std::string>>>;

std::string Cell(const std::optional<std::string>& value) { return value ? *value : std::string(); }
std::string ShownCell(const std::optional<std::string>& value) { return value ? Shown(*value) : "NULL"; }

Rows Read(Instance& instance, const std::string& sql) { return instance.connections.DS->Query(sql).rows; }

struct Rule {
  std::string policy, sortId, clientName, mac, protocol, action, addressId, timeId;
  std::string addressType;  // empty when the group is missing
  bool addressFound = false, timeFound = false;
  std::string dayType;
  std::string Describe() const {
    return "securitypolicy_sub " + Shown(policy) + " SortID " + sortId + ": clientname '" + Shown(clientName) +
           "', MAC '" + Shown(mac) + "', ClientProtocol " + protocol + ", address group " + Shown(addressId) +
           ", time group " + Shown(timeId) + ", Action " + action;
  }
};

std::vector<Rule> ReadRules(Instance& instance) {
  std::vector<Rule> rules;
  for (const auto& row : Read(instance,
                              "select a.SecPID, a.SortID, a.clientname, a.MAC, a.ClientProtocol, coalesce(a.Action, 0), "
                              "a.ClientIPAddressGroupID, a.TimeID, b.AddressID, b.AddressType, c.TimeID, c.DayType "
                              "from (securitypolicy_sub as a LEFT JOIN addressgroup as b ON a.ClientIPAddressGroupID = "
                              "b.AddressID) LEFT JOIN timegroup as c ON a.TimeID = c.TimeID order by a.SecPID, a.SortID")) {
    Rule rule{Cell(row[0]), Cell(row[1]), Cell(row[2]), Cell(row[3]), Cell(row[4]), Cell(row[5]), Cell(row[6]),
              Cell(row[7]), Cell(row[9]), row[8].has_value(), row[10].has_value(), Cell(row[11])};
    rules.push_back(std::move(rule));
  }
  return rules;
}

// Whether a pattern matches every text, as the rule query reads it.
bool MatchesEverything(const std::string& pattern, const char* anyText) {
  if (pattern == anyText) return true;
  return !pattern.empty() && std::all_of(pattern.begin(), pattern.end(), [](char c) { return c == '*' || c == '%'; });
}

void PoliciesWithoutRules(Instance& instance, std::vector<Finding>& findings) {
  const Rows rows = Read(instance,
                         "select App_ID, security_policy_id from application where security_policy_id is not null and "
                         "security_policy_id <> '' and security_policy_id <> 'NULL' and not exists "
                         "(select 1 from securitypolicy_sub as a where a.SecPID = application.security_policy_id) "
                         "order by App_ID");
  for (const auto& row : rows) {
    const bool consulted = NeedsSecurityPolicy(instance.platform, Cell(row[0]));
    findings.push_back({consulted ? Severity::Error : Severity::Note, "policy-without-rules",
                        consulted ? "the application's policy has no rules: every session of it is refused"
                                  : "the application names a policy without rules (never consulted: its identifier "
                                    "does not hold APP)",
                        {"application " + ShownCell(row[0]) + ": security_policy_id '" + ShownCell(row[1]) + "'"},
                        "add rules for policy " + ShownCell(row[1]) + ", or set security_policy_id to NULL"});
  }
}

void MissingGroups(const std::vector<Rule>& rules, std::vector<Finding>& findings) {
  for (const Rule& rule : rules) {
    if (!rule.addressFound)
      findings.push_back({Severity::Error, "missing-address-group",
                          "the rule names an address group that does not exist: it never matches", {rule.Describe()},
                          "create address group " + Shown(rule.addressId) + " or point the rule at an existing one"});
    if (!rule.timeFound)
      findings.push_back({Severity::Error, "missing-time-group",
                          "the rule names a time group that does not exist: it never matches", {rule.Describe()},
                          "create time group " + Shown(rule.timeId) + " or point the rule at an existing one"});
  }
}

void RulesThatNeverMatch(const std::vector<Rule>& rules, std::vector<Finding>& findings) {
  for (const Rule& rule : rules) {
    if (rule.protocol != "0" && rule.protocol != "1")
      findings.push_back({Severity::Warning, "protocol-never-matches",
                          "ClientProtocol is neither 1 (our protocol) nor 0 (all): the rule never matches",
                          {rule.Describe()}, "set ClientProtocol to 1 or 0"});
  }
}

void UnreachableRules(const std::vector<Rule>& rules, std::vector<Finding>& findings) {
  for (std::size_t later = 0; later < rules.size(); ++later) {
    const Rule& b = rules[later];
    for (std::size_t earlier = 0; earlier < later; ++earlier) {
      const Rule& a = rules[earlier];
      if (a.policy != b.policy || a.sortId == b.sortId) continue;
      if (!a.addressFound || !a.timeFound || (a.protocol != "0" && a.protocol != "1")) continue;
      const bool covers = (MatchesEverything(a.clientName, kAnyName) || a.clientName == b.clientName) &&
                          (MatchesEverything(a.mac, kAnyMac) || a.mac == b.mac) &&
                          (a.protocol == "0" || a.protocol == b.protocol) &&
                          (a.addressType == "0" || a.addressId == b.addressId) &&
                          (a.dayType == "0" || a.timeId == b.timeId);
      if (!covers) continue;
      findings.push_back({a.action == b.action ? Severity::Note : Severity::Warning, "unreachable-rule",
                          "an earlier rule matches every session this rule matches, so this rule never decides" +
                              std::string(a.action == b.action ? " (same action: it is only redundant)" : ""),
                          {b.Describe(), "decided first by " + a.Describe()},
                          "move the rule before SortID " + a.sortId + " or delete it"});
      break;
    }
  }
}

void DuplicateSortIds(Instance& instance, std::vector<Finding>& findings) {
  for (const auto& row : Read(instance, "select SecPID, SortID, count(*) from securitypolicy_sub group by SecPID, SortID "
                                        "having count(*) > 1 order by SecPID, SortID"))
    findings.push_back({Severity::Warning, "duplicate-sortid",
                        "several rules of one policy share a SortID: which of them decides is the server's choice",
                        {"policy " + ShownCell(row[0]) + ", SortID " + Cell(row[1]) + ": " + Cell(row[2]) + " rules"},
                        "give each rule of policy " + ShownCell(row[0]) + " its own SortID"});
}

// '%' and '_' are wildcards of the server's LIKE as well, and '\' its escape character.
// Read by whole characters: the second byte of a double-byte character is no wildcard.
std::string SpecialCharacters(const Platform& platform, const std::string& pattern) {
  std::string found;
  ForEachLikeCharacter(platform, pattern, [&found](std::string_view character, bool special) {
    if (special && found.find(character[0]) == std::string::npos) found += character[0];
  });
  return found;
}

void SpecialPatterns(Instance& instance, const std::vector<Rule>& rules, std::vector<Finding>& findings) {
  for (const Rule& rule : rules)
    for (const auto& [what, pattern] : {std::pair{"clientname", rule.clientName}, std::pair{"MAC", rule.mac}}) {
      const std::string special = SpecialCharacters(instance.platform, pattern);
      if (special.empty()) continue;
      findings.push_back({Severity::Warning, "special-pattern-character",
                          std::string("the ") + what + " pattern holds " + special +
                              ", which the matcher treats specially ('%' any run, '_' any one character, '\\' escapes "
                              "the next)",
                          {rule.Describe()}, "write the pattern with * and ? only, or avoid these characters"});
    }
}

// The candidates of every range in the order they are tried, so that the example shown is
// the first surprise of the last octet where there is one.
std::vector<std::uint32_t> RangeOrder(const std::map<std::string, std::pair<std::uint32_t, std::uint32_t>>& ranges) {
  std::vector<std::uint32_t> order;
  for (const auto& [id, range] : ranges)
    for (std::uint32_t address : RangeCandidates(range.first, range.second)) order.push_back(address);
  return order;
}

std::string GroupText(const std::vector<std::optional<std::string>>& row) {
  return "addressgroup " + ShownCell(row[0]) + ": AddressType '" + ShownCell(row[1]) + "', Ip1 '" + ShownCell(row[2]) +
         "', Ip2 '" + ShownCell(row[3]) + "'";
}

void AddressGroups(Instance& instance, std::vector<Finding>& findings) {
  const Rows groups = Read(instance,
                           "select AddressID, AddressType, Ip1, Ip2, AddressID in (select ClientIPAddressGroupID from "
                           "securitypolicy_sub) from addressgroup order by AddressID");
  // The range groups with both ends well formed, by id.
  std::map<std::string, std::pair<std::uint32_t, std::uint32_t>> ranges;
  std::map<std::string, const std::vector<std::optional<std::string>>*> rowOf;
  for (const auto& row : groups) {
    const std::string type = Cell(row[1]);
    const bool used = Cell(row[4]) == "1";
    const Severity severity = used ? Severity::Warning : Severity::Note;
    const std::string unused = used ? "" : " (no rule uses the group)";
    if (type != "0" && type != "2" && type != "4" && type != "8") {
      findings.push_back({severity, "address-type-never-matches", "AddressType is not 0, 2, 4 or 8: the group matches no address" + unused,
                          {GroupText(row)}, "set AddressType to 0 (any), 2 (one address), 4 (range) or 8 (subnet)"});
      continue;
    }
    if (type == "0") continue;
    const auto low = ParseDottedQuad(Cell(row[2]));
    const auto high = ParseDottedQuad(Cell(row[3]));
    // The library writes the client's address in plain dotted decimal; an end written any
    // other way ("010.0.0.1", " 10.0.0.1") is compared as that text.
    const auto canonical = [](const std::string& text, const std::optional<std::uint32_t>& parsed) {
      return parsed && FormatDottedQuad(*parsed) == text;
    };
    if (!canonical(Cell(row[2]), low) || (type == "4" && !canonical(Cell(row[3]), high))) {
      findings.push_back({severity, "address-not-dotted-decimal",
                          "an address of the group is not plain dotted decimal, and addresses are compared as text" + unused,
                          {GroupText(row)}, "write each address as four numbers 0-255 without leading zeros or blanks"});
      continue;
    }
    if (type != "4") continue;
    if (*low > *high) {
      findings.push_back({severity, "address-range-reversed", "the range's Ip1 lies above its Ip2" + unused, {GroupText(row)},
                          "swap Ip1 and Ip2"});
      continue;
    }
    ranges[Cell(row[0])] = {*low, *high};
    rowOf[Cell(row[0])] = &row;
  }
  if (ranges.empty()) return;

  // Each candidate once, through the library's own address condition: which range groups
  // take it in. The candidates stand where the condition has the client's address; they
  // are dotted numbers made here, so they go into the text as they are.
  std::set<std::uint32_t> candidates;
  for (const auto& [id, range] : ranges)
    for (std::uint32_t address : RangeCandidates(range.first, range.second)) candidates.insert(address);
  std::string condition = RuleQueryConditions().address;
  for (std::size_t at; (at = condition.find(":pCliIP")) != std::string::npos;) condition.replace(at, 7, "x.ip");
  std::map<std::uint32_t, std::set<std::string>> inside;
  constexpr std::size_t kBatch = 512;
  const std::vector<std::uint32_t> all(candidates.begin(), candidates.end());
  for (std::size_t first = 0; first < all.size(); first += kBatch) {
    std::string list;
    for (std::size_t i = first; i < std::min(all.size(), first + kBatch); ++i)
      list += (list.empty() ? "select '" : " union all select '") + FormatDottedQuad(all[i]) + "' as ip";
    const std::string sql = "select x.ip, b.AddressID from (" + list +
                            ") as x join addressgroup as b on b.AddressType = '4' and (" + condition + ")";
    Statement statement(instance.connections.DS.get());
    statement.SetSql(sql);
    BindRuleParameters(statement, sql, RuleClient{}, "");
    statement.Open();
    for (std::size_t i = 0; i < statement.RowCount(); ++i) {
      statement.Seek(i);
      if (const auto address = ParseDottedQuad(statement.ColumnText(std::size_t{0})))
        inside[*address].insert(statement.ColumnText(std::size_t{1}));
    }
  }
  std::map<std::string, std::optional<AddressSurprise>> surprise;
  for (std::uint32_t address : RangeOrder(ranges)) {
    for (const auto& [id, range] : ranges) {
      const bool byNumber = address >= range.first && address <= range.second;
      const bool byText = inside[address].count(id) != 0;
      if (byNumber != byText && !surprise[id]) surprise[id] = AddressSurprise{FormatDottedQuad(address), byText};
    }
  }
  for (const auto& [id, found] : surprise) {
    if (!found) continue;
    const auto& row = *rowOf[id];
    const bool used = Cell(row[4]) == "1";
    findings.push_back({used ? Severity::Warning : Severity::Note, "address-range-text-order",
                        "the range compares its octets as text: " + found->address +
                            (found->insideByText ? " counts as inside though it lies outside"
                                                 : " counts as outside though it lies inside") +
                            (used ? "" : " (no rule uses the group)"),
                        {GroupText(row)},
                        "replace the range by subnet (type 8) or single-address (type 2) groups that hold exactly the addresses meant"});
  }
}

void TimeGroups(Instance& instance, std::vector<Finding>& findings) {
  // The same comparisons as the rule query's time condition, by the server.
  const Rows rows = Read(
      instance,
      "select TimeID, DayType, DayFlags, StartDay, EndDay, StartTime, EndTime, "
      "TimeID in (select TimeID from securitypolicy_sub), "
      "coalesce(StartDay is null or StartTime is null or EndTime is null or not (EndDay = 0 or EndDay >= StartDay), 1), "
      "coalesce(StartTime > EndTime, 0), "
      "coalesce(char_length(DayFlags) < 8 or locate('1', substring(DayFlags, 2, 7)) = 0, 1), "
      "coalesce(EndDay <> 0 and EndDay < curdate(), 0) "
      "from timegroup where DayType <> 0 order by TimeID");
  for (const auto& row : rows) {
    const bool used = Cell(row[7]) == "1";
    const std::string text = "timegroup " + ShownCell(row[0]) + ": DayType " + ShownCell(row[1]) + ", DayFlags '" +
                             ShownCell(row[2]) + "', StartDay " + ShownCell(row[3]) + ", EndDay " + ShownCell(row[4]) +
                             ", " + ShownCell(row[5]) + " to " + ShownCell(row[6]);
    std::string why, fix;
    if (Cell(row[4]).empty()) {
      why = "EndDay is NULL, so the date window never holds";
      fix = "set EndDay to 0000-00-00 for an open end, or to the last day";
    } else if (Cell(row[8]) == "1") {
      why = "a date or time of the window is missing, or the window ends before it starts";
      fix = "give StartDay, StartTime and EndTime, and an EndDay of 0000-00-00 or after StartDay";
    } else if (Cell(row[9]) == "1") {
      why = "StartTime lies after EndTime, and the window does not wrap past midnight";
      fix = "split it into two time groups and two rules, one before and one after midnight";
    } else if (Cell(row[10]) == "1") {
      why = "no weekday is allowed (characters 2 to 8 of DayFlags hold no 1)";
      fix = "set DayFlags to eight characters, the 2nd to 8th being 1 for Monday to Sunday";
    }
    if (!why.empty()) {
      findings.push_back({used ? Severity::Error : Severity::Note, "time-group-never-matches",
                          "the time group can never match: " + why + (used ? "" : " (no rule uses the group)"), {text}, fix});
    } else if (Cell(row[11]) == "1") {
      findings.push_back({used ? Severity::Warning : Severity::Note, "time-group-expired",
                          "the time group's EndDay has passed on the server's clock: it matches no more", {text},
                          "move EndDay on, or delete the rules that use it"});
    }
  }
}

void Limits(Instance& instance, std::vector<Finding>& findings) {
  for (const auto& row : Read(instance, "select App_ID, app_session_count from application where app_session_count < 0"))
    findings.push_back({Severity::Error, "negative-limit", "a negative app_session_count refuses every session",
                        {"application " + ShownCell(row[0]) + ": app_session_count " + Cell(row[1])},
                        "set app_session_count to 0 (no limit) or to the most sessions"});
  for (const auto& row : Read(instance, "select name, RunAppNum from cuser where RunAppNum < 0"))
    findings.push_back({Severity::Error, "negative-limit", "a negative RunAppNum refuses every session of the user",
                        {"cuser " + ShownCell(row[0]) + ": RunAppNum " + Cell(row[1])},
                        "set RunAppNum to 0 (no limit) or to the most sessions"});
  // A user's limits are looked up by the "/U:" name; rows that no name can reach, or that
  // share a name, hold limits on an account the library never finds as written.
  for (const auto& row : Read(instance,
                              "select name, count(*), group_concat(concat(User_ID, ' RunAppNum ', coalesce(RunAppNum, "
                              "'NULL'), ' RepeatLoginEnable ', coalesce(RepeatLoginEnable, 'NULL')) separator '; ') "
                              "from cuser group by name having count(*) > 1 or name = ''"))
    findings.push_back({Severity::Warning, "user-limit-unreachable",
                        Cell(row[0]).empty() ? "a user row has no name: no client can be that user, so its limits never apply"
                                             : "several user rows share one name: which row's limits apply is the server's choice",
                        {"cuser '" + ShownCell(row[0]) + "': " + ShownCell(row[2])},
                        "keep one row per user name, with the limits wanted"});
}

// A large session-load table without the switch columns: every startup reads all of it, up
// to three times.
void SessionLoadSize(Instance& instance, std::vector<Finding>& findings) {
  Connection* dc = instance.connections.DC.get();
  if (!dc) return;
  const auto columns = dc->Query("select count(*) from information_schema.columns where table_schema = database() and "
                                 "lower(table_name) = 'dc_sessionload' and column_name in ('AppSwitch', 'UserSwitch')");
  if (Cell(columns.rows.at(0).at(0)) == "2") return;
  const std::string rows = Cell(dc->Query("select count(*) from dc_sessionload").rows.at(0).at(0));
  if (std::stoll(rows) <= kSessionLoadRowsWorthIndexing) return;
  findings.push_back({Severity::Note, "session-load-unindexed",
                      "each startup reads the whole session-load table, up to three times (LIKE on InitAppName)",
                      {"dc_sessionload: " + rows + " rows, without the switch columns"},
                      "run db/migrations/sessionload-index-add.sql on the DC database " + dc->database +
                          " (indexed switch columns)"});
}

// The rules are read under the library's own account: it is held against the role
// qbnotify_library as the doctor holds it.
void Account(Instance& instance, std::vector<Finding>& findings) {
  const Connections& connections = instance.connections;
  const auto database = [](const std::unique_ptr<Connection>& connection) {
    return connection ? connection->database : std::string();
  };
  std::string account;
  std::vector<std::string> roles;
  const std::vector<GrantLine> grants = ReadAccountGrants(*connections.DS, account, roles);
  const bool roleHeld = std::find(roles.begin(), roles.end(), "qbnotify_library") != roles.end();
  for (const AccountFinding& finding : CompareWithLibraryRole(
           grants, {database(connections.DS), database(connections.DC), database(connections.Log)}, account, roleHeld))
    findings.push_back({finding.error ? Severity::Error : Severity::Warning,
                        finding.error ? "account-privilege-missing" : "account-privilege-beyond", finding.detail,
                        {"account " + account}, finding.fix});
}

}  // namespace

const char* SeverityName(Severity severity) {
  switch (severity) {
    case Severity::Error: return "error";
    case Severity::Warning: return "warning";
    case Severity::Note: return "note";
  }
  return "";
}

std::optional<std::uint32_t> ParseDottedQuad(const std::string& text) {
  std::uint32_t address = 0;
  const char* at = text.data();
  const char* const end = at + text.size();
  for (int octet = 0; octet < 4; ++octet) {
    if (octet > 0) {
      if (at == end || *at != '.') return std::nullopt;
      ++at;
    }
    unsigned value = 0;
    const auto [next, error] = std::from_chars(at, end, value);
    if (error != std::errc() || next == at || next - at > 3 || value > 255) return std::nullopt;
    address = (address << 8) | value;
    at = next;
  }
  if (at != end) return std::nullopt;
  return address;
}

std::string FormatDottedQuad(std::uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 255) + "." +
         std::to_string((address >> 8) & 255) + "." + std::to_string(address & 255);
}

std::vector<std::uint32_t> RangeCandidates(std::uint32_t low, std::uint32_t high) {
  std::vector<std::uint32_t> candidates;
  // The last octet first: the surprise an administrator meets most often.
  for (int shift = 0; shift <= 24; shift += 8)
    for (std::uint32_t end : {low, high})
      for (std::uint32_t value = 0; value <= 255; ++value)
        candidates.push_back((end & ~(255u << shift)) | (value << shift));
  return candidates;
}

std::vector<Finding> LintOfflineSettings(const OfflineSettings& settings) {
  std::vector<Finding> findings;
  if (!settings.admissionKnown)
    findings.push_back({Severity::Warning, "offline-admission-unknown",
                        "[Offline] Admission is none of open, closed, cached: while the database is away every session "
                        "that the policy would check is refused (closed)",
                        {"Admission=" + settings.admissionText},
                        "write open, closed or cached"});
  if (settings.mode == OfflineMode::Cached && settings.maxAgeHours > kLongestSnapshotHours)
    findings.push_back({Severity::Warning, "offline-snapshot-too-old",
                        "[Offline] MaxAgeHours is above a week: during an outage sessions may be decided by rules the "
                        "administrators changed long ago",
                        {"MaxAgeHours=" + std::to_string(settings.maxAgeHours)},
                        "set MaxAgeHours to 168 or less"});
  return findings;
}

std::vector<Finding> LintTlsSettings(const TlsSettings& settings, bool caFileReadable, bool clientCarriesTls) {
  std::vector<Finding> findings;
  const std::string shown = std::string(kTlsKey) + "=" + Shown(settings.modeText);
  if (!settings.modeKnown)
    findings.push_back({Severity::Warning, "tls-unknown",
                        "[DSConnection] TLS is none of off, required, verify: it counts as verify, the strictest",
                        {shown}, "write off, required or verify"});
  if (settings.mode != TlsMode::Off && !clientCarriesTls)
    findings.push_back({Severity::Error, "tls-not-available",
                        "[DSConnection] TLS asks for encryption and this build's client library has none: no connection "
                        "is made, and every session is decided as with the database away",
                        {shown}, "set TLS=off and encrypt the network path to the database (see the administrators' guide)"});
  if (settings.mode == TlsMode::Verify && settings.caFile.empty())
    findings.push_back({Severity::Error, "tls-verify-without-ca",
                        "[DSConnection] TLS=verify without TLSCAFile: no certificate can be verified, no connection is made",
                        {shown}, "set TLSCAFile to the certificate authority (PEM) that signed the server's certificate"});
  else if (settings.mode == TlsMode::Verify && !caFileReadable)
    findings.push_back({Severity::Error, "tls-ca-unreadable",
                        "[DSConnection] TLSCAFile cannot be read: no certificate can be verified, no connection is made",
                        {std::string(kTlsCaFileKey) + "=" + Shown(settings.caFile)},
                        "point TLSCAFile at a readable PEM file"});
  if (settings.mode != TlsMode::Verify && !settings.caFile.empty())
    findings.push_back({Severity::Note, "tls-ca-unused",
                        "[DSConnection] TLSCAFile is set but only TLS=verify uses it: the server's certificate is not checked",
                        {shown, std::string(kTlsCaFileKey) + "=" + Shown(settings.caFile)},
                        "set TLS=verify, or remove TLSCAFile"});
  return findings;
}

std::vector<Finding> LintRules(Instance& instance) {
  std::vector<Finding> findings = LintOfflineSettings(ReadOfflineSettings(instance.platform));
  const TlsSettings tls = ReadTlsSettings(instance.platform);
  const bool caReadable =
      !tls.caFile.empty() && instance.platform.ReadWholeFile(tls.caFile, 1 << 20).result == FileResult::Ok;
  for (Finding& finding : LintTlsSettings(tls, caReadable, ClientCarriesTls())) findings.push_back(std::move(finding));
  const std::vector<Rule> rules = ReadRules(instance);
  PoliciesWithoutRules(instance, findings);
  MissingGroups(rules, findings);
  RulesThatNeverMatch(rules, findings);
  UnreachableRules(rules, findings);
  DuplicateSortIds(instance, findings);
  SpecialPatterns(instance, rules, findings);
  AddressGroups(instance, findings);
  TimeGroups(instance, findings);
  Limits(instance, findings);
  SessionLoadSize(instance, findings);
  Account(instance, findings);
  std::stable_sort(findings.begin(), findings.end(),
                   [](const Finding& a, const Finding& b) { return a.severity < b.severity; });
  return findings;
}

}  // namespace qbnotify::tools
