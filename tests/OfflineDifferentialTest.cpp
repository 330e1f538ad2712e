// The offline decision against the server's own rule query: generated farms (policies of
// several rules; name and MAC patterns with wildcards, escapes, code-page-936 letters and
// both letter cases; address groups of every type, text-ordered ranges included; time
// groups of every shape, windows across midnight and NULL days included; identifiers that
// differ in letter case or trailing blanks), generated clients and clock readings. For each
// case the server runs the rule query with its clock set to the reading, and the offline
// decision judges the snapshot taken from the same rows at the same server time: the
// matching rules, in order, must be the same. A disagreement prints the one rule it is
// about, with its groups, the client and the time, as SQL to replay.
//
// Two farms' schemas: the project's tables, and tables that hold only the columns the rule
// query and the lookups name, every one of them nullable (no RuleID, no key but the groups'
// and applications' unique ones), where rules, groups and applications carry NULLs. Every
// fourth case also runs the whole policy step of an application (its policy identifier NULL,
// empty, "NULL", of another letter case or with a trailing blank; its application limits
// refusing now and then): online with its limits, offline from the snapshot. A session that
// only the limits refuse online is admitted offline, where they are not checked.
//
// QB_OFFLINE_CASES sets the number of cases of each schema (default 3,000); QB_OFFLINE_SEED
// the seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>

#include "TestDatabase.h"
#include "policy/Offline.h"
#include "policy/SecurityPolicy.h"
#include "policy/Startup.h"

namespace qbnotify {
namespace {

std::size_t EnvNumber(const char* name, std::size_t fallback) {
  const char* value = std::getenv(name);
  return value && *value ? static_cast<std::size_t>(std::strtoull(value, nullptr, 10)) : fallback;
}

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// A gbk text literal whatever its bytes.
std::string Lit(const std::string& text) { return text.empty() ? "''" : "_gbk x'" + Hex(text) + "'"; }

// Pieces of names: letters in both cases (also full-width ones), the letters the collation
// folds oddly ('~' with 'Y', the brackets and '\'), wildcards of both forms, blanks, and
// two-byte letters (one whose second byte is '\', one whose second byte is '_').
const std::vector<std::string> kPieces = {
    "a", "A", "b", "B", "y", "Y", "~", "[", "\\", "]", "-", "1", " ", "_", "%", "*", "?",
    "\xD5\xC5", "\xC8\xFD", "\xA3\xC1", "\xA3\xE1", "\x81\x5C", "\x81\x5F", "\xB5\xD8"};
const std::vector<std::string> kOctets = {"0", "1", "2", "9", "10", "19", "100", "200", "255", "25", "01"};

class Generator {
 public:
  explicit Generator(std::uint64_t seed) : random_(seed) {}
  bool nullable = false;  // the schema's columns take NULL
  // `literal`, or now and then NULL where the schema takes it.
  std::string OrNull(const std::string& literal) { return nullable && Below(12) == 0 ? "NULL" : literal; }
  std::size_t Below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }
  template <typename T>
  const T& Pick(const std::vector<T>& from) { return from[Below(from.size())]; }

