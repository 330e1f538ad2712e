// The offline decision against the server's own rule query: generated farms (policies of
// several rules; name and MAC patterns with wildcards, escapes, code-page-936 letters and
// both letter cases; address groups of every type, text-ordered ranges included; time
// groups of every shape, windows across midnight and NULL days included; identifiers that
// differ in letter case or trailing blanks), generated clients and clock readings. For each
// case the server runs the rule query with its clock set to the reading, and the offline
// decision judges the snapshot taken from the same rows at the same local time: the
// matching rules, in order, must be the same. A disagreement prints the one rule it is
// about, with its groups, the client and the time, as SQL to replay.
//
// QB_OFFLINE_CASES sets the number of cases (default 3,000); QB_OFFLINE_SEED the seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <random>
#include <sstream>

#include "TestDatabase.h"
#include "policy/Offline.h"
#include "policy/SecurityPolicy.h"

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

class OfflineDifferential : public test::DatabaseTest {};

TEST_F(OfflineDifferential, OfflineDecisionAgreesWithTheServersRuleQuery) {
  const std::size_t cases = EnvNumber("QB_OFFLINE_CASES", 3000);
  const std::uint64_t seed = EnvNumber("QB_OFFLINE_SEED", 18);
  Generator g(seed);

  hosted::Session session = Session();
  hosted::HostedPlatform platform(session);
  Instance instance(platform);
  ASSERT_TRUE(OpenConnections(platform, instance.connections));
  Connection& connection = *instance.connections.DS;

  constexpr std::size_t kCasesPerFarm = 200;
  std::size_t done = 0;
  std::size_t disagreements = 0;
  std::size_t matched = 0;
  std::size_t admitted = 0;
  Clock clock;
  while (done < cases) {
    // A farm.
    ds().Exec("DELETE FROM securitypolicy_sub; DELETE FROM addressgroup; DELETE FROM timegroup");
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
      sql << (i ? "," : "") << "('A" << i << "', '" << g.Pick(types) << "', '" << g.GroupAddress(addresses) << "', '"
          << g.GroupAddress(addresses) << "')";
    sql << ";INSERT INTO timegroup VALUES ";
    for (int i = 0; i < 10; ++i)
      sql << (i ? "," : "") << "('T" << i << "', " << g.Pick(std::vector<int>{0, 0, 1, 1, 1, 2}) << ", " << Lit(g.Flags()) << ", " << g.Date() << ", "
          << g.Date() << ", " << g.Time() << ", " << g.Time() << ")";
    sql << ";INSERT INTO securitypolicy_sub (SecPID, SortID, clientname, MAC, ClientProtocol, ClientIPAddressGroupID, "
           "TimeID, Action) VALUES ";
    bool first = true;
    for (const char* policy : {"P1", "p2", "P3"}) {
      const std::size_t rules = 1 + g.Below(6);
      for (std::size_t r = 0; r < rules; ++r) {
        const std::string action = g.Below(8) == 0 ? "NULL" : std::to_string(g.Below(3) == 0 ? 1 : 0);
        sql << (first ? "" : ",") << "(" << Lit(g.Below(5) == 0 ? std::string(policy) + " " : policy) << ", "
            << (r * 10 + g.Below(10)) << ", " << Lit(g.Pattern(names, kAnyName)) << ", " << Lit(g.Pattern(macs, kAnyMac))
            << ", " << g.Below(3) << ", '" << g.Id("A", 11) << "', '" << g.Id("T", 11) << "', " << action << ")";
        first = false;
      }
    }
    ds().Exec(sql.str());
    const OfflineSnapshot snapshot = TakeSnapshot(instance);
    ASSERT_EQ(DecodeSnapshot(EncodeSnapshot(snapshot)).has_value(), true);

    for (std::size_t c = 0; c < kCasesPerFarm && done < cases; ++c, ++done) {
      if (c % 10 == 0) {  // a new clock reading for the next ten cases
        clock = MakeClock(g);
        connection.Query("SET timestamp = UNIX_TIMESTAMP('" + clock.text + "')");
      }
      const std::string& clockText = clock.text;
      const DateTime& now = clock.local;
      RuleClient client{g.Below(8) == 0 ? g.Name(4) : g.Pick(names), g.Below(8) == 0 ? g.Name(3) : g.Pick(macs),
                        g.Below(8) == 0 ? g.Address() : g.Pick(addresses)};
      const std::string policyId = g.Pick(std::vector<std::string>{"P1", "p1", "P2", "P3 ", "p3"});

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
      matched += !server.empty();
      if (!server.empty()) {
        statement.First();
        admitted += statement.ColumnInteger("Action") == 0;
      }
      if (server == offline) continue;
      ++disagreements;
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
      if (disagreements >= 10) FAIL() << "stopped after 10 disagreements";
    }
  }
  std::printf("offline decision: %zu cases, %zu with a matching rule, %zu admitted, %zu disagreements\n", done, matched,
              admitted, disagreements);
  EXPECT_EQ(disagreements, 0u);
  // The generator must reach both answers often enough for the comparison to mean something.
  EXPECT_GT(matched, cases / 200);
  EXPECT_GT(admitted, cases / 400);
}

}  // namespace
}  // namespace qbnotify
