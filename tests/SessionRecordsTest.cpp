// What a session of our protocol leaves in the database, and how the handlers behave when
// the database or its settings are broken.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>

#include "HostRunner.h"
#include "TestDatabase.h"
#include "environment/ConnectionSettings.h"
#include "notify/QBNotifyMain.h"
#include "store/spool/Spool.h"

namespace qbnotify {
namespace {

using Rows = std::vector<std::vector<std::string>>;

class SessionRecordsTest : public test::DatabaseTest {
 protected:
  // A session that every check admits with empty tables: its application never goes to the
  // security policy, its user has no limits.
  hosted::Session Admitted(const std::string& switches = "/N:desk /U:alice /M:00-11-22-33-44-55 /E:S0001") {
    hosted::Session session = Session("\"C:\\TAV\\kevshell.exe\" " + switches);
    session.clock = DateTime{2026, 12, 7, 9, 0, 0};
    return session;
  }
  Rows Events() {
    return log().Rows("select ID, Time, TypeID, SourceID, EventID, UserID, AppID, ComputerName, Parameter1, Parameter2 "
                      "from log order by ID");
  }
  Rows Audits() {
    return log().Rows("select logid, sessionid, farmuser, appid, appshowname, clientmac, starttime, stoptime "
                      "from appshenji order by logid");
  }
  std::vector<std::string> Codes(const Rows& events) {
    std::vector<std::string> codes;
    for (const auto& row : events) codes.push_back(row[2] + row[3] + row[4]);
    return codes;
  }
  // Ends every connection the library's account holds, as a server restart would.
  void KillLibraryConnections() {
    for (const auto& row : ds().Rows("select id from information_schema.processlist where user='" + server().user + "'"))
      ds().KillConnection(row[0]);
  }
};

TEST_F(SessionRecordsTest, AWholeSessionLeavesItsEventsAndAuditRows) {
  ds().Exec("INSERT INTO Cuser (User_ID, name) VALUES ('U0001', 'alice')");
  hosted::HostedPlatform platform(Admitted());
  Instance instance(platform);
  Play(instance, {HandleStartup, HandleLogon, HandleStartShell, HandleDisconnect, HandleReconnect, HandleLogoff});

  const Rows events = Events();
  EXPECT_EQ(Codes(events), (std::vector<std::string>{"112", "212", "213", "214", "215", "216"}));
  const Rows expectedStart = {
      {"Log00000001", "2026-12-07 09:00:00", "1", "1", "2", "U0001", "desk", "PC-A", "00-11-22-33-44-55", ""}};
  EXPECT_EQ(Rows(events.begin(), events.begin() + 1), expectedStart);
  for (std::size_t i = 1; i < events.size(); ++i) {
    EXPECT_EQ(events[i][5], "U0001");
    EXPECT_EQ(events[i][8], "");  // Parameter1 only on the startup record
    EXPECT_EQ(events[i][9], "");
  }
  EXPECT_EQ(events[2][1], "2026-12-07 09:01:00");  // logon's own time

  // Each call inserts: logon, disconnect, reconnect, logoff, with their start and stop times.
  const Rows expectedAudit = {
      {"lap00000001", "S0001", "alice", "desk", "", "00-11-22-33-44-55", "2026-12-07 09:01:00", "0000-00-00 00:00:00"},
      {"lap00000002", "S0001", "alice", "desk", "", "00-11-22-33-44-55", "2026-12-07 09:01:00", "2026-12-07 09:03:00"},
      {"lap00000003", "S0001", "alice", "desk", "", "00-11-22-33-44-55", "2026-12-07 09:04:00", "2026-12-07 09:03:00"},
      {"lap00000004", "S0001", "alice", "desk", "", "00-11-22-33-44-55", "2026-12-07 09:04:00", "2026-12-07 09:05:00"},
  };
  EXPECT_EQ(Audits(), expectedAudit);
  EXPECT_EQ(instance.context.AuditRowId, "lap00000004");
}

// While the server is read-only its rows wait in the local spool; the first handler that
// finds it writable again writes them back, each once, with the times of their events.
TEST_F(SessionRecordsTest, RowsOfAReadOnlyServerAreKeptAndWrittenBackOnceWithTheirOwnTimes) {
  hosted::HostedPlatform platform(Admitted());
  Instance instance(platform);
  Play(instance, {HandleStartup, HandleLogon});
  ds().Exec("SET GLOBAL read_only = 1");
  Play(instance, {HandleDisconnect, HandleReconnect});
  ds().Exec("SET GLOBAL read_only = 0");
  EXPECT_EQ(Codes(Events()), (std::vector<std::string>{"112", "212", "213"}));
  Play(instance, {HandleLogoff});

  const Rows events = Events();
  std::vector<std::string> seen;
  for (const auto& row : events) seen.push_back(row[4] + " " + row[1]);
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{"2 2026-12-07 09:00:00", "2 2026-12-07 09:00:00", "3 2026-12-07 09:01:00",
                                            "4 2026-12-07 09:02:00", "5 2026-12-07 09:03:00", "6 2026-12-07 09:04:00"}));
  std::set<std::string> ids;
  for (const auto& row : events) EXPECT_TRUE(ids.insert(row[0]).second) << row[0];
  std::vector<std::string> times;
  for (const auto& row : Audits()) times.push_back(row[6] + " " + row[7]);
  std::sort(times.begin(), times.end());
  EXPECT_EQ(times, (std::vector<std::string>{
                       "2026-12-07 09:01:00 0000-00-00 00:00:00", "2026-12-07 09:01:00 2026-12-07 09:02:00",
                       "2026-12-07 09:03:00 2026-12-07 09:02:00", "2026-12-07 09:03:00 2026-12-07 09:04:00"}));
  // Nothing waits any more.
  std::optional<Spool> spool = Spool::Locate(platform);
  ASSERT_TRUE(spool);
  EXPECT_FALSE(spool->HasWaitingRows());
}

