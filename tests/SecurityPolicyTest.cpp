// The application's security policy at startup: the rule query the server receives, the
// three refusals and their records, and how rules, address groups and time groups match.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "AdmissionTest.h"

namespace qbnotify {
namespace {

using Events = std::vector<std::string>;

constexpr const char* kAnyName = "\xC8\xCE\xBA\xCE\xC3\xFB\xB3\xC6";   // 任何名称
constexpr const char* kAnyMac = "\xC8\xCE\xBA\xCEMac\xB5\xD8\xD6\xB7";  // 任何Mac地址

// One rule of the policy P1 of APP00000012; by default it admits every client at any time
// from any address.
struct Rule {
  int sortId = 1;
  std::string clientName = kAnyName;
  std::string mac = kAnyMac;
  int protocol = 1;
  std::string addressGroup = "ANY";
  std::string timeGroup = "ALWAYS";
  std::string action = "0";
};

class SecurityPolicy : public test::AdmissionTest {
 protected:
  // P1 with these rules, the address group ANY (type 0) and the time group ALWAYS (DayType 0).
  void SetPolicy(const std::vector<Rule>& rules) {
    ClearTables();
    ds().Exec("UPDATE Application SET security_policy_id = 'P1';"
              "INSERT INTO addressgroup VALUES ('ANY', '0', '', '');"
              "INSERT INTO timegroup (TimeID, DayType, DayFlags) VALUES ('ALWAYS', 0, '00000000')");
    for (const Rule& r : rules)
      ds().Exec("INSERT INTO securitypolicy_sub (SecPID, SortID, clientname, MAC, ClientProtocol, "
                "ClientIPAddressGroupID, TimeID, Action) VALUES ('P1', " + std::to_string(r.sortId) + ", '" +
                r.clientName + "', '" + r.mac + "', " + std::to_string(r.protocol) + ", '" + r.addressGroup + "', '" +
                r.timeGroup + "', " + r.action + ")");
  }
  // "admitted", or "refused" when the policy refused with its own record.
  std::string Decide(const std::string& program = kProgram, const std::string& clientName = "PC-A",
                     const std::string& address = "10.0.0.7") {
    const test::Startup startup = Start(program, clientName, address);
    if (startup.verdict == "admitted" && startup.events.size() == 2) return "admitted";
    if (startup.verdict == "refused 2" && startup.events.size() == 3 && startup.events[2] == "2,1,1,P1")
      return "refused";
    return startup.verdict + " with " + std::to_string(startup.events.size()) + " records";
  }
};

TEST_F(SecurityPolicy, TheServerReceivesTheRuleQueryAsWritten) {
  // The server's general log, written to a file of ours for one startup: it keeps the bytes
  // as they came (its table form would recode the GBK texts).
  SetPolicy({Rule{}});
  test::TempDir dir;
  const std::string logFile = (dir.Path() / "general.log").string();
  const std::string previousFile = ds().Scalar("SELECT @@GLOBAL.general_log_file");
  const std::string previousOutput = ds().Scalar("SELECT @@GLOBAL.log_output");
  ds().Exec("SET GLOBAL general_log_file = '" + logFile +
            "'; SET GLOBAL log_output = 'FILE'; SET GLOBAL general_log = 1");
  const test::Startup startup = Start();
  ds().Exec("SET GLOBAL general_log = 0; SET GLOBAL general_log_file = '" + previousFile +
            "'; SET GLOBAL log_output = '" + previousOutput + "'");
  EXPECT_EQ(startup.verdict, "admitted");

  // Each named parameter, at every place it occurs, as the literal of its value.
  const std::map<std::string, std::string> values = {
      {"pCliIP", "'10.0.0.7'"}, {"pCName", "'PC-A'"}, {"pEvName", std::string("'") + kAnyName + "'"},
      {"pCMac", "'00-11-22-33-44-55'"}, {"pClientPoto", "1"}, {"pAllPoto", "0"},
      {"pEvMac", std::string("'") + kAnyMac + "'"}, {"pSecID", "'P1'"}, {"pF1", "'*'"}, {"pF2", "'?'"},
      {"pF3", "'%'"}, {"pF4", "'_'"}, {"pF5", "'.'"}, {"pS1", "'0'"}, {"pS2", "'2'"}, {"pS3", "'4'"}, {"pS4", "'8'"},
      {"pV1", "1"}, {"pV2", "0"}, {"pV3", "2"}, {"pV4", "-1"}, {"pV5", "3"}};
  const std::string query =
      "select a.*, b.*, c.* from (securitypolicy_sub as a INNER JOIN addressgroup as b ON a.ClientIPAddressGroupID = "
      "b.AddressID) INNER JOIN timegroup as c ON a.TimeID = c.TimeID where ((a.SecPID=:pSecID) and (:pCName like "
      "replace(replace(a.clientname, :pF1, :pF3), :pF2, :pF4) or a.clientname=:pEvName or (position(:pF1 in "
      ":pCName)=:pV2 and position(:pF2 in :pCName)=:pV2 and a.clientname=:pCName)) and ((:pCMac like "
      "replace(replace(a.MAC, :pF1, :pF3), :pF2, :pF4)) or a.MAC=:pEvMac or (position(:pF1 in :pCMac)=:pV2 and "
      "position(:pF2 in :pCMac)=:pV2 and a.MAC=:pCMac)) and (a.ClientProtocol=:pClientPoto or "
      "a.ClientProtocol=:pAllPoto) and (((Mid(c.DayFlags, weekday(CurDate())+:pV3, :pV1)=:pV1) and "
      "(((c.StartDay<=curdate() and curdate()<=c.EndDay) or (c.StartDay<=curdate() and c.EndDay=:pV2)) and "
      "(c.StartTime<=curtime() and curtime()<=c.EndTime))) or (c.DayType=:pV2)) and ((b.AddressType=:pS2 and "
      "b.Ip1=:pCliIP) or (b.AddressType=:pS3 and ((SUBSTRING_INDEX(b.Ip1, :pF5, :pV1)<SUBSTRING_INDEX(:pCliIP, :pF5, "
      ":pV1)) or (SUBSTRING_INDEX(b.Ip1, :pF5, :pV1)=SUBSTRING_INDEX(:pCliIP, :pF5, :pV1) and "
      "SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip1, :pF5, :pV3), :pF5, :pV4)<SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, "
      ":pV3), :pF5, :pV4)) or (SUBSTRING_INDEX(b.Ip1, :pF5, :pV1)=SUBSTRING_INDEX(:pCliIP, :pF5, :pV1) and "
      "SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip1, :pF5, :pV3), :pF5, :pV4)=SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, "
      ":pV3), :pF5, :pV4) and SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip1, :pF5, :pV5), :pF5, "
      ":pV4)<SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, :pV5), :pF5, :pV4)) or (SUBSTRING_INDEX(b.Ip1, :pF5, "
      ":pV1)=SUBSTRING_INDEX(:pCliIP, :pF5, :pV1) and SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip1, :pF5, :pV3), :pF5, "
      ":pV4)=SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, :pV3), :pF5, :pV4) and "
      "SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip1, :pF5, :pV5), :pF5, :pV4)=SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, "
      ":pV5), :pF5, :pV4) and SUBSTRING_INDEX(b.Ip1, :pF5, -1)<=SUBSTRING_INDEX(:pCliIP, :pF5, :pV4))) and "
      "((SUBSTRING_INDEX(:pCliIP, :pF5, :pV1)<SUBSTRING_INDEX(b.Ip2, :pF5, :pV1)) or (SUBSTRING_INDEX(:pCliIP, :pF5, "
      ":pV1)=SUBSTRING_INDEX(b.Ip2, :pF5, :pV1) and SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, :pV3), :pF5, "
      ":pV4)<SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip2, :pF5, :pV3), :pF5, :pV4)) or (SUBSTRING_INDEX(:pCliIP, :pF5, "
      ":pV1)=SUBSTRING_INDEX(b.Ip2, :pF5, :pV1) and SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, :pV3), :pF5, "
      ":pV4)=SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip2, :pF5, :pV3), :pF5, :pV4) and "
      "SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, :pV5), :pF5, :pV4)<SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip2, :pF5, "
      ":pV5), :pF5, :pV4)) or (SUBSTRING_INDEX(:pCliIP, :pF5, :pV1)=SUBSTRING_INDEX(b.Ip2, :pF5, :pV1) and "
      "SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, :pV3), :pF5, :pV4)=SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip2, :pF5, "
      ":pV3), :pF5, :pV4) and SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, :pV5), :pF5, "
      ":pV4)=SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip2, :pF5, :pV5), :pF5, :pV4) and SUBSTRING_INDEX(:pCliIP, :pF5, "
      ":pV4)<=SUBSTRING_INDEX(b.Ip2, :pF5, :pV4))) or (b.AddressType=:pS4 and (SUBSTRING_INDEX(b.Ip1, :pF5, "
      ":pV1)=SUBSTRING_INDEX(:pCliIP, :pF5, :pV1) and SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip1, :pF5, :pV3), :pF5, "
      ":pV4)=SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, :pV3), :pF5, :pV4) and "
      "SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip1, :pF5, :pV5), :pF5, :pV4)=SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, "
      ":pV5), :pF5, :pV4)))) or (b.AddressType=:pS1))) order by a.SortID ASC";
  std::string expected;
  const std::regex parameter(":(p[A-Za-z0-9]+)");
  auto at = query.cbegin();
  for (std::sregex_iterator it(query.begin(), query.end(), parameter), end; it != end; ++it) {
    expected.append(at, (*it)[0].first);
    expected += values.at((*it)[1].str());
    at = (*it)[0].second;
  }
  expected.append(at, query.cend());

  std::vector<std::string> received;
  std::ifstream general(logFile, std::ios::binary);
  for (std::string line; std::getline(general, line);) {
    const std::size_t found = line.find("Query\tselect a.*");
    if (found != std::string::npos) received.push_back(line.substr(found + 6));
  }
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0], expected);
}

