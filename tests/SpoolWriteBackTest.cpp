// Spooled rows written back to a real server through the library's connections.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "TestDatabase.h"
#include "store/EventLog.h"
#include "store/spool/SpoolWriteBack.h"

namespace qbnotify {
namespace {

using Rows = std::vector<std::vector<std::string>>;

// What these tests show rests on the unique key on log.ID and appshenji.logid: the minimal
// schema has none, and there a row sent again is stored twice (the doctor says so).
constexpr const char* kNeedsKey = "needs the key on the identifier, which the minimal schema lacks";

class SpoolWriteBackTest : public test::DatabaseTest {
 protected:
  void SetUp() override {
    test::DatabaseTest::SetUp();
    if (IsSkipped()) return;
    platform_ = std::make_unique<hosted::HostedPlatform>(Session());
    spool_ = std::make_unique<Spool>(*platform_, *SpoolDirectory(*platform_), SpoolSettings{});
  }

  static EventRow Event(const std::string& user, DateTime time) {
    EventRow row;
    row.time = time;
    row.typeId = 2;
    row.sourceId = 1;
    row.userId = user;
    row.appId = "APP1";
    row.computerName = "PC-A";
    row.eventId = 4;
    return row;
  }

  std::unique_ptr<hosted::HostedPlatform> platform_;
  std::unique_ptr<Spool> spool_;
};

TEST_F(SpoolWriteBackTest, RowsReachTheirTablesOnceWithTheirOwnTimes) {
  if (test::MinimalSchema()) GTEST_SKIP() << kNeedsKey;
  log().Exec(
      "INSERT INTO log (ID,Time,TypeID,SourceID,UserID,AppID,ComputerName,EventID) "
      "VALUES ('Log00000500','2026-12-07 08:00:00',2,1,'U-landed','APP1','PC-A',4)");
  EventRow landed = Event("U-landed", DateTime{2026, 12, 7, 8, 0, 0});
  landed.id = "Log00000500";  // its insert landed before the connection was lost
  AuditRow audit;
  audit.record = AuditRecord{"S1", "\xD5\xC5\xCE\xB0", "APP1", "Desk", "00-11", DateTime{2026, 12, 7, 8, 30, 0}, {}};
  for (const SpooledRow& row : {SpooledRow(Event("U1", DateTime{2026, 12, 7, 8, 15, 0})), SpooledRow(landed),
                                SpooledRow(audit), SpooledRow(Event(std::string(300, 'u'), DateTime{2026, 12, 7, 9, 0, 0}))})
    ASSERT_EQ(spool_->Add(row), SpoolAddResult::Spooled);

  Connections connections;
  ASSERT_TRUE(OpenConnections(*platform_, connections));
  const DrainReport report = spool_->Drain(SpoolWriteBack(connections), std::nullopt);
  EXPECT_EQ(report.written, 2u);
  EXPECT_EQ(report.alreadyWritten, 1u);
  EXPECT_EQ(report.refused, 1u);  // a user identifier longer than its column

  EXPECT_EQ(log().Rows("select ID, Time, UserID, EventID from log order by Time"),
            (Rows{{"Log00000500", "2026-12-07 08:00:00", "U-landed", "4"},
                  {"Log00000001", "2026-12-07 08:15:00", "U1", "4"}}));
  EXPECT_EQ(log().Rows("select logid, farmuser, starttime, stoptime from appshenji"),
            (Rows{{"lap00000001", "\xD5\xC5\xCE\xB0", "2026-12-07 08:30:00", "0000-00-00 00:00:00"}}));
  const SpoolState state = spool_->State();
  EXPECT_EQ(state.rowsWaiting, 0u);
  EXPECT_EQ(state.refused, 1u);
  EXPECT_EQ(state.refusedAside, 1u);
}

// A batch is taken whole or not at all: one taken key refuses every row of it.
TEST_F(SpoolWriteBackTest, ABatchInsertIsTakenWholeOrNotAtAll) {
  if (test::MinimalSchema()) GTEST_SKIP() << kNeedsKey;
  EventRow first, second;
  first.id = "Log00000001";
  first.time = second.time = DateTime{2026, 12, 7, 10, 0, 0};
  first.parameter1 = "\xD6\xD0 first";
  second.id = "Log00000002";
  second.parameter1 = "second";
  Connections connections;
  ASSERT_TRUE(OpenConnections(*platform_, connections));
  InsertEventRows(connections, {&first});
  EXPECT_THROW(InsertEventRows(connections, {&second, &first}), DatabaseError);
  EXPECT_EQ(log().Scalar("select count(*) from log"), "1");
  second.id = "Log00000003";
  EventRow third = second;
  third.id = "Log00000004";
  InsertEventRows(connections, {&second, &third});
  EXPECT_EQ(log().Scalar("select group_concat(ID order by ID) from log"), "Log00000001,Log00000003,Log00000004");
  EXPECT_EQ(log().Scalar("select hex(Parameter1) from log where ID='Log00000001'"), "D6D0206669727374");
}

TEST_F(SpoolWriteBackTest, AnUnreachableServerLeavesEveryRowWaiting) {
  ASSERT_EQ(spool_->Add(Event("U1", DateTime{2026, 12, 7, 8, 15, 0})), SpoolAddResult::Spooled);
  Connections refused;
  for (auto* slot : {&refused.DS, &refused.DC, &refused.Log}) {
    *slot = std::make_unique<Connection>("X");
    (*slot)->host = "127.0.0.1";
    (*slot)->port = 1;  // nothing listens: the connect is refused at once
  }
  DrainReport report = spool_->Drain(SpoolWriteBack(refused), std::nullopt);
  EXPECT_TRUE(report.serverUnavailable);
  EXPECT_EQ(spool_->State().rowsWaiting, 1u);

  Connections released;  // after logoff: no connections at all
  report = spool_->Drain(SpoolWriteBack(released), std::nullopt);
  EXPECT_TRUE(report.serverUnavailable);
  EXPECT_EQ(spool_->State().rowsWaiting, 1u);

  Connections connections;
  ASSERT_TRUE(OpenConnections(*platform_, connections));
  report = spool_->Drain(SpoolWriteBack(connections), std::nullopt);
  EXPECT_EQ(report.written, 1u);
  EXPECT_EQ(log().Scalar("select count(*) from log"), "1");
}

// An install with no Data folder yet (so no settings file either): a handler's row is kept
// all the same, in Data\Spool made private at both levels, and written back once the
// settings are in place.
TEST_F(SpoolWriteBackTest, RowsAreKeptWithoutADataFolderAndWrittenBackOnceTheSettingsExist) {
  namespace fs = std::filesystem;
  const fs::path data = installPath() / "Data";
  const fs::path settings = data / "CONFIG" / "TavDbCnn.dat";
  std::ifstream in(settings, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(text.empty());
  fs::remove_all(data);

  Connections none;  // the settings cannot be read: nothing opens, and no server is tried
  EXPECT_FALSE(OpenConnections(*platform_, none));
  EXPECT_NO_THROW(WriteEvent(*platform_, none, 2, 1, 4, "U-kept", "APP1", "PC-A", "", ""));
  for (const fs::path& made : {data, data / "Spool"})
    EXPECT_EQ(fs::status(made).permissions() & fs::perms::all, fs::perms::owner_all) << made;
  EXPECT_EQ(spool_->State().rowsWaiting, 1u);

  fs::create_directories(data / "CONFIG");
  std::ofstream(settings, std::ios::binary) << text;
  Connections connections;
  ASSERT_TRUE(OpenConnections(*platform_, connections));
  EXPECT_EQ(spool_->Drain(SpoolWriteBack(connections), std::nullopt).written, 1u);
  EXPECT_EQ(log().Scalar("select UserID from log"), "U-kept");
  EXPECT_EQ(spool_->State().rowsWaiting, 0u);
}

// What a handler does with a row whose write failed, and with the spool afterwards.
TEST_F(SpoolWriteBackTest, HandlersKeepRowsOfAnUnavailableServerAndCountRefusedOnes) {
  const EventRow row = Event("U1", DateTime{2026, 12, 7, 8, 15, 0});
  EXPECT_EQ(KeepRow(*platform_, row, DatabaseError("gone", 2013, true)), SpoolAddResult::Spooled);
  EXPECT_EQ(KeepRow(*platform_, row, DatabaseError("too long", 1406, false)), SpoolAddResult::Dropped);
  SpoolState state = spool_->State();
  EXPECT_EQ(state.rowsWaiting, 1u);
  EXPECT_EQ(state.refused, 1u);

  Connections connections;
  ASSERT_TRUE(OpenConnections(*platform_, connections));
  test::WriteSettingsFile(installPath(), test::SettingsText(server()) + "[Spool]\r\nDrainBudgetMs=0\r\n");
  for (std::size_t n = 0; n < kBudgetedBatchRows + 1; ++n) KeepRow(*platform_, row, DatabaseError("gone", 2013, true));
  DrainReport report = WriteBackSpool(*platform_, connections);
  EXPECT_EQ(report.written, kBudgetedBatchRows);  // no time budget left: one batch per handler
  EXPECT_TRUE(report.outOfTime);
  report = WriteBackSpool(*platform_, connections, false);
  EXPECT_EQ(report.written, 2u);
  EXPECT_EQ(log().Scalar("select count(*) from log where Time='2026-12-07 08:15:00'"),
            std::to_string(kBudgetedBatchRows + 2));
  EXPECT_EQ(WriteBackSpool(*platform_, connections).written, 0u);
}

// A duplicate key proves nothing alone: a kept row whose identifier another row took (the
// counter restarted) is written under a new identifier; only the same row in every column
// counts as written before.
TEST_F(SpoolWriteBackTest, AKeptRowIsAlreadyWrittenOnlyWhenEveryColumnMatches) {
  if (test::MinimalSchema()) GTEST_SKIP() << kNeedsKey;
  struct Case {
    const char* name;
    const char* stored;  // the values of the row under Log00000004
    bool alreadyWritten;
  } cases[] = {
      {"same row", "'Log00000004','2026-12-07 08:00:00',2,1,'U1','APP1','PC-A',4,'p1','p2'", true},
      {"another time", "'Log00000004','2026-12-07 08:00:01',2,1,'U1','APP1','PC-A',4,'p1','p2'", false},
      {"another type", "'Log00000004','2026-12-07 08:00:00',3,1,'U1','APP1','PC-A',4,'p1','p2'", false},
      {"another user", "'Log00000004','2026-12-07 08:00:00',2,1,'u1','APP1','PC-A',4,'p1','p2'", false},
      {"another event", "'Log00000004','2026-12-07 08:00:00',2,1,'U1','APP1','PC-A',5,'p1','p2'", false},
      {"last column", "'Log00000004','2026-12-07 08:00:00',2,1,'U1','APP1','PC-A',4,'p1','p2 '", false},
      {"key in other case", "'log00000004','2026-12-07 08:00:00',2,1,'U1','APP1','PC-A',4,'p1','p2'", false},
  };
  Connections connections;
  ASSERT_TRUE(OpenConnections(*platform_, connections));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log().Exec("delete from log");
    ds().Exec("delete from GloabolInc where Head='Log'");  // the counter restarted
    log().Exec(std::string("INSERT INTO log (ID,Time,TypeID,SourceID,UserID,AppID,ComputerName,EventID,Parameter1,"
                           "Parameter2) VALUES (") + c.stored + ")");
    EventRow kept = Event("U1", DateTime{2026, 12, 7, 8, 0, 0});
    kept.id = "Log00000004";
    kept.parameter1 = "p1";
    kept.parameter2 = "p2";
    ASSERT_EQ(spool_->Add(kept), SpoolAddResult::Spooled);
    const DrainReport report = spool_->Drain(SpoolWriteBack(connections), std::nullopt);
    EXPECT_EQ(report.alreadyWritten, c.alreadyWritten ? 1u : 0u);
    EXPECT_EQ(report.written, c.alreadyWritten ? 0u : 1u);
    EXPECT_EQ(spool_->State().rowsWaiting, 0u);
    EXPECT_EQ(log().Scalar("select count(*) from log"), c.alreadyWritten ? "1" : "2");
    if (!c.alreadyWritten) {
      EXPECT_EQ(log().Scalar("select ID from log where Time='2026-12-07 08:00:00' and TypeID=2 and UserID='U1' and "
                             "EventID=4 and Parameter2='p2'"),
                "Log00000001");
    }
  }
}

// In the other order: rows written back earlier hold the identifiers that a restarted counter
// hands out again; a new row and a new audit row draw until they find a free one.
TEST_F(SpoolWriteBackTest, AFirstWriteThatMeetsATakenIdentifierDrawsANewOne) {
  if (test::MinimalSchema()) GTEST_SKIP() << kNeedsKey;
  log().Exec("INSERT INTO log (ID,Time,TypeID,SourceID,EventID) VALUES ('Log00000001','2026-12-06 08:00:00',2,1,3),"
             "('Log00000002','2026-12-06 08:00:00',2,1,3)");
  log().Exec("INSERT INTO appshenji (logid,sessionid,starttime,stoptime) VALUES "
             "('lap00000001','S0','2026-12-06 08:00:00','2026-12-06 09:00:00')");
  ds().Exec("delete from GloabolInc where Head in ('Log','lap')");
  Connections connections;
  ASSERT_TRUE(OpenConnections(*platform_, connections));
  WriteEvent(*platform_, connections, 2, 1, 4, "U1", "APP1", "PC-A", "", "");
  std::string auditId = "old";
  WriteAudit(*platform_, connections, auditId, AuditRecord{"S1", "bob", "APP1", "Desk", "00-11", {2026, 12, 7, 8, 0, 0}, {}});
  EXPECT_EQ(auditId, "lap00000002");
  EXPECT_EQ(log().Rows("select ID, UserID, EventID from log order by ID"),
            (Rows{{"Log00000001", "", "3"}, {"Log00000002", "", "3"}, {"Log00000003", "U1", "4"}}));
  EXPECT_EQ(log().Rows("select logid, sessionid from appshenji order by logid"),
            (Rows{{"lap00000001", "S0"}, {"lap00000002", "S1"}}));
  EXPECT_EQ(spool_->State().rowsWaiting, 0u);
  EXPECT_EQ(spool_->State().refused, 0u);
}

// An insert that waits for a lock until the server gives up (1205) is tried again within the
// retries' time, then kept, and written back once the lock is gone.
TEST_F(SpoolWriteBackTest, AnInsertThatMeetsALockWaitTimeOutIsKeptNotLost) {
  if (test::MinimalSchema()) GTEST_SKIP() << kNeedsKey;
  log().Exec("SET GLOBAL innodb_lock_wait_timeout=1");
  test::AdminConnection holder(server().log);
  holder.Exec("START TRANSACTION");
  holder.Exec("INSERT INTO log (ID,Time,TypeID,SourceID,EventID) VALUES ('Log00000001','2026-12-06 08:00:00',2,1,3)");
  Connections connections;
  ASSERT_TRUE(OpenConnections(*platform_, connections));
  WriteEvent(*platform_, connections, 2, 1, 4, "U1", "APP1", "PC-A", "", "");
  holder.Exec("ROLLBACK");
  log().Exec("SET GLOBAL innodb_lock_wait_timeout=50");
  EXPECT_EQ(log().Scalar("select count(*) from log"), "0");
  EXPECT_EQ(spool_->State().rowsWaiting, 1u);
  EXPECT_EQ(WriteBackSpool(*platform_, connections).written, 1u);
  EXPECT_EQ(log().Rows("select ID, UserID from log"), (Rows{{"Log00000001", "U1"}}));
}

TEST(ClassifyInsertFailure, OnlyTheRowsOwnContentMakesItWorthlessToKeep) {
  struct Case {
    unsigned code;
    bool serverUnavailable;
    InsertOutcome expected;
  } cases[] = {
      {1062, false, InsertOutcome::KeyTaken},        // another row holds the key
      {1062, true, InsertOutcome::Unavailable},      // every new identifier taken: kept
      {1213, true, InsertOutcome::Unavailable},      // deadlock past its retries
      {1205, false, InsertOutcome::Unavailable},     // lock wait timed out
      {1180, false, InsertOutcome::Unavailable},     // commit failed on a cluster node
      {1317, false, InsertOutcome::Unavailable},     // interrupted
      {1047, true, InsertOutcome::Unavailable},      // cluster node not ready
      {1406, false, InsertOutcome::Refused},         // data too long
      {1366, false, InsertOutcome::Refused},         // not a valid text for the column
      {1292, false, InsertOutcome::Refused},         // not a valid date
      {1264, false, InsertOutcome::Refused},         // out of range
      {1048, false, InsertOutcome::Refused},         // NULL
      {2003, true, InsertOutcome::Unavailable},      // cannot connect
      {2013, true, InsertOutcome::Unavailable},      // lost during the query
      {1290, true, InsertOutcome::Unavailable},      // read-only
      {0, true, InsertOutcome::Unavailable},         // given up earlier in the handler
      {0, false, InsertOutcome::Unavailable},        // no connection at all
      {1142, false, InsertOutcome::Declined},        // INSERT revoked
      {1644, false, InsertOutcome::Declined},        // a trigger's SIGNAL
      {1146, false, InsertOutcome::Declined},        // no such table
  };
  for (const Case& c : cases)
    EXPECT_EQ(ClassifyInsertFailure(DatabaseError("x", c.code, c.serverUnavailable)), c.expected) << c.code;
}

}  // namespace
}  // namespace qbnotify