TEST_F(SessionRecordsTest, LongSwitchValuesAreCutOnlyInTheAudit) {
  const std::string appId = "DESK00000012X";         // 13 bytes: 11 in the audit
  const std::string mac = std::string(60, 'M');      // 60 bytes: 50 in the audit
  const std::string sessionId = "S000000000\xD5\xC5";  // the 11-byte cut halves a double-byte character
  ds().Exec("INSERT INTO Application (App_ID, Name) VALUES ('DESK0000001', REPEAT('N', 300)), ('" + appId + "', 'whole')");
  hosted::HostedPlatform platform(Admitted("/N:" + appId + " /U:bob /M:" + mac + " /E:" + sessionId));
  Instance instance(platform);
  Play(instance, {HandleStartup, HandleLogon});

  const Rows events = Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0][6], appId);
  EXPECT_EQ(events[0][8], mac);
  const Rows audits = Audits();
  ASSERT_EQ(audits.size(), 1u);
  EXPECT_EQ(audits[0][1], "S000000000\xD5");
  EXPECT_EQ(audits[0][3], "DESK0000001");
  EXPECT_EQ(audits[0][4], std::string(255, 'N'));  // looked up by the cut identifier, cut to 255
  EXPECT_EQ(audits[0][5], std::string(50, 'M'));
}

TEST_F(SessionRecordsTest, UnknownUserAndApplicationGiveEmptyValues) {
  hosted::HostedPlatform platform(Admitted("/N:desk /U:nobody"));
  Instance instance(platform);
  Play(instance, {HandleStartup, HandleLogon});
  const Rows events = Events();
  ASSERT_EQ(events.size(), 3u);
  for (const auto& row : events) EXPECT_EQ(row[5], "");
  EXPECT_EQ(Audits().at(0)[4], "");
}

TEST_F(SessionRecordsTest, LogoffReleasesDsAndDcAndLaterHandlersLeaveThemAlone) {
  hosted::HostedPlatform platform(Admitted());
  Instance instance(platform);
  Play(instance, {HandleStartup, HandleLogoff});
  EXPECT_EQ(instance.connections.DS, nullptr);
  EXPECT_EQ(instance.connections.DC, nullptr);
  ASSERT_NE(instance.connections.Log, nullptr);
  EXPECT_TRUE(instance.connections.Log->IsOpen());

  const std::size_t rows = Events().size();
  platform.ClearEffects();
  Play(instance, {HandleLogon, HandleReconnect, HandleDisconnect, HandleLogoff});
  EXPECT_EQ(Events().size(), rows);
  EXPECT_EQ(Audits().size(), 1u);
  std::size_t messages = 0;
  for (const auto& effect : platform.Effects()) messages += std::holds_alternative<hosted::ChannelWrite>(effect);
  EXPECT_EQ(messages, 3u);  // logon, reconnect, logoff still tell the client
}

