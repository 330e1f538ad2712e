// The admission checks as decisions: what each answers for the rows it read, that none of
// them writes a row, and that RunAdmissionChecks stops at the first refusal with the records
// due in order.
#include <gtest/gtest.h>

#include <array>
#include <optional>

#include "TestDatabase.h"
#include "policy/Admission.h"
#include "policy/SecurityPolicy.h"

namespace qbnotify {
namespace {

struct KeepRecords final : AdmissionEffects {
  void Record(const EventRecord& record) override { kept.push_back(record); }
  std::vector<EventRecord> kept;
};

class AdmissionDecision : public test::DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    if (IsSkipped()) return;
    ds().Exec("INSERT INTO Cuser (User_ID, name, RepeatLoginEnable, RunAppNum) VALUES ('U1', 'alice', 1, 2);"
              "INSERT INTO Application (App_ID, security_policy_id, app_session_count) VALUES "
              "('APP00000012', 'P1', 2), ('APP00000013', 'P2', 0), ('APP00000014', NULL, 1);"
              "INSERT INTO addressgroup VALUES ('ANY', '0', '', ''), ('LAN', '8', '10.0.0.0', '');"
              "INSERT INTO timegroup (TimeID, DayType) VALUES ('T', 0);"
              "INSERT INTO securitypolicy_sub (SecPID, SortID, clientname, MAC, ClientProtocol, ClientIPAddressGroupID, "
              "TimeID, Action) VALUES ('P1', 10, 'PC-*', '*', 1, 'LAN', 'T', 0), ('P1', 20, '*', '*', 0, 'ANY', 'T', 1),"
              "('P2', 5, 'NOBODY', '*', 1, 'ANY', 'T', 0)");
    dc().Exec("INSERT INTO dc_sessionload (InitAppName, ClientName, StationName) VALUES "
              "('kevshell.exe /N:APP00000014 /U:bob', 'PC-9', 'KEV-Tcp#1'),"
              "('kevshell.exe /N:APP00000012 /U:alice', 'PC-B', 'KEV-Tcp#2')");
  }

  std::string LogRows() { return log().Scalar("SELECT COUNT(*) FROM log") + "/" + ds().Scalar("SELECT COUNT(*) FROM GloabolInc"); }
};

TEST_F(AdmissionDecision, EachCheckAnswersWhatDecidedAndWritesNothing) {
  using Outcome = PolicyDecision::Outcome;
  struct Case {
    const char* name;
    const char* program;
    const char* client;
    int reason;
    const char* decidedBy;
    std::optional<Outcome> policy;
    int decidingSortId;  // 0: no matching rule
    std::vector<std::string> records;  // "TypeID,EventID,Parameter1"
  } cases[] = {
      {"no shell", "cmd.exe /N:APP00000012 /U:alice", "PC-A", kRefusedByShell, "shell", std::nullopt, 0, {"2,1,"}},
      {"no application row", "kevshell.exe /N:APP00000099 /U:alice", "PC-A", kRefusedByPolicy, "policy",
       Outcome::NoApplication, 0, {"2,2,", "2,1,"}},
      {"the catch-all rule refuses", "kevshell.exe /N:APP00000012 /U:alice", "KIOSK", kRefusedByPolicy, "policy",
       Outcome::RuleRefused, 20, {"2,2,", "2,1,P1"}},
      {"no rule matches", "kevshell.exe /N:APP00000013 /U:alice", "PC-A", kRefusedByPolicy, "policy",
       Outcome::NoRuleMatched, 0, {"2,2,", "2,1,P2"}},
      {"the application's limit", "kevshell.exe /N:APP00000014 /U:alice", "PC-A", kRefusedByPolicy, "policy",
       Outcome::NoPolicy, 0, {"2,2,", "2,1,"}},
      {"a session from another computer", "kevshell.exe /N:APP00000012 /U:alice", "PC-A", kRefusedByPolicy,
       "duplicate-account", Outcome::RuleAdmitted, 10, {"2,2,"}},
      {"not a policy application, from the computer it runs on", "kevshell.exe /N:desk /U:alice", "PC-B", kAdmitted, "",
       std::nullopt, 0, {"2,2,"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    hosted::Session session = Session(c.program);
    session.clientName = c.client;
    hosted::HostedPlatform platform(session);
    Instance instance(platform);
    ASSERT_TRUE(OpenConnections(platform, instance.connections));
    FillSecondStage(instance);
    instance.context.WinStationName = "KEV-Tcp#1";
    instance.context.InitialProgram = c.program;
    instance.context.ClientName = c.client;

    const std::string before = LogRows();
    KeepRecords effects;
    AdmissionReport report;
    EXPECT_EQ(RunAdmissionChecks(instance, effects, report), c.reason);
    EXPECT_EQ(LogRows(), before) << "a check wrote a row";
    EXPECT_STREQ(report.decidedBy, c.decidedBy);

    std::vector<std::string> records;
    for (const EventRecord& r : effects.kept) records.push_back(std::to_string(r.typeId) + "," + std::to_string(r.eventId) + "," + r.parameter1);
    EXPECT_EQ(records, c.records);
    EXPECT_EQ(effects.kept.size(), report.records.size());

    ASSERT_EQ(report.policy.has_value(), c.policy.has_value());
    if (report.policy) {
      EXPECT_EQ(report.policy->outcome, *c.policy);
      const bool matched = report.policy->match && !report.policy->match->rules.empty();
      EXPECT_EQ(matched ? report.policy->match->rules.front().sortId : 0, c.decidingSortId);
    }
  }
}

TEST_F(AdmissionDecision, RuleBreakdownAgreesWithTheRuleQuery) {
  // For clients inside and outside the LAN, named PC-x or not, the first rule that the
  // breakdown marks as matching is the one the library's rule query answers first.
  struct Client {
    const char* name;
    std::array<std::uint8_t, 4> address;
  } clients[] = {{"PC-1", {10, 0, 0, 5}}, {"PC-1", {10, 0, 1, 5}}, {"KIOSK", {10, 0, 0, 5}}, {"", {0, 0, 0, 0}}};
  for (const Client& client : clients) {
    SCOPED_TRACE(client.name);
    hosted::Session session = Session("kevshell.exe /N:APP00000012 /U:alice");
    session.clientName = client.name;
    session.clientAddress = hosted::AddressRecord{2, {0, 0, client.address[0], client.address[1], client.address[2], client.address[3]}};
    hosted::HostedPlatform platform(session);
    Instance instance(platform);
    ASSERT_TRUE(OpenConnections(platform, instance.connections));

    const PolicyEvaluation evaluation = EvaluatePolicyRules(instance, "P1", ReadRuleClient(instance));
    ASSERT_EQ(evaluation.rules.size(), 2u);
    int firstMatch = 0;
    for (const RuleEvaluation& rule : evaluation.rules)
      if (rule.Matches() && firstMatch == 0) firstMatch = rule.rule.sortId;
    const RuleMatch match = MatchSecurityPolicy(instance, "P1");
    EXPECT_EQ(match.rules.empty() ? 0 : match.rules.front().sortId, firstMatch);
    EXPECT_EQ(match.admits, firstMatch == 10);
  }
}

}  // namespace
}  // namespace qbnotify