  std::string Name(std::size_t most) {
    std::string text;
    const std::size_t n = Below(most + 1);
    for (std::size_t i = 0; i < n; ++i) text += Pick(kPieces);
    return text;
  }
  // A pattern: often made from a client's name (some pieces turned into wildcards, letters
  // into the other case), else random; now and then the text that matches everything.
  std::string Pattern(const std::vector<std::string>& names, const char* any) {
    switch (Below(8)) {
      case 0: case 1: return any;
      case 2: return Name(4);
      default: break;
    }
    std::string base = Pick(names);
    std::string out;
    for (std::size_t i = 0; i < base.size(); ++i) {
      const unsigned char c = static_cast<unsigned char>(base[i]);
      const bool two = c >= 0x81 && i + 1 < base.size();
      const std::string ch = base.substr(i, two ? 2 : 1);
      if (two) ++i;
      switch (Below(8)) {
        case 0: out += "*"; break;
        case 1: out += "?"; break;
        case 2: out += std::islower(c) ? std::string(1, static_cast<char>(std::toupper(c))) : ch; break;
        case 3: out += std::isupper(c) ? std::string(1, static_cast<char>(std::tolower(c))) : ch; break;
        default: out += ch; break;
      }
    }
    if (Below(5) == 0) out += Below(2) ? "*" : " ";
    return out;
  }
  std::string Address() {
    return Pick(kOctets) + "." + Pick(kOctets) + "." + Pick(kOctets) + "." + Pick(kOctets);
  }
  // An address group's address: a client's, a part of one, one with a blank, or empty.
  std::string GroupAddress(const std::vector<std::string>& addresses) {
    switch (Below(9)) {
      case 0: return "";
      case 1: return Pick(kOctets) + "." + Pick(kOctets);
      case 2: return Pick(addresses) + " ";
      case 3: return Address();
      default: return Pick(addresses);
    }
  }
  std::string Id(const std::string& head, std::size_t count) {
    std::string id = head + std::to_string(Below(count));
    if (Below(4) == 0) id[0] = static_cast<char>(std::tolower(id[0]));
    if (Below(6) == 0) id += " ";
    return id;
  }
  std::string Date() {
    switch (Below(8)) {
      case 0: return "NULL";
      case 1: return "'0000-00-00'";
      default: break;
    }
    char text[24];
    std::snprintf(text, sizeof text, "'2026-%02zu-%02zu'", 1 + Below(12), 1 + Below(28));
    return text;
  }
  std::string Time() {
    switch (Below(10)) {
      case 0: return "NULL";
      case 1: return "'24:00:00'";
      case 2: return "'-01:00:00'";
      case 3: return "'00:00:00'";
      case 4: return "'23:59:59'";
      default: break;
    }
    char text[24];
    std::snprintf(text, sizeof text, "'%02zu:%02zu:%02zu'", Below(24), Below(4) * 15, Below(2) * 30);
    return text;
  }
  std::string Flags() {
    std::string flags;
    const std::size_t n = Below(5) == 0 ? Below(9) : 8;
    for (std::size_t i = 0; i < n; ++i) {
      const std::string flag = Below(5) == 0 ? Pick(std::vector<std::string>{"x", " ", "\xD5\xC5", "2"}) : Below(4) ? "1" : "0";
      if (flags.size() + flag.size() <= 8) flags += flag;
    }
    return flags;
  }