TEST_F(SessionRecordsTest, AnAuditThatCannotBeWrittenStopsNothing) {
  hosted::HostedPlatform platform(Admitted());
  Instance instance(platform);
  Play(instance, {HandleStartup});
  log().Exec("RENAME TABLE appshenji TO appshenji_away");
  Play(instance, {HandleLogon});
  log().Exec("RENAME TABLE appshenji_away TO appshenji");
  EXPECT_EQ(Codes(Events()).back(), "213");
  EXPECT_TRUE(Audits().empty());
  EXPECT_EQ(instance.context.AuditRowId, "lap00000001");  // drawn, though no row carries it

  // The reconnect goes on to restore the windows after its audit row.
  platform.State().windows = {{7, "w", true, 0}};
  platform.ClearEffects();
  Play(instance, {HandleReconnect});
  EXPECT_EQ(Audits().size(), 1u);
  EXPECT_EQ(Audits()[0][0], "lap00000002");
  bool restored = false;
  for (const auto& effect : platform.Effects()) restored |= std::holds_alternative<hosted::WindowCommand>(effect);
  EXPECT_TRUE(restored);
}

// An event record that cannot be written fails alone: the handler goes on with its audit
// row and its message to the client.
TEST_F(SessionRecordsTest, AFailedEventInsertLeavesAGapAndTheHandlerGoesOn) {
  hosted::HostedPlatform platform(Admitted());
  Instance instance(platform);
  Play(instance, {HandleStartup});
  log().Exec("RENAME TABLE log TO log_away");
  platform.ClearEffects();
  Play(instance, {HandleLogon});
  log().Exec("RENAME TABLE log_away TO log");
  EXPECT_EQ(Audits().size(), 1u);
  EXPECT_EQ(test::ChannelText(platform.Effects().at(0)), "Wi4HACAAAAAAAAAAAA==");
  Play(instance, {HandleDisconnect});
  const Rows events = Events();
  EXPECT_EQ(events.back()[0], "Log00000004");  // Log00000003 went to the failed insert
  EXPECT_EQ(events.back()[4], "4");
}

// A handler's records are drawn and inserted in one transaction. When its insert cannot
// land (here: another transaction holds the event's key until the lock wait times out, past
// the retries' time), the rollback returns the draws with the rows: the counters stay where
// they were, no identifier is left without its row, and the rows wait in the spool without
// identifiers until a later handler writes them back under new ones.
TEST_F(SessionRecordsTest, AHandlerThatCannotCommitLeavesNoDrawBehind) {
  if (test::MinimalSchema()) GTEST_SKIP() << "the minimal schema has no key for another transaction to hold";
  hosted::HostedPlatform platform(Admitted());
  Instance instance(platform);
  Play(instance, {HandleStartup});
  ASSERT_EQ(ds().Scalar("select ID from GloabolInc where Head='Log'"), "Log00000002");  // its two records
  log().Exec("SET GLOBAL innodb_lock_wait_timeout=1");
  test::AdminConnection holder(server().log);
  holder.Exec("START TRANSACTION");
  holder.Exec("INSERT INTO log (ID,Time,TypeID,SourceID,EventID) VALUES ('Log00000003','2026-12-06 08:00:00',2,1,3)");
  Play(instance, {HandleLogon});
  holder.Exec("ROLLBACK");
  log().Exec("SET GLOBAL innodb_lock_wait_timeout=50");
  EXPECT_EQ(ds().Scalar("select ID from GloabolInc where Head='Log'"), "Log00000002");
  EXPECT_EQ(ds().Scalar("select count(*) from GloabolInc where Head='lap'"), "0");  // its creation rolled back too
  EXPECT_TRUE(Audits().empty());
  EXPECT_EQ(instance.context.AuditRowId, "");
  EXPECT_EQ(Spool::Locate(platform)->State().rowsWaiting, 2u);

  Play(instance, {HandleDisconnect});  // writes its own rows, then the kept ones
  EXPECT_EQ(Codes(Events()), (std::vector<std::string>{"112", "212", "214", "213"}));
  const Rows audits = Audits();
  ASSERT_EQ(audits.size(), 2u);
  EXPECT_EQ(audits[0][0], "lap00000001");
  EXPECT_EQ(audits[1][0], "lap00000002");
  EXPECT_EQ(ds().Scalar("select ID from GloabolInc where Head='Log'"), "Log00000004");
  EXPECT_EQ(ds().Scalar("select ID from GloabolInc where Head='lap'"), "lap00000002");
}

