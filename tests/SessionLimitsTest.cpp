// Session limits at startup: the application's (sessions of the application, one per user)
// and the user's (sessions of our protocol from the client computer), counted in the
// session-load table, and what a broken session-load table does to each.
#include <gtest/gtest.h>

#include "AdmissionTest.h"
#include "platform/hosted/CodePage.h"

namespace qbnotify {
namespace {

using Events = std::vector<std::string>;

struct Running {
  const char* program;
  const char* client = "PC-B";
  const char* station = "KEV-Tcp#1";
};

class SessionLimits : public test::AdmissionTest {
 protected:
  void AddRunning(const std::vector<Running>& sessions) {
    for (const Running& r : sessions)
      dc().Exec(std::string("INSERT INTO dc_sessionload (InitAppName, ClientName, StationName) VALUES ('") + r.program +
                "', '" + r.client + "', '" + r.station + "')");
  }
};

TEST_F(SessionLimits, ApplicationLimitsCountSessionsWhoseApplicationSwitchIsTheIdentifier) {
  const Running bob{"kevshell.exe /N:APP00000012 /U:bob"};
  const Running alice{"kevshell.exe /N:APP00000012 /U:alice", "PC-A"};
  struct Case {
    const char* count;       // app_session_count
    const char* onePerUser;  // each_user_one_session
    std::vector<Running> running;
    bool refused;
  } cases[] = {
      {"3", "0", {bob, bob}, false},
      {"3", "0", {bob, bob, bob}, true},
      {"0", "0", {bob, bob, bob, bob}, false},
      {"NULL", "NULL", {bob, alice}, false},
      {"-1", "0", {}, true},
      {"1", "0", {{"kevshell.exe /N:APP000000123"}, {"kevshell.exe /N:XAPP00000012"}, {"kevshell.exe /U:APP00000012"}},
       false},
      {"1", "0", {{"kevshell.exe /n:app00000012 /U:bob"}}, true},
      // One per user, even from the same client computer; only the value 1 imposes it.
      {"0", "1", {alice}, true},
      {"0", "2", {alice}, false},
      {"0", "1", {{"kevshell.exe /N:APP00000012 /U:ALICE"}}, true},
      {"0", "1", {{"kevshell.exe /N:APP00000012 /U:alicia"}, {"kevshell.exe /N:APP00000099 /U:alice"}}, false},
      {"0", "1", {{"kevshell.exe /N:APP00000012 /U:bob /M:alice"}, {"kevshell.exe /N:APP00000012 /U:al"}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.count << ", " << c.onePerUser << " with " << c.running.size() << " running"
                                    << (c.running.empty() ? "" : std::string(": ") + c.running[0].program));
    ClearTables();
    ds().Exec(std::string("UPDATE Application SET app_session_count = ") + c.count +
              ", each_user_one_session = " + c.onePerUser);
    AddRunning(c.running);
    const test::Startup startup = Start();
    EXPECT_EQ(startup.verdict, c.refused ? "refused 2" : "admitted");
    // A refusal here is the policy step's: its record has no policy identifier.
    Events events = {"1,1,2,00-11-22-33-44-55", "2,1,2,"};
    if (c.refused) events.push_back("2,1,1,");
    EXPECT_EQ(startup.events, events);
    EXPECT_EQ(startup.Traced(test::traces::kPolicyRefused), c.refused);
  }
}

TEST_F(SessionLimits, UserLimitCountsOurSessionsFromTheClientComputer) {
  const Running here{"kevshell.exe /N:APP00000077 /U:bob", "PC-A"};
  struct Case {
    const char* runAppNum;  // nullptr: alice has no row
    std::vector<Running> running;
    bool refused;
  } cases[] = {
      {"2", {here, here}, true},  // whoever runs them
      {"2", {here}, false},
      {"2", {here, {"kevshell.exe /U:carl", "PC-A", "RDP-Tcp#4"}}, false},
      {"2", {here, {"kevshell.exe /U:alice", "PC-B"}}, false},
      {"0", {here, here, here}, false},
      {"NULL", {here, here, here}, false},
      {nullptr, {here, here, here}, false},
      {"-1", {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.runAppNum ? c.runAppNum : "no row") << " with " << c.running.size());
    ClearTables();
    if (c.runAppNum) ds().Exec(std::string("UPDATE Cuser SET RunAppNum = ") + c.runAppNum);
    else ds().Exec("DELETE FROM Cuser");
    AddRunning(c.running);
    const test::Startup startup = Start("kevshell.exe /N:desk /U:alice /M:00-11-22-33-44-55");
    EXPECT_EQ(startup.verdict, c.refused ? "refused 2" : "admitted");
    // The user limit refuses without a record or a trace of its own.
    EXPECT_EQ(startup.events, (Events{"1,1,2,00-11-22-33-44-55", "2,1,2,"}));
    EXPECT_EQ(startup.Traced(test::traces::kAdmitted), !c.refused);
    EXPECT_FALSE(startup.Traced(test::traces::kPolicyRefused));
  }
}

TEST_F(SessionLimits, BrokenSessionLoadAdmitsUnderTheUserRulesButEndsStartupInTheApplicationLimits) {
  // Every rule would refuse alice if the session-load table could be read.
  ds().Exec("UPDATE Cuser SET RepeatLoginEnable = 1, RunAppNum = 1;"
            "UPDATE Application SET app_session_count = 1, each_user_one_session = 1;"
            "INSERT INTO Application (App_ID, security_policy_id) VALUES ('APP00000021', 'P2')");
  AddRunning({{"kevshell.exe /N:APP00000012 /U:alice", "PC-B"}, {"kevshell.exe /N:APP00000012 /U:bob", "PC-A"}});
  const test::Fault broken{test::Database::DC, "RENAME TABLE dc_sessionload TO dc_sessionload_away",
                           "RENAME TABLE dc_sessionload_away TO dc_sessionload"};
  struct Case {
    const char* appId;
    std::string verdict;
    Events events;
  } cases[] = {
      // No policy step: the duplicate-account rule and the user limit admit.
      {"desk", "admitted", {"1,1,2,", "2,1,2,"}},
      // The application limits fail inside the policy step: startup ends there, untold.
      {"APP00000012", "quiet", {"1,1,2,", "2,1,2,"}},
      // A policy that refuses decides before the limits are counted.
      {"APP00000021", "refused 2", {"1,1,2,", "2,1,2,", "2,1,1,P2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.appId);
    const test::Startup startup = StartFile(SessionFile(std::string("kevshell.exe /U:alice /N:") + c.appId), &broken);
    EXPECT_EQ(startup.verdict, c.verdict);
    EXPECT_EQ(startup.events, c.events);
    EXPECT_FALSE(startup.Traced(test::traces::kDuplicateFound));
  }
  // Mended, the same tables refuse.
  EXPECT_EQ(Start("kevshell.exe /U:alice /N:desk").verdict, "refused 2");
  EXPECT_EQ(Start("kevshell.exe /U:alice /N:APP00000012").verdict, "refused 2");

  // A user row that cannot be read applies no user limit.
  const test::Fault unreadable{test::Database::DS, "ALTER TABLE Cuser RENAME COLUMN RunAppNum TO away",
                               "ALTER TABLE Cuser RENAME COLUMN away TO RunAppNum"};
  ds().Exec("UPDATE Cuser SET RepeatLoginEnable = 0");
  EXPECT_EQ(StartFile(SessionFile("kevshell.exe /U:alice /N:desk"), &unreadable).verdict, "admitted");
}

}  // namespace
}  // namespace qbnotify
