// The library's account under the role qbnotify_library (db/grants.sql): the server itself
// refuses what a user holding the account's password might try, and what the library does
// stays allowed.
#include <gtest/gtest.h>

#include <mysqld_error.h>

#include "TestDatabase.h"

namespace qbnotify {
namespace {

class RoleTest : public test::DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    if (IsSkipped()) return;
    ds().Exec("INSERT INTO Application (App_ID, Name, security_policy_id) VALUES ('APP00000012', 'Reports', 'SP1');"
              "INSERT INTO securitypolicy_sub (SecPID, SortID, clientname, MAC, ClientProtocol, ClientIPAddressGroupID, "
              "TimeID, Action) VALUES ('SP1', 1, '*', '*', 0, 'G1', 'T1', 1);"
              "INSERT INTO Cuser (User_ID, name) VALUES ('U1', 'bob');"
              "INSERT INTO GloabolInc (Head, ID) VALUES ('Log', 'Log00000007')");
    log().Exec("INSERT INTO log (ID, Time, TypeID, SourceID, EventID) VALUES ('Log00000007', NOW(), 1, 1, 1);"
               "INSERT INTO appshenji (logid, starttime, stoptime) VALUES ('lap00000003', NOW(), NOW())");
  }
  // Every table's rows as the administrator reads them, to show that nothing changed.
  std::string Everything() {
    std::string text;
    for (const char* table : {"Application", "securitypolicy_sub", "addressgroup", "timegroup", "Cuser", "GloabolInc"})
      for (const auto& row : ds().Rows(std::string("SELECT * FROM ") + table))
        for (const auto& cell : row) text += cell + "|";
    for (const char* table : {"log", "appshenji"})
      for (const auto& row : log().Rows(std::string("SELECT * FROM ") + table))
        for (const auto& cell : row) text += cell + "|";
    for (const auto& row : dc().Rows("SELECT * FROM dc_sessionload"))
      for (const auto& cell : row) text += cell + "|";
    return text;
  }
};

TEST_F(RoleTest, TheServerRefusesEveryChangeToRulesRecordsAndApplications) {
  struct Attempt {
    const char* database;  // "ds", "dc" or "log"
    const char* sql;
  };
  const Attempt attempts[] = {
      // Every application admitted, or its policy changed.
      {"ds", "UPDATE Application SET security_policy_id = NULL"},
      {"ds", "INSERT INTO Application (App_ID, Name) VALUES ('APP99', 'mine')"},
      {"ds", "DELETE FROM Application"},
      // The rules rewritten.
      {"ds", "UPDATE securitypolicy_sub SET Action = 0"},
      {"ds", "DELETE FROM securitypolicy_sub"},
      {"ds", "INSERT INTO securitypolicy_sub (SecPID, SortID, clientname, MAC, ClientProtocol, ClientIPAddressGroupID, "
             "TimeID, Action) VALUES ('SP1', 0, '*', '*', 0, 'G1', 'T1', 0)"},
      {"ds", "UPDATE addressgroup SET AddressType = '0'"},
      {"ds", "INSERT INTO timegroup (TimeID) VALUES ('T9')"},
      {"ds", "UPDATE Cuser SET RunAppNum = 0"},
      {"ds", "DELETE FROM Cuser"},
      // The counters: only ID advances, and no row goes.
      {"ds", "UPDATE GloabolInc SET Head = 'Lag'"},
      {"ds", "DELETE FROM GloabolInc"},
      // The event log and the audit: rows are only added.
      {"log", "DELETE FROM log"},
      {"log", "UPDATE log SET EventID = 2"},
      {"log", "DELETE FROM appshenji"},
      {"log", "UPDATE appshenji SET stoptime = NOW()"},
      {"log", "TRUNCATE TABLE log"},
      {"log", "DROP TABLE appshenji"},
      // The session-load table and everything else.
      {"dc", "DELETE FROM dc_sessionload"},
      {"dc", "INSERT INTO dc_sessionload (InitAppName) VALUES ('x')"},
      {"ds", "CREATE TABLE mine (a INT)"},
      {"ds", "SELECT * FROM mysql.user"},
  };
  const std::string before = Everything();
  for (const Attempt& attempt : attempts) {
    SCOPED_TRACE(attempt.sql);
    const std::string database = std::string(attempt.database) == "ds"   ? server().ds
                                 : std::string(attempt.database) == "dc" ? server().dc
                                                                         : server().log;
    auto connection = test::LibraryConnection(server(), database);
    connection->Open();
    try {
      connection->Query(attempt.sql);
      ADD_FAILURE() << "the server allowed it";
    } catch (const DatabaseError& error) {
      EXPECT_TRUE(error.Code() == ER_TABLEACCESS_DENIED_ERROR || error.Code() == ER_COLUMNACCESS_DENIED_ERROR ||
                  error.Code() == ER_DBACCESS_DENIED_ERROR)
          << error.Code() << " " << error.what();
    }
  }
  EXPECT_EQ(Everything(), before);
}

// The reader (qbnotify-report, qbnotify-explain) reads and writes nothing.
TEST_F(RoleTest, TheReaderReadsAndChangesNothing) {
  const struct {
    std::string database;
    const char* sql;
    bool allowed;
  } attempts[] = {
      {server().log, "SELECT COUNT(*) FROM log", true},
      {server().log, "SELECT COUNT(*) FROM appshenji", true},
      {server().ds, "SELECT * FROM Cuser", true},
      {server().dc, "SELECT COUNT(*) FROM dc_sessionload", true},
      {server().log, "INSERT INTO log (ID, Time, TypeID, SourceID, EventID) VALUES ('Log9', NOW(), 1, 1, 1)", false},
      {server().log, "DELETE FROM appshenji", false},
      {server().ds, "UPDATE Application SET security_policy_id = NULL", false},
      {server().ds, "UPDATE GloabolInc SET ID = 'Log00000001'", false},
  };
  const std::string before = Everything();
  for (const auto& attempt : attempts) {
    SCOPED_TRACE(attempt.sql);
    auto connection = test::LibraryConnection(server(), attempt.database);
    connection->user = server().reader;
    connection->password = server().readerPassword;
    connection->Open();
    try {
      connection->Query(attempt.sql);
      EXPECT_TRUE(attempt.allowed) << "the server allowed it";
    } catch (const DatabaseError& error) {
      EXPECT_FALSE(attempt.allowed) << error.what();
      EXPECT_EQ(error.Code(), ER_TABLEACCESS_DENIED_ERROR) << error.what();
    }
  }
  EXPECT_EQ(Everything(), before);
}

}  // namespace
}  // namespace qbnotify