TEST_F(SecurityPolicy, EachRefusalHasItsRecordAndApplicationLimitsFollowAnAdmission) {
  // Three sessions of APP00000012 run already.
  const std::string running =
      "INSERT INTO dc_sessionload (InitAppName, ClientName, StationName) VALUES"
      "('kevshell.exe /N:APP00000012 /U:bob', 'PC-B', 'KEV-Tcp#1'), ('kevshell.exe /N:APP00000012 /U:carl', 'PC-C', "
      "'KEV-Tcp#2'), ('kevshell.exe /N:APP00000012 /U:dora', 'PC-D', 'KEV-Tcp#3')";
  struct Case {
    const char* what;
    const char* application;  // what is set in APP00000012's row after the policy P1
    std::vector<Rule> rules;
    std::string verdict;
    std::string refusal;  // the third record, if any
  } cases[] = {
      {"policy admits, no limit", "app_session_count = 0", {Rule{}}, "admitted", ""},
      {"policy refuses", "app_session_count = 0", {{.action = "1"}}, "refused 2", "2,1,1,P1"},
      {"policy without rules", "app_session_count = 0", {}, "refused 2", "2,1,1,P1"},
      {"no rule matches", "app_session_count = 0", {{.clientName = "PC-Z"}}, "refused 2", "2,1,1,P1"},
      {"policy admits, limit reached", "app_session_count = 3", {Rule{}}, "refused 2", "2,1,1,"},
      {"policy admits, limit not reached", "app_session_count = 4", {Rule{}}, "admitted", ""},
      {"NULL policy, limit reached", "security_policy_id = NULL, app_session_count = 3", {{.action = "1"}},
       "refused 2", "2,1,1,"},
      {"empty policy, limit reached", "security_policy_id = '', app_session_count = 3", {{.action = "1"}},
       "refused 2", "2,1,1,"},
      {"'NULL' policy, limit reached", "security_policy_id = 'NULL', app_session_count = 3", {{.action = "1"}},
       "refused 2", "2,1,1,"},
      {"'NULL' policy, no limit", "security_policy_id = 'NULL'", {{.action = "1"}}, "admitted", ""},
      {"no such application", "App_ID = 'APP00000099'", {Rule{}}, "refused 2", "2,1,1,"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetPolicy(c.rules);
    ds().Exec(std::string("UPDATE Application SET ") + c.application);
    dc().Exec(running);
    const test::Startup startup = Start();
    EXPECT_EQ(startup.verdict, c.verdict);
    Events events = {"1,1,2,00-11-22-33-44-55", "2,1,2,"};
    if (!c.refusal.empty()) events.push_back(c.refusal);
    EXPECT_EQ(startup.events, events);
    EXPECT_EQ(startup.Traced(test::traces::kPolicyRefused), c.verdict != "admitted");
  }
}

TEST_F(SecurityPolicy, FirstMatchingRuleByNameMacAndProtocolDecides) {
  const char* const noMac = "kevshell.exe /N:APP00000012 /U:alice";
  struct Case {
    std::vector<Rule> rules;
    const char* clientName;
    const char* program;
    bool admitted;
  } cases[] = {
      {{{.clientName = "PC-*"}}, "PC-01", kProgram, true},
      {{{.clientName = "PC-*"}}, "PC-", kProgram, true},
      {{{.clientName = "PC-*"}}, "PC01", kProgram, false},
      {{{.clientName = "PC-0?"}}, "PC-01", kProgram, true},
      {{{.clientName = "PC-0?"}}, "PC-001", kProgram, false},
      {{{.clientName = "PC-A"}}, "PC-A", kProgram, true},
      {{{.clientName = "PC-A"}}, "PC-AB", kProgram, false},
      {{{.clientName = "PC-A"}}, "PC-*", kProgram, false},  // a client name with a wildcard is no name
      {{{.clientName = kAnyName}}, "whatever", kProgram, true},
      {{{.mac = "00-11-*"}}, "PC-A", kProgram, true},
      {{{.mac = "00-11-22-33-44-5?"}}, "PC-A", kProgram, true},
      {{{.mac = "00-11-22-33-44-66"}}, "PC-A", kProgram, false},
      {{{.mac = ""}}, "PC-A", noMac, true},  // an empty client MAC
      {{{.mac = "*"}}, "PC-A", noMac, true},
      {{{.mac = "00-*"}}, "PC-A", noMac, false},
      {{{.mac = kAnyMac}}, "PC-A", noMac, true},
      {{{.protocol = 0}}, "PC-A", kProgram, true},
      {{{.protocol = 2}}, "PC-A", kProgram, false},
      {{{.action = "1"}}, "PC-A", kProgram, false},
      {{{.action = "NULL"}}, "PC-A", kProgram, true},
      {{{.addressGroup = "GONE"}}, "PC-A", kProgram, false},
      {{{.timeGroup = "GONE"}}, "PC-A", kProgram, false},
      {{}, "PC-A", kProgram, false},
      // Lowest SortID first, whatever the order of the rows.
      {{{.sortId = 10, .action = "0"}, {.sortId = 5, .action = "1"}}, "PC-A", kProgram, false},
      {{{.sortId = 10, .action = "1"}, {.sortId = 5, .action = "0"}}, "PC-A", kProgram, true},
      {{{.sortId = 5, .clientName = "PC-B", .action = "1"}, {.sortId = 10, .action = "0"}}, "PC-A", kProgram, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.clientName << " " << c.program << " rules " << c.rules.size() << ": "
                                    << (c.rules.empty() ? "" : c.rules[0].clientName + " " + c.rules[0].mac));
    SetPolicy(c.rules);
    EXPECT_EQ(Decide(c.program, c.clientName), c.admitted ? "admitted" : "refused");
  }
}

TEST_F(SecurityPolicy, AddressGroupsCompareOctetsAsText) {
  struct Case {
    const char* group;  // AddressType, Ip1, Ip2
    std::vector<const char*> admitted;
    std::vector<const char*> refused;
  } cases[] = {
      {"'2', '10.0.0.7', ''", {"10.0.0.7"}, {"10.0.0.70", "10.0.0.8"}},
      {"'4', '10.0.0.20', '10.0.0.30'",
       {"10.0.0.20", "10.0.0.25", "10.0.0.30", "10.0.0.3", "10.0.0.200"},
       {"10.0.0.4", "10.0.0.31", "10.0.0.100", "10.0.1.25", "9.0.0.25"}},
      {"'8', '192.168.1.0', '10.9.9.9'", {"192.168.1.77", "192.168.1.0"}, {"192.168.2.1", "10.9.9.9"}},
      {"'0', '', ''", {"10.0.0.7", "0.0.0.0"}, {}},
  };
  for (const Case& c : cases) {
    SetPolicy({{.addressGroup = "G"}});
    ds().Exec(std::string("INSERT INTO addressgroup VALUES ('G', ") + c.group + ")");
    for (const char* address : c.admitted)
      EXPECT_EQ(Decide(kProgram, "PC-A", address), "admitted") << c.group << " " << address;
    for (const char* address : c.refused)
      EXPECT_EQ(Decide(kProgram, "PC-A", address), "refused") << c.group << " " << address;
  }
}

// Time groups are evaluated on the database server's clock. SetServerClock makes every
// connection the library opens from then on start with "SET timestamp" (through the
// server's init_connect, which runs for the library's account, not for the administrator),
// so that CURDATE(), CURTIME() and WEEKDAY() read the given time; the terminal server's
// clock plays no part. 2026-12-07 is a Monday.
TEST_F(SecurityPolicy, TimeGroupsFollowTheServerClock) {
  struct Case {
    const char* group;  // DayType, DayFlags, StartDay, EndDay, StartTime, EndTime
    const char* clock;
    bool admitted;
  } cases[] = {
      {"1, '11111111', '2026-01-01', '0000-00-00', '08:00:00', '18:00:00'", "2026-12-07 08:00:00", true},
      {"1, '11111111', '2026-01-01', '0000-00-00', '08:00:00', '18:00:00'", "2026-12-07 18:00:00", true},
      {"1, '11111111', '2026-01-01', '0000-00-00', '08:00:00', '18:00:00'", "2026-12-07 18:00:01", false},
      {"1, '11111111', '2026-01-01', '0000-00-00', '08:00:00', '18:00:00'", "2026-12-07 07:59:59", false},
      // The 2nd flag is Monday ... the 8th Sunday; the 1st is never consulted.
      {"1, '01000000', '2026-01-01', '0000-00-00', '00:00:00', '23:59:59'", "2026-12-07 12:00:00", true},
      {"1, '01000000', '2026-01-01', '0000-00-00', '00:00:00', '23:59:59'", "2026-12-08 12:00:00", false},
      {"1, '10111111', '2026-01-01', '0000-00-00', '00:00:00', '23:59:59'", "2026-12-07 12:00:00", false},
      {"1, '00000001', '2026-01-01', '0000-00-00', '00:00:00', '23:59:59'", "2026-12-13 12:00:00", true},
      {"1, '00000001', '2026-01-01', '0000-00-00', '00:00:00', '23:59:59'", "2026-12-12 12:00:00", false},
      // The date window includes both ends; a NULL end never matches, nor a start in the future.
      {"1, '11111111', '2026-12-08', '2026-12-10', '00:00:00', '23:59:59'", "2026-12-07 12:00:00", false},
      {"1, '11111111', '2026-12-08', '2026-12-10', '00:00:00', '23:59:59'", "2026-12-08 12:00:00", true},
      {"1, '11111111', '2026-12-08', '2026-12-10', '00:00:00', '23:59:59'", "2026-12-10 12:00:00", true},
      {"1, '11111111', '2026-12-08', '2026-12-10', '00:00:00', '23:59:59'", "2026-12-11 12:00:00", false},
      {"1, '11111111', '2026-01-01', NULL, '00:00:00', '23:59:59'", "2026-12-07 12:00:00", false},
      {"1, '11111111', '2027-01-01', '0000-00-00', '00:00:00', '23:59:59'", "2026-12-07 12:00:00", false},
      // A window does not wrap past midnight.
      {"1, '11111111', '2026-01-01', '0000-00-00', '20:00:00', '06:00:00'", "2026-12-07 22:00:00", false},
      // DayType 0 imposes nothing, even with a NULL end and no day allowed.
      {"0, '00000000', '2027-01-01', NULL, '20:00:00', '06:00:00'", "2026-12-07 12:00:00", true},
  };
  for (const Case& c : cases) {
    SetPolicy({{.timeGroup = "W"}});
    ds().Exec(std::string("INSERT INTO timegroup VALUES ('W', ") + c.group + ")");
    test::SetServerClock(ds(), c.clock);
    EXPECT_EQ(Decide(), c.admitted ? "admitted" : "refused") << c.group << " at " << c.clock;
  }
}

}  // namespace
}  // namespace qbnotify