TEST_F(SessionRecordsTest, EachReconnectRestoresWindowsOnceWithItsOwnTimer) {
  hosted::Session session = Admitted();
  session.windows = {{11, "a", true, 0}, {12, "b", false, 0}, {13, "c", true, 11}};
  hosted::HostedPlatform platform(session);
  Instance instance(platform);
  Play(instance, {HandleStartup, HandleLogon, HandleDisconnect});
  std::vector<std::string> seen;
  for (int reconnect = 0; reconnect < 2; ++reconnect) {
    platform.ClearEffects();
    Play(instance, {HandleReconnect});
    EXPECT_EQ(platform.DeliverTimerTicks(), 0);  // stopped by the pass: no tick follows
    for (const auto& effect : platform.Effects()) {
      if (const auto* t = std::get_if<hosted::TimerStarted>(&effect))
        seen.push_back("start " + std::to_string(t->timer) + " " + std::to_string(t->periodMilliseconds));
      if (const auto* t = std::get_if<hosted::TimerStopped>(&effect)) seen.push_back("stop " + std::to_string(t->timer));
      if (const auto* w = std::get_if<hosted::WindowCommand>(&effect))
        seen.push_back(std::to_string(w->window) + (w->command == kShowHide ? " hide" : " show"));
    }
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"start 1 3000", "11 hide", "11 show", "stop 1", "start 2 3000", "11 hide",
                                            "11 show", "stop 2"}));
}

TEST_F(SessionRecordsTest, AClientThatCannotBeToldStillGetsItsRecords) {
  hosted::Session session = Admitted();
  session.channel = hosted::ChannelState::Unavailable;
  hosted::HostedPlatform platform(session);
  Instance instance(platform);
  Play(instance, {HandleStartup, HandleLogon, HandleStartShell, HandleLogoff});
  EXPECT_EQ(Codes(Events()), (std::vector<std::string>{"112", "212", "213", "216"}));
  EXPECT_EQ(Audits().size(), 2u);
}

// Connections that the server dropped between two handlers (a restart, a KILL) are opened
// anew before anything is sent on them: no record is lost.
TEST_F(SessionRecordsTest, ConnectionsDroppedBetweenHandlersLoseNothing) {
  hosted::HostedPlatform platform(Admitted());
  Instance instance(platform);
  Play(instance, {HandleStartup});
  KillLibraryConnections();
  Play(instance, {HandleLogon});
  KillLibraryConnections();
  Play(instance, {HandleDisconnect, HandleReconnect});
  EXPECT_EQ(Codes(Events()), (std::vector<std::string>{"112", "212", "213", "214", "215"}));
  EXPECT_EQ(Audits().size(), 3u);
}

// An unusable counter loses the records, not the checks: the session is still told.
TEST_F(SessionRecordsTest, AnUnusableCounterLosesTheRecordsButNotTheDecision) {
  ds().Exec("INSERT INTO GloabolInc VALUES ('Log', 'LogABC', 1, 'NULL')");
  hosted::HostedPlatform platform(Admitted());
  Instance instance(platform);
  EXPECT_NO_THROW(HandleStartup(instance));
  ASSERT_EQ(platform.Effects().size(), 1u);
  EXPECT_EQ(test::ChannelText(platform.Effects()[0]), "Wi4HABAAAAAAAAAAAA==");
  EXPECT_EQ(ds().Scalar("select ID from GloabolInc"), "LogABC");
  EXPECT_TRUE(Events().empty());
}

// OpenConnections with the settings file in its various states.
class OpenConnectionsTest : public test::DatabaseTest {
 protected:
  bool Open(const std::string& settings) {
    test::WriteSettingsFile(installPath(), settings);
    platform_ = std::make_unique<hosted::HostedPlatform>(Session());
    return OpenConnections(*platform_, connections_);
  }
  std::string OpenState() {
    std::string state;
    for (const auto* c : {connections_.DS.get(), connections_.DC.get(), connections_.Log.get()})
      state += !c ? '-' : c->IsOpen() ? 'O' : 'c';
    return state;
  }
  std::unique_ptr<hosted::HostedPlatform> platform_;
  Connections connections_;
};

TEST_F(OpenConnectionsTest, OpensAllThreeWithTheSharedHostAndAccount) {
  ASSERT_TRUE(Open(test::SettingsText(server())));
  EXPECT_EQ(OpenState(), "OOO");
  EXPECT_EQ(connections_.DC->database, server().dc);
  EXPECT_EQ(connections_.Log->port, server().port);
  EXPECT_EQ(connections_.Log->connectTimeoutSeconds, 30u);
}

