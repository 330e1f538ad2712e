// The startup sequence through the session host: its steps and their order, the shell
// check, which applications go to the security policy, and database failures on the way.
#include <gtest/gtest.h>

#include "AdmissionTest.h"
#include "platform/hosted/CodePage.h"

namespace qbnotify {
namespace {

using test::Database;
using test::Fault;
using Events = std::vector<std::string>;

constexpr const char* kStartRecord = "1,1,2,00-11-22-33-44-55";

class StartupSequence : public test::AdmissionTest {};

TEST_F(StartupSequence, AdmittedStartupTracesEveryStepInOrder) {
  const test::Startup startup = Start();
  EXPECT_EQ(startup.verdict, "admitted");
  EXPECT_EQ(startup.events, (Events{kStartRecord, "2,1,2,"}));
  const std::vector<std::string> texts = {
           std::string(test::traces::kStartup), std::string("WTSWinStatname=KEV-Tcp#3"),
           std::string("InitialProgram=") + kProgram, std::string("ComputerName=PC-A"),
           std::string(test::traces::kProtocolCheck), std::string(test::traces::kConnecting),
           std::string(test::traces::kConnected), std::string(test::traces::kShellCheck),
           std::string(test::traces::kRepeatCheck),
           // alice没有设置”不允许重复登录，就是客户端可以重复使用一个帐号登录0“
           std::string("alice\xC3\xBB\xD3\xD0\xC9\xE8\xD6\xC3\xA1\xB1\xB2\xBB\xD4\xCA\xD0\xED\xD6\xD8\xB8\xB4\xB5\xC7"
                       "\xC2\xBC\xA3\xAC\xBE\xCD\xCA\xC7\xBF\xCD\xBB\xA7\xB6\xCB\xBF\xC9\xD2\xD4\xD6\xD8\xB8\xB4\xCA\xB9"
                       "\xD3\xC3\xD2\xBB\xB8\xF6\xD5\xCA\xBA\xC5\xB5\xC7\xC2\xBC"
                       "0\xA1\xB0"),
           std::string(test::traces::kAdmitted)};
  std::vector<std::string> expected;
  for (const std::string& text : texts) expected.push_back(hosted::Cp936ToUtf8(text));
  EXPECT_EQ(startup.traces, expected);
  // The verdict comes after the last step.
  EXPECT_EQ(startup.run.lines.back()["type"], "channel");
}

TEST_F(StartupSequence, ShellCheckLooksAtTheFirstParameterOnly) {
  struct Case {
    const char* program;
    bool passes;
  } cases[] = {
      {"\"C:\\Program Files\\TAV\\kevshell.exe\" /N:desk", true},  // quoted, with a blank
      {"c:\\tav\\KevShell.EXE", true},
      {" \t kevshell.exe \t ", true},
      {"C:\\KEVSHELL\\launch.exe", true},  // anywhere in the program's path
      {"cmd.exe /c kevshell.exe", false},
      {"cmd.exe /N:KEVSHELL", false},
      {"\"cmd.exe\" \"kevshell.exe\"", false},
      {"kev shell.exe", false},
      {"", false},
      {" \t  ", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    const test::Startup startup = Start(c.program);
    EXPECT_EQ(startup.verdict, c.passes ? "admitted" : "refused 3");
    EXPECT_EQ(startup.events, (Events{"1,1,2,", c.passes ? "2,1,2," : "2,1,1,"}));
    // A refused session never reaches the duplicate-account rule.
    EXPECT_EQ(startup.Traced(test::traces::kRepeatCheck), c.passes);
  }
  // An initial program that cannot be read is empty.
  nlohmann::ordered_json session = SessionFile();
  session["initial_program"] = nullptr;
  const test::Startup unreadable = StartFile(session);
  EXPECT_EQ(unreadable.verdict, "refused 3");
  EXPECT_EQ(unreadable.events, (Events{"1,1,2,", "2,1,1,"}));
}

TEST_F(StartupSequence, ARefusalEndsTheSessionEvenWhenTheClientCannotBeTold) {
  for (const char* channel : {"unavailable", "write_fails"}) {
    SCOPED_TRACE(channel);
    nlohmann::ordered_json session = SessionFile("cmd.exe /N:desk");
    session["channel"] = channel;
    const test::Startup startup = StartFile(session);
    const auto& lines = startup.run.lines;
    ASSERT_GE(lines.size(), 2u);
    const auto& told = lines[lines.size() - 2];
    EXPECT_EQ(told["type"], "channel_failed");
    EXPECT_EQ(told["code"], 0x1000);
    EXPECT_EQ(told["reason"], 3);
    EXPECT_EQ(lines.back(), nlohmann::ordered_json::parse(R"({"type":"end_session","flags":10,"reason":0})"));
  }
}

TEST_F(StartupSequence, OnlyApplicationsHoldingAppGoToTheSecurityPolicy) {
  // None of these applications has a row: the policy step refuses every one it sees.
  const std::pair<const char*, bool> cases[] = {
      {"APP00000099", true}, {"myapp", true},        {"xAppx", true},       {"APP000000001", true},
      {"APP00000000", false}, {"app00000000", false}, {"quilladmin", false}, {"QuillAdmin", false},
      {"shadow", false},      {"SHADOW", false},      {"", false},
  };
  for (const auto& [appId, consulted] : cases) {
    SCOPED_TRACE(appId);
    const test::Startup startup = Start(std::string("kevshell.exe /U:alice /N:") + appId);
    EXPECT_EQ(startup.verdict, consulted ? "refused 2" : "admitted");
    EXPECT_EQ(startup.Traced(test::traces::kPolicyRefused), consulted);
    EXPECT_EQ(startup.events, consulted ? (Events{"1,1,2,", "2,1,2,", "2,1,1,"}) : (Events{"1,1,2,", "2,1,2,"}));
  }
  EXPECT_EQ(Start("kevshell.exe /U:alice").verdict, "admitted");  // no "/N:" at all
}

TEST_F(StartupSequence, ChecksRunInOrderAndTheFirstRefusalEndsTheSequence) {
  // Every check refuses alice: a policy without rules, the duplicate-account rule with her
  // session on PC-B, and a limit of one session of ours from PC-A, where bob runs one.
  ds().Exec("UPDATE Application SET security_policy_id = 'P1';"
            "UPDATE Cuser SET RepeatLoginEnable = 1, RunAppNum = 1");
  dc().Exec("INSERT INTO dc_sessionload (InitAppName, ClientName, StationName) VALUES"
            "('kevshell.exe /N:APP00000077 /U:alice', 'PC-B', 'KEV-Tcp#1'),"
            "('kevshell.exe /N:APP00000077 /U:bob', 'PC-A', 'KEV-Tcp#2')");

  test::Startup startup = Start();
  EXPECT_EQ(startup.verdict, "refused 2");
  EXPECT_EQ(startup.events, (Events{kStartRecord, "2,1,2,", "2,1,1,P1"}));
  EXPECT_EQ(startup.traces.back(), hosted::Cp936ToUtf8(test::traces::kPolicyRefused));

  ds().Exec("UPDATE Application SET security_policy_id = NULL");
  startup = Start();
  EXPECT_EQ(startup.verdict, "refused 2");
  EXPECT_EQ(startup.events, (Events{kStartRecord, "2,1,2,"}));
  EXPECT_EQ(startup.traces.back(), hosted::Cp936ToUtf8(test::traces::kDuplicateFound));

  // The session limit refuses without a trace of its own.
  ds().Exec("UPDATE Cuser SET RepeatLoginEnable = 0");
  startup = Start();
  EXPECT_EQ(startup.verdict, "refused 2");
  EXPECT_EQ(startup.events, (Events{kStartRecord, "2,1,2,"}));
  EXPECT_FALSE(startup.Traced(test::traces::kDuplicateCheck));
  EXPECT_FALSE(startup.Traced(test::traces::kAdmitted));
  EXPECT_EQ(startup.traces.back().substr(0, 5), "alice");  // the repeat-login setting's trace

  ds().Exec("UPDATE Cuser SET RunAppNum = 0");
  EXPECT_EQ(Start().verdict, "admitted");
}

// A lookup or a check whose own query fails ends startup where it arises, with no message;
// a record that cannot be written fails alone: every check still runs and a refusal still
// refuses.
TEST_F(StartupSequence, DatabaseFailuresOfQueriesEndStartupButFailedRecordsStopNothing) {
  // For the policy's steps: a policy that admits everyone, or one without rules.
  ds().Exec("INSERT INTO Application (App_ID, security_policy_id) VALUES ('APP00000020', 'P1'), ('APP00000021', 'P2');"
            "INSERT INTO addressgroup VALUES ('ANY', '0', '', '');"
            "INSERT INTO timegroup (TimeID, DayType) VALUES ('T', 0);"
            "INSERT INTO securitypolicy_sub (SecPID, clientname, MAC, ClientProtocol, ClientIPAddressGroupID, TimeID)"
            " VALUES ('P1', '*', '*', 1, 'ANY', 'T')");
  const std::string failTrigger =
      "CREATE TRIGGER fail_insert BEFORE INSERT ON log FOR EACH ROW IF NEW.TypeID = 2 AND NEW.EventID = ";
  const std::string failEnd = " THEN SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'refused by the test'; END IF";
  struct Case {
    const char* step;
    const char* appId;
    Fault fault;
    const char* verdict;
    Events events;
  } cases[] = {
      {"user lookup", "APP00000012",
       {Database::DS, "RENAME TABLE Cuser TO cuser_away", "RENAME TABLE cuser_away TO Cuser"}, "quiet", {}},
      {"display name lookup", "APP00000012",
       {Database::DS, "ALTER TABLE Application RENAME COLUMN Name TO Name_away",
        "ALTER TABLE Application RENAME COLUMN Name_away TO Name"},
       "quiet",
       {}},
      {"policy lookup", "APP00000012",
       {Database::DS, "ALTER TABLE Application RENAME COLUMN security_policy_id TO away",
        "ALTER TABLE Application RENAME COLUMN away TO security_policy_id"},
       "quiet",
       {kStartRecord, "2,1,2,"}},
      {"rule query", "APP00000020",
       {Database::DS, "RENAME TABLE timegroup TO timegroup_away", "RENAME TABLE timegroup_away TO timegroup"},
       "quiet",
       {kStartRecord, "2,1,2,"}},
      {"application limits", "APP00000020",
       {Database::DS, "ALTER TABLE Application RENAME COLUMN app_session_count TO away",
        "ALTER TABLE Application RENAME COLUMN away TO app_session_count"},
       "quiet",
       {kStartRecord, "2,1,2,"}},
      {"every record", "APP00000012",
       {Database::Log, "RENAME TABLE log TO log_away", "RENAME TABLE log_away TO log"}, "admitted", {}},
      {"every record of a refused session", "APP00000021",
       {Database::Log, "RENAME TABLE log TO log_away", "RENAME TABLE log_away TO log"}, "refused 2", {}},
      {"shell-check record", "APP00000012",
       {Database::Log, failTrigger + "2" + failEnd, "DROP TRIGGER fail_insert"}, "admitted", {kStartRecord}},
      {"policy refusal record", "APP00000021",
       {Database::Log, failTrigger + "1" + failEnd, "DROP TRIGGER fail_insert"}, "refused 2",
       {kStartRecord, "2,1,2,"}},
      {"identifier counter", "APP00000021",
       {Database::DS, "DELETE FROM GloabolInc; INSERT INTO GloabolInc VALUES ('Log', 'LogABC', 1, 'NULL')",
        "DELETE FROM GloabolInc"},
       "refused 2", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.step);
    const std::string program = std::string("kevshell.exe /N:") + c.appId + " /U:alice /M:00-11-22-33-44-55";
    const test::Startup startup = StartFile(SessionFile(program), &c.fault);
    EXPECT_EQ(startup.verdict, c.verdict);
    EXPECT_EQ(startup.events, c.events);
    if (std::string(c.verdict) == "quiet") {
      EXPECT_FALSE(startup.Traced(test::traces::kPolicyRefused));
      EXPECT_FALSE(startup.Traced(test::traces::kAdmitted));
      EXPECT_EQ(startup.run.lines.back()["type"], "trace");  // nothing but progress texts
    }
  }
}

}  // namespace
}  // namespace qbnotify
