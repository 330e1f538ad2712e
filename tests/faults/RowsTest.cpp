// The row check and the decision reading that every fault case's verdict rests on: a check
// that passes a lost, doubled or altered row would hide exactly the faults the suite is for.
#include <gtest/gtest.h>

#include "Rows.h"
#include "Suite.h"

namespace qbnotify::faults {
namespace {

Row Event(const std::string& id, const std::string& time, const std::string& eventId) {
  return {"log", id, {time, "2", "1", "U0002", "APP00000012", "PC-A", eventId, "", ""}};
}
Row Audit(const std::string& id, const std::string& start, const std::string& stop) {
  return {"appshenji", id, {"S0001", "bob", "APP00000012", "name", "00-11", start, stop}};
}

const Row kLogon = Event("Log00000101", "2026-12-07 09:01:00", "3");
const Row kLogonAudit = Audit("lap00000101", "2026-12-07 09:01:00", "0000-00-00 00:00:00");
const Row kDisconnect = Event("Log00000102", "2026-12-07 09:03:00", "4");

Row WithId(Row row, const std::string& id) {
  row.id = id;
  return row;
}

TEST(FaultRowCheck, FindsLostDoubledAlteredAndMisnumberedRows) {
  Row alteredTime = kDisconnect;
  alteredTime.values[0] = "2026-12-07 09:04:00";
  Row cutValue = kLogonAudit;
  cutValue.values[3] = "na";
  struct Case {
    const char* what;
    std::vector<Row> found;
    Expectation expectation;
    std::size_t problems;
  };
  const Case cases[] = {
      {"all there", {kLogon, kLogonAudit}, {{kLogon, kLogonAudit}, {}}, 0},
      {"identifiers are not compared", {WithId(kLogon, "Log00000150")}, {{kLogon}, {}}, 0},
      {"a required row lost", {kLogon}, {{kLogon, kDisconnect}, {}}, 1},
      {"a row written twice under two identifiers", {kLogon, WithId(kLogon, "Log00000103")}, {{kLogon}, {}}, 1},
      {"a row written twice, also allowed as optional", {kLogon, WithId(kLogon, "Log00000103")}, {{kLogon}, {kLogon}}, 0},
      {"an optional row absent", {kLogon}, {{kLogon}, {kDisconnect}}, 0},
      {"an optional row there once", {kLogon, kDisconnect}, {{kLogon}, {kDisconnect}}, 0},
      {"an optional row there twice", {kDisconnect, WithId(kDisconnect, "Log00000109")}, {{}, {kDisconnect}}, 1},
      {"a value changed", {kLogon, alteredTime}, {{kLogon, kDisconnect}, {}}, 2},
      {"a value cut short", {cutValue}, {{kLogonAudit}, {}}, 2},
      {"a row where none may be", {kLogonAudit}, {{}, {}}, 1},
      {"an event row counted as an audit row", {Row{"appshenji", "lap00000101", kLogon.values}}, {{kLogon}, {}}, 2},
      {"one identifier twice", {kLogon, WithId(kDisconnect, "Log00000101")}, {{kLogon, kDisconnect}, {}}, 1},
      {"an identifier at or below the counter's start", {WithId(kLogon, "Log00000100")}, {{kLogon}, {}}, 1},
      {"an identifier of the other head", {WithId(kLogon, "lap00000101")}, {{kLogon}, {}}, 1},
      {"an identifier of the wrong length", {WithId(kLogon, "Log0000101")}, {{kLogon}, {}}, 1},
      {"an identifier with a sign", {WithId(kLogon, "Log-0000101")}, {{kLogon}, {}}, 1},
  };
  for (const Case& c : cases) {
    const RowCheck check = CheckRows(c.found, c.expectation, 100);
    EXPECT_EQ(check.problems.size(), c.problems) << c.what << ": " << ::testing::PrintToString(check.problems);
    EXPECT_EQ(check.expected, c.expectation.required.size()) << c.what;
    EXPECT_EQ(check.written, c.found.size()) << c.what;
  }
}

TEST(FaultRowCheck, ExpectationFollowsTheRule) {
  // startup wrote nothing, logon an event and an audit row, disconnect an event.
  const std::vector<std::vector<Row>> bySteps = {{}, {kLogon, kLogonAudit}, {kDisconnect}};
  struct Case {
    RowsRule rule;
    int step;
    std::size_t required, optional;
  };
  const Case cases[] = {
      {RowsRule::All, -1, 3, 0},         {RowsRule::None, -1, 0, 0},      {RowsRule::StepOptional, 1, 1, 2},
      {RowsRule::StepOptional, 2, 2, 1}, {RowsRule::AllOptional, 0, 0, 3}, {RowsRule::EventsOnly, -1, 2, 0},
      {RowsRule::AuditOnly, -1, 1, 0},
  };
  for (const Case& c : cases) {
    const Expectation expectation = Expect(c.rule, bySteps, c.step);
    EXPECT_EQ(expectation.required.size(), c.required) << static_cast<int>(c.rule) << " step " << c.step;
    EXPECT_EQ(expectation.optional.size(), c.optional) << static_cast<int>(c.rule) << " step " << c.step;
  }
  for (const Row& row : Expect(RowsRule::AuditOnly, bySteps, -1).required) EXPECT_EQ(row.table, "appshenji");
}

TEST(FaultDecision, ReadsTheStartupStep) {
  struct Case {
    bool completed, ended;
    const char* effects;
    const char* decision;
  };
  const Case cases[] = {
      {true, false, "msg 1000/0", kAdmitted},
      {true, true, "msg 1000/2 end 10/0", kRefused},
      {true, true, "msg 1000/2(not delivered) end 10/0", kRefused},
      {true, false, "", kUnchecked},
      {true, false, "msg 1000/2", kUnchecked},  // told of a refusal, yet the session goes on
      {false, false, "", "none"},
  };
  for (const Case& c : cases) {
    HandlerRun run;
    run.completed = c.completed;
    run.sessionEnded = c.ended;
    run.effects = c.effects;
    EXPECT_EQ(DecisionOf(run), c.decision) << c.effects;
  }
}

}  // namespace
}  // namespace qbnotify::faults