TEST(SplitHostPort, TakesTheHostBeforeTheFirstColon) {
  struct Case {
    const char* value;
    bool ok;
    const char* host;
    std::int32_t port;
  } cases[] = {
      {"server:3307", true, "server", 3307}, {"3307", true, "", 3307},  {"h:-1", false, "", 0},
      {"h:+5", true, "h", 5},                {"h:1:2", false, "", 0},   {"h:", false, "", 0},
      {"h", false, "", 0},                   {"", false, "", 0},        {"h:99999999999", false, "", 0},
      {"h: 1", false, "", 0},                {"h:0", false, "", 0},     {"h:65535", true, "h", 65535},
      {"h:65536", false, "", 0},             {"h:1", true, "h", 1},
  };
  for (const Case& c : cases) {
    const std::optional<HostPort> split = SplitHostPort(c.value);
    ASSERT_EQ(split.has_value(), c.ok) << c.value;
    if (!split) continue;
    EXPECT_EQ(split->host, c.host);
    EXPECT_EQ(split->port, c.port);
  }
}

TEST_F(OpenConnectionsTest, APortAloneMeansTheLocalMachine) {
  Open(test::SettingsText(server(), std::to_string(server().port)));
  EXPECT_EQ(connections_.DS->host, "");  // the client library's local connection
  EXPECT_EQ(connections_.DS->port, server().port);
}

TEST_F(OpenConnectionsTest, UnusableHostValuesOpenNothing) {
  for (const std::string host : {"127.0.0.1:", "127.0.0.1", "127.0.0.1:33o6", "127.0.0.1: 3306x"}) {
    connections_ = {};
    test::WriteSettingsFile(installPath(), test::SettingsText(server(), host));
    platform_ = std::make_unique<hosted::HostedPlatform>(Session());
    EXPECT_FALSE(OpenConnections(*platform_, connections_)) << host;
    EXPECT_EQ(OpenState(), "ccc") << host;
  }
  connections_ = {};
  EXPECT_FALSE(Open("[DSConnection]\r\n"));  // an empty DSHost
  EXPECT_EQ(OpenState(), "ccc");
}

TEST_F(OpenConnectionsTest, AFailureLeavesEarlierConnectionsOpen) {
  std::string settings = test::SettingsText(server());
  const std::string dc = "DCDB=" + EncodeSettingValue(server().dc);
  settings.replace(settings.find(dc), dc.size(), "DCDB=" + EncodeSettingValue("no_such_db"));
  EXPECT_FALSE(Open(settings));
  EXPECT_EQ(OpenState(), "Occ");
  // Configured though not opened: a later handler opens it from these values.
  EXPECT_EQ(connections_.Log->user, server().user);
  EXPECT_EQ(connections_.Log->database, server().log);
}

TEST_F(OpenConnectionsTest, BrokenSettingsAndADownServerLeaveTheSessionUnchecked) {
  std::string badCoding = test::SettingsText(server());
  badCoding.replace(badCoding.find("DSUID="), 6, "DSUID=!!");
  std::string wrongPassword = test::SettingsText(server());
  wrongPassword.replace(wrongPassword.find("DSPSW="), 6, "DSPSW=QQ##");
  const std::string cases[] = {
      "",                                                   // no settings file
      badCoding,                                            // a user that is not Base64
      wrongPassword,                                        // refused account
      test::SettingsText(server(), "127.0.0.1:abc"),        // a port that is no number
      test::SettingsText(server(), "127.0.0.1:1"),          // nothing listens there
  };
  for (const std::string& settings : cases) {
    std::filesystem::remove(installPath() / "Data" / "CONFIG" / "TavDbCnn.dat");
    if (!settings.empty()) test::WriteSettingsFile(installPath(), settings);
    const nlohmann::ordered_json session = {
        {"remote", true},
        {"protocol_type", 2},
        {"winstation", "KEV-Tcp#3"},
        {"initial_program", "kevshell.exe /N:APP00000012 /U:alice"},
        {"install_path", installPath().string()},
        {"events", {"startup", "logon", "startshell", "disconnect", "reconnect", "logoff"}},
    };
    const test::HostRun run = test::RunHost(session);
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_FALSE(run.SessionEnded());
    EXPECT_EQ(run.Messages(), (std::vector<std::pair<int, int>>{{0x2000, 0}, {0x4000, 0}, {0x8000, 0}, {0x3000, 0}}));
    EXPECT_EQ(log().Scalar("select count(*) from log"), "0");
  }
}

}  // namespace
}  // namespace qbnotify