 private:
  std::mt19937_64 random_;
};

struct Clock {
  std::string text;  // 'YYYY-MM-DD HH:MM:SS'
  DateTime local;
};

Clock MakeClock(Generator& g) {
  DateTime t{2026, static_cast<int>(1 + g.Below(12)), static_cast<int>(1 + g.Below(28)), static_cast<int>(g.Below(24)),
             static_cast<int>(g.Below(4) * 15), static_cast<int>(g.Below(2) * 30)};
  if (g.Below(4) == 0) t.second = static_cast<int>(g.Below(60));
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  return {text, t};
}

// The tables of a farm that holds only the columns the queries name, all nullable.
std::string MinimalSchema(const std::string& db, const std::string& user) {
  return "DROP DATABASE IF EXISTS " + db + "; CREATE DATABASE " + db + " CHARACTER SET gbk; USE " + db +
         ";"
         "CREATE TABLE application (App_ID VARCHAR(32) NULL, Name VARCHAR(512) NULL, security_policy_id VARCHAR(32) NULL,"
         " app_session_count INT NULL, each_user_one_session INT NULL, UNIQUE KEY (App_ID));"
         "CREATE TABLE Cuser (User_ID VARCHAR(32) NULL, name VARCHAR(255) NULL, RepeatLoginEnable INT NULL,"
         " RunAppNum INT NULL);"
         "CREATE TABLE securitypolicy_sub (SecPID VARCHAR(32) NULL, SortID INT NULL, clientname VARCHAR(255) NULL,"
         " MAC VARCHAR(255) NULL, ClientProtocol INT NULL, ClientIPAddressGroupID VARCHAR(32) NULL,"
         " TimeID VARCHAR(32) NULL, Action INT NULL);"
         "CREATE TABLE addressgroup (AddressID VARCHAR(32) NULL, AddressType VARCHAR(2) NULL, Ip1 VARCHAR(15) NULL,"
         " Ip2 VARCHAR(15) NULL, UNIQUE KEY (AddressID));"
         "CREATE TABLE timegroup (TimeID VARCHAR(32) NULL, DayType INT NULL, DayFlags VARCHAR(8) NULL, StartDay DATE NULL,"
         " EndDay DATE NULL, StartTime TIME NULL, EndTime TIME NULL, UNIQUE KEY (TimeID));"
         "GRANT SELECT ON " + db + ".* TO '" + user + "'@'127.0.0.1', '" + user + "'@'localhost'";
}

hosted::AddressRecord AddressOf(const std::string& dotted) {
  std::array<std::uint8_t, 4> octets{};
  std::sscanf(dotted.c_str(), "%hhu.%hhu.%hhu.%hhu", &octets[0], &octets[1], &octets[2], &octets[3]);
  return hosted::AddressRecord{2, {0, 0, octets[0], octets[1], octets[2], octets[3]}};
}

struct Tally {
  std::size_t cases = 0, matched = 0, admitted = 0, disagreements = 0;
  std::size_t steps = 0, stepAdmitted = 0, refusedOnlyByLimits = 0, nullPolicy = 0;
};

class OfflineDifferential : public test::DatabaseTest {
 protected:
  void Run(Generator& g, test::AdminConnection& farm, std::size_t cases, Tally& t);
};

void OfflineDifferential::Run(Generator& g, test::AdminConnection& farm, std::size_t cases, Tally& t) {
  hosted::HostedPlatform platform(Session());
  Instance instance(platform);
  ASSERT_TRUE(OpenConnections(platform, instance.connections));
  Connection& connection = *instance.connections.DS;
  OfflineSettings cached = ParseOfflineSettings("cached", "", "");

  constexpr std::size_t kCasesPerFarm = 200;
  std::size_t done = 0;
  Clock clock;
  while (done < cases) {
    // A farm.
    farm.Exec("DELETE FROM securitypolicy_sub; DELETE FROM addressgroup; DELETE FROM timegroup; DELETE FROM application");
    dc().Exec("DELETE FROM dc_sessionload");
    std::vector<std::string> names, macs, addresses;
    for (int i = 0; i < 3; ++i) {
      names.push_back(g.Name(5));
      macs.push_back(g.Name(4));
      addresses.push_back(g.Address());
    }
    std::ostringstream sql;
    sql << "INSERT INTO addressgroup VALUES ";
    const std::vector<std::string> types = {"0", "0", "2", "4", "8", "2 ", "1", "4", "4", "8", "2"};
    for (int i = 0; i < 10; ++i)
      sql << (i ? "," : "") << "(" << g.OrNull("'A" + std::to_string(i) + "'") << ", " << g.OrNull("'" + g.Pick(types) + "'")
          << ", " << g.OrNull("'" + g.GroupAddress(addresses) + "'") << ", " << g.OrNull("'" + g.GroupAddress(addresses) + "'")
          << ")";
    sql << ";INSERT INTO timegroup VALUES ";
    for (int i = 0; i < 10; ++i)
      sql << (i ? "," : "") << "(" << g.OrNull("'T" + std::to_string(i) + "'") << ", "
          << g.OrNull(std::to_string(g.Pick(std::vector<int>{0, 0, 1, 1, 1, 2}))) << ", " << g.OrNull(Lit(g.Flags())) << ", "
          << g.Date() << ", " << g.Date() << ", " << g.Time() << ", " << g.Time() << ")";
    sql << ";INSERT INTO securitypolicy_sub (SecPID, SortID, clientname, MAC, ClientProtocol, ClientIPAddressGroupID, "
           "TimeID, Action) VALUES ";
    bool first = true;
    for (const char* policy : {"P1", "p2", "P3", ""}) {
      const std::size_t rules = 1 + g.Below(6);
      for (std::size_t r = 0; r < rules; ++r) {
        // The policy's identifier in either letter case, now and then with a trailing blank.
        std::string id = policy;
        if (!id.empty() && g.Below(4) == 0) id[0] = static_cast<char>(id[0] ^ 0x20);
        if (g.Below(5) == 0) id += " ";
        const std::string action = g.Below(8) == 0 ? "NULL" : std::to_string(g.Below(3) == 0 ? 1 : 0);
        // Distinct SortIDs within a policy (one NULL at most: the first rule's).
        const std::string sortId = r == 0 ? g.OrNull("0") : std::to_string(r * 10 + g.Below(10));
        sql << (first ? "" : ",") << "(" << Lit(id) << ", " << sortId << ", " << g.OrNull(Lit(g.Pattern(names, kAnyName)))
            << ", " << g.OrNull(Lit(g.Pattern(macs, kAnyMac))) << ", " << g.OrNull(std::to_string(g.Below(3))) << ", "
            << g.OrNull("'" + g.Id("A", 11) + "'") << ", " << g.OrNull("'" + g.Id("T", 11) + "'") << ", " << action << ")";
        first = false;
      }
    }
    if (g.nullable) sql << ",(NULL, 1, '*', '*', 1, 'A0', 'T0', 1)";  // a rule of no policy
    // Applications: policy identifiers NULL, empty, "NULL" in both cases, of either letter
    // case, with a trailing blank, or of no policy; limits that refuse now and then.
    sql << ";INSERT INTO application (App_ID, Name, security_policy_id, app_session_count, each_user_one_session) VALUES ";
    const std::vector<std::string> policyIds = {"NULL", "''", "'NULL'", "'null'", "'P1'", "'p1'", "'P2 '", "'p3'", "'P9'", "' '"};
    std::ostringstream running;
    for (int i = 0; i < 6; ++i) {
      const int limit = g.Below(4) == 0 ? 1 : 0;
      const int onePerUser = g.Below(4) == 0 ? 1 : 0;
      sql << (i ? "," : "") << "('APP" << i << "', 'App " << i << "', " << g.Pick(policyIds) << ", " << limit << ", "
          << onePerUser << ")";
      if (limit || onePerUser)
        running << "INSERT INTO dc_sessionload (InitAppName, ClientName, StationName) VALUES ('kevshell.exe /N:APP" << i
                << " /U:alice', 'PC-B', 'KEV-Tcp#1');";
    }
    farm.Exec(sql.str());
    if (!running.str().empty()) dc().Exec(running.str());
    const OfflineSnapshot snapshot = TakeSnapshot(instance);
    ASSERT_EQ(DecodeSnapshot(EncodeSnapshot(snapshot)).has_value(), true);

    for (std::size_t c = 0; c < kCasesPerFarm && done < cases; ++c, ++done) {
      if (c % 10 == 0) {  // a new clock reading for the next ten cases
        clock = MakeClock(g);
        connection.Query("SET timestamp = UNIX_TIMESTAMP('" + clock.text + "')");
        instance.connections.DC->Query("SET timestamp = UNIX_TIMESTAMP('" + clock.text + "')");
      }
      const std::string& clockText = clock.text;
      const DateTime& now = clock.local;
      RuleClient client{g.Below(8) == 0 ? g.Name(4) : g.Pick(names), g.Below(8) == 0 ? g.Name(3) : g.Pick(macs),
                        g.Below(8) == 0 ? g.Address() : g.Pick(addresses)};
      const std::string policyId = g.Pick(std::vector<std::string>{"P1", "p1", "P2", "P3 ", "p3", "", " "});

      if (c % 4 == 3) {
        // The whole policy step of an application, online and offline.
        std::string appId = "APP" + std::to_string(g.Below(7));
        if (g.Below(3) == 0) appId = "app" + appId.substr(3);
        if (g.Below(6) == 0) appId += " ";
        hosted::Session& session = platform.State();
        session.initialProgram = "kevshell.exe /N:" + appId + " /U:alice /M:" + client.mac;
        session.clientName = client.name;
        session.clientAddress = AddressOf(client.address);
        instance.context = SessionContext();
        instance.context.AppId = appId;
        instance.context.InitialProgram = *session.initialProgram;
        PolicyDecision online;
        CheckSecurityPolicy(instance, online);
        const OfflineMoment moment{snapshot.takenUtc, snapshot.farm, now};
        const OfflineDecision offline = DecideOffline(instance, cached, snapshot, moment);
        const bool policyAdmits = online.outcome == PolicyDecision::Outcome::NoPolicy ||
                                  online.outcome == PolicyDecision::Outcome::RuleAdmitted;
        ++t.steps;
        t.stepAdmitted += policyAdmits;
        t.refusedOnlyByLimits += policyAdmits && online.result == kRefusedByPolicy;
        t.nullPolicy += online.outcome == PolicyDecision::Outcome::NoPolicy;
        const bool agree = (offline.reason == kAdmitted) == policyAdmits && offline.policy &&
                           offline.policy->outcome == online.outcome &&
                           (online.outcome == PolicyDecision::Outcome::NoApplication ||
                            offline.policy->policyId == online.policyId);
        if (!agree) {
          ++t.disagreements;
          ADD_FAILURE() << "policy step disagrees: application " << Lit(appId) << ", online outcome "
                        << static_cast<int>(online.outcome) << " result " << online.result << " policy "
                        << Lit(online.policyId) << "; offline reason " << offline.reason << " outcome "
                        << (offline.policy ? static_cast<int>(offline.policy->outcome) : -1) << " policy "
                        << (offline.policy ? Lit(offline.policy->policyId) : "(none)") << " at " << clockText;
          if (t.disagreements >= 10) FAIL() << "stopped after 10 disagreements";
        }
      }

      Statement statement(&connection);
      statement.SetSql(RuleQueryText());
      BindRuleParameters(statement, RuleQueryText(), client, policyId);
      statement.Open();
      std::vector<std::int32_t> server;
      for (std::size_t row = 0; row < statement.RowCount(); ++row) {
        statement.Seek(row);
        server.push_back(statement.ColumnInteger("SortID"));
      }
      std::vector<std::int32_t> offline;
      const std::vector<RuleEvaluation> rules = EvaluateRulesOffline(snapshot, policyId, client, now);
      for (const RuleEvaluation& rule : rules) {
        if (rule.Matches()) offline.push_back(rule.rule.sortId);
      }
      // Each condition of each rule, as the server judges it (the tools' breakdown).
      const PolicyEvaluation breakdown = EvaluatePolicyRules(instance, policyId, client);
      bool conditionsAgree = breakdown.rules.size() == rules.size();
      for (std::size_t i = 0; conditionsAgree && i < rules.size(); ++i) {
        const RuleEvaluation& a = breakdown.rules[i];
        const RuleEvaluation& b = rules[i];
        conditionsAgree = a.rule.sortId == b.rule.sortId && a.addressGroupFound == b.addressGroupFound &&
                          a.timeGroupFound == b.timeGroupFound && a.clientName == b.clientName && a.mac == b.mac &&
                          a.protocol == b.protocol && (!a.timeGroupFound || a.time == b.time) &&
                          (!a.addressGroupFound || a.address == b.address);
        if (!conditionsAgree)
          server.push_back(-1 - static_cast<std::int32_t>(i));  // reported below as a disagreement on rule i
      }
      t.matched += !server.empty();
      if (!server.empty()) {
        statement.First();
        t.admitted += statement.ColumnInteger("Action") == 0;
      }
      if (server == offline) continue;
      ++t.disagreements;
      // The one rule the two disagree on first, as SQL.
      for (std::size_t i = 0; i < rules.size(); ++i) {
        const RuleEvaluation& rule = rules[i];
        const bool onServer = std::find(server.begin(), server.end(), rule.rule.sortId) != server.end();
        const bool conditionDiffers = std::find(server.begin(), server.end(), -1 - static_cast<std::int32_t>(i)) != server.end();
        if (onServer == rule.Matches() && !conditionDiffers) continue;
        const RuleEvaluation* byServer = i < breakdown.rules.size() ? &breakdown.rules[i] : nullptr;
        const PolicyRule& r = rule.rule;
        const auto conditions = [](const RuleEvaluation* e) {
          if (!e) return std::string("(none)");
          return "name " + std::to_string(e->clientName) + " mac " + std::to_string(e->mac) + " protocol " +
                 std::to_string(e->protocol) + " time " + std::to_string(e->time) + " address " + std::to_string(e->address) +
                 " groups " + std::to_string(e->addressGroupFound) + std::to_string(e->timeGroupFound);
        };
        ADD_FAILURE() << "disagreement (server " << (onServer ? "matches" : "does not match") << ", offline "
                      << (rule.Matches() ? "matches" : "does not match") << ")\n"
                      << "  offline conditions: " << conditions(&rule) << "\n  server conditions:  " << conditions(byServer) << "\n"
                      << "SET timestamp = UNIX_TIMESTAMP('" << clockText << "');\n"
                      << "INSERT INTO securitypolicy_sub (SecPID, SortID, clientname, MAC, ClientProtocol, "
                         "ClientIPAddressGroupID, TimeID, Action) VALUES ("
                      << Lit(policyId) << ", " << r.sortId << ", " << Lit(r.clientName) << ", " << Lit(r.mac) << ", "
                      << r.clientProtocol << ", " << Lit(r.addressId) << ", " << Lit(r.timeId) << ", " << r.action << ");\n"
                      << "INSERT INTO addressgroup VALUES (" << Lit(r.addressId) << ", " << Lit(r.addressType) << ", "
                      << Lit(r.ip1) << ", " << Lit(r.ip2) << ");\n"
                      << "INSERT INTO timegroup VALUES (" << Lit(r.timeId) << ", " << r.dayType << ", " << Lit(r.dayFlags)
                      << ", " << (r.startDay.empty() ? "NULL" : "'" + r.startDay + "'") << ", "
                      << (r.endDay.empty() ? "NULL" : "'" + r.endDay + "'") << ", "
                      << (r.startTime.empty() ? "NULL" : "'" + r.startTime + "'") << ", "
                      << (r.endTime.empty() ? "NULL" : "'" + r.endTime + "'") << ");\n"
                      << "client: name " << Lit(client.name) << " mac " << Lit(client.mac) << " address "
                      << client.address;
        break;
      }
      if (t.disagreements >= 10) FAIL() << "stopped after 10 disagreements";
    }
  }
  t.cases += done;
}

TEST_F(OfflineDifferential, OfflineDecisionAgreesWithTheServersRuleQuery) {
  const std::size_t cases = EnvNumber("QB_OFFLINE_CASES", 3000);
  const std::uint64_t seed = EnvNumber("QB_OFFLINE_SEED", 18);
  test::ServerInfo minimal = server();
  minimal.ds += "_minimal";
  ds().Exec(MinimalSchema(minimal.ds, server().user));
  for (const bool onlyNamedColumns : {false, true}) {
    SCOPED_TRACE(onlyNamedColumns ? "the named columns only" : "the project's tables");
    Generator g(seed + onlyNamedColumns);
    g.nullable = onlyNamedColumns;
    test::WriteSettingsFile(installPath(), test::SettingsText(onlyNamedColumns ? minimal : server()));
    test::AdminConnection farm(onlyNamedColumns ? minimal.ds : server().ds);
    Tally t;
    Run(g, farm, cases, t);
    std::printf("offline decision, %s: %zu cases, %zu with a matching rule, %zu admitted; %zu policy steps, %zu admitted "
                "by the policy, %zu of them refused online only by the limits, %zu without a policy; %zu disagreements\n",
                onlyNamedColumns ? "the named columns only" : "the project's tables", t.cases, t.matched, t.admitted,
                t.steps, t.stepAdmitted, t.refusedOnlyByLimits, t.nullPolicy, t.disagreements);
    EXPECT_EQ(t.disagreements, 0u);
    // The generator must reach every answer often enough for the comparison to mean something.
    EXPECT_GT(t.matched, cases / 200);
    EXPECT_GT(t.admitted, cases / 400);
    EXPECT_GT(t.refusedOnlyByLimits, cases / 400);
    EXPECT_GT(t.nullPolicy, cases / 400);
  }
  ds().Exec("DROP DATABASE " + minimal.ds);
  // Grants outlive their database: taken back, so that later tests see the account as it was.
  ds().Exec("REVOKE SELECT ON " + minimal.ds + ".* FROM '" + server().user + "'@'127.0.0.1', '" + server().user +
            "'@'localhost'");
}


}  // namespace
}  // namespace qbnotify
