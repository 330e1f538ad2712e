// The duplicate-account rule at startup: an account that may be used from one client
// computer at a time, and which running sessions count as the account's.
#include <gtest/gtest.h>

#include "AdmissionTest.h"
#include "platform/hosted/CodePage.h"

namespace qbnotify {
namespace {

using Events = std::vector<std::string>;

// A UTF-8 text as an SQL literal of its code-page-936 bytes.
std::string Literal(const std::string& utf8) {
  const std::string bytes = hosted::Utf8ToCp936(utf8).value();
  std::string literal = "X'";
  for (unsigned char byte : bytes) {
    literal += "0123456789ABCDEF"[byte >> 4];
    literal += "0123456789ABCDEF"[byte & 15];
  }
  return literal + "'";
}

class DuplicateAccount : public test::AdmissionTest {
 protected:
  // A running session of our protocol.
  void AddRunning(const std::string& initialProgram, const std::string& clientName) {
    dc().Exec("INSERT INTO dc_sessionload (InitAppName, ClientName, StationName) VALUES (" + Literal(initialProgram) +
              ", '" + clientName + "', 'KEV-Tcp#1')");
  }
};

TEST_F(DuplicateAccount, RefusesASecondClientOnlyWhenTheAccountForbidsIt) {
  struct Case {
    const char* setting;  // RepeatLoginEnable of alice; nullptr: alice has no row
    const char* runningOn;  // the client computer of alice's running session, if any
    bool checked;
    bool refused;
  } cases[] = {
      {"1", "PC-B", true, true},
      {"1", "PC-A", true, false},  // the same computer may run several sessions
      {"1", nullptr, true, false},
      {"0", "PC-B", false, false},
      {"2", "PC-B", false, false},
      {"NULL", "PC-B", false, false},
      {nullptr, "PC-B", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.setting ? c.setting : "no row") << " " << (c.runningOn ? c.runningOn : "-"));
    ClearTables();
    if (c.setting) ds().Exec(std::string("UPDATE Cuser SET RepeatLoginEnable = ") + c.setting);
    else ds().Exec("DELETE FROM Cuser");
    if (c.runningOn) AddRunning("kevshell.exe /N:APP00000012 /U:alice", c.runningOn);
    const test::Startup startup = Start();
    EXPECT_EQ(startup.verdict, c.refused ? "refused 2" : "admitted");
    EXPECT_EQ(startup.Traced(test::traces::kDuplicateCheck), c.checked);
    EXPECT_EQ(startup.Traced(test::traces::kDuplicateFound), c.refused);
    // The rule writes no record of its own.
    EXPECT_EQ(startup.events.size(), 2u);
  }
}

TEST_F(DuplicateAccount, ASessionCountsOnlyWhenItsUserSwitchIsTheName) {
  struct Case {
    const char* user;     // the new session's "/U:" switch
    const char* running;  // the initial program of a session running on PC-B
    bool refused;
  } cases[] = {
      {"alice", "kevshell.exe /N:APP1 /U:alice", true},
      {"al", "kevshell.exe /N:APP1 /U:alice", false},
      {"alice", "kevshell.exe /N:APP1 /U:al", false},
      {"alice", "kevshell.exe /N:alice /U:bob", false},
      {"alice", "kevshell.exe /N:APP1 /U:ALICE", true},
      {"ALICE", "kevshell.exe /N:APP1 /u:alice", true},
      {"a%", "kevshell.exe /U:abc", false},
      {"a%", "kevshell.exe /U:a%", true},
      {"a_c", "kevshell.exe /U:abc", false},
      {"a_c", "kevshell.exe /U:a_c", true},
      {"a\\c", "kevshell.exe /U:a\\c", true},
      {"\"Ann Lee\"", "kevshell.exe /U:\"Ann Lee\" /N:APP1", true},
      {"\"Ann Lee\"", "kevshell.exe \"/U:Ann Lee\"", true},
      {"\"Ann Lee\"", "kevshell.exe /U:Ann", false},
      {"Ann", "kevshell.exe /U:\"Ann Lee\"", false},
      // Names whose double-byte characters end in the bytes of "\" and "_" (乗 81 5C, 乢 81 5F).
      {"\xE4\xB9\x97", "kevshell.exe /U:\xE4\xB9\x97", true},
      {"\xE4\xB9\xA2", "kevshell.exe /U:\xE4\xB9\xA2", true},
      {"\xE4\xB9\xA2\xE4\xB9\x97", "kevshell.exe /U:\xE4\xB9\xA2\xE4\xB9\x97", true},
      {"\xE5\xBC\xA0\xE4\xBC\x9F", "kevshell.exe /U:\xE5\xBC\xA0\xE4\xBC\x9F", true},  // 张伟
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.user) + " against " + c.running);
    ClearTables();
    // The name as the switch reads it: without the quotes.
    std::string name = c.user;
    std::erase(name, '"');
    ds().Exec("DELETE FROM Cuser; INSERT INTO Cuser (User_ID, name, RepeatLoginEnable) VALUES ('U002', " +
              Literal(name) + ", 1)");
    AddRunning(c.running, "PC-B");
    const test::Startup startup = Start(std::string("kevshell.exe /N:desk /U:") + c.user);
    EXPECT_EQ(startup.verdict, c.refused ? "refused 2" : "admitted");
    EXPECT_TRUE(startup.Traced(test::traces::kDuplicateCheck));
  }
}

TEST_F(DuplicateAccount, AFailingQueryAdmits) {
  ds().Exec("UPDATE Cuser SET RepeatLoginEnable = 1");
  AddRunning("kevshell.exe /N:APP00000012 /U:alice", "PC-B");
  const test::Fault faults[] = {
      {test::Database::DS, "ALTER TABLE Cuser RENAME COLUMN RepeatLoginEnable TO away",
       "ALTER TABLE Cuser RENAME COLUMN away TO RepeatLoginEnable"},
      {test::Database::DC, "RENAME TABLE dc_sessionload TO dc_sessionload_away",
       "RENAME TABLE dc_sessionload_away TO dc_sessionload"},
  };
  for (const test::Fault& fault : faults) {
    SCOPED_TRACE(fault.breakSql);
    // "desk" skips the application's limits, which do not survive a broken DC.
    const test::Startup startup = StartFile(SessionFile("kevshell.exe /N:desk /U:alice"), &fault);
    EXPECT_EQ(startup.verdict, "admitted");
    EXPECT_FALSE(startup.Traced(test::traces::kDuplicateFound));
  }
  EXPECT_EQ(Start("kevshell.exe /N:desk /U:alice").verdict, "refused 2");  // mended
}

}  // namespace
}  // namespace qbnotify
