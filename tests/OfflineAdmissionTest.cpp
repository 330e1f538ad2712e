// Startup while the database is away, for each [Offline] mode: the decision, the client's
// message, the end of a refused session and the records (kept in the spool with their mark,
// written back once the database is back); the snapshot's refresh and what makes a snapshot
// count as none.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <fstream>

#include "TestDatabase.h"
#include "notify/QBNotifyMain.h"
#include "policy/Offline.h"
#include "policy/Startup.h"
#include "store/ServerDeny.h"
#include "store/ServerErrors.h"
#include "store/StateDirectory.h"
#include "tools/qbnotify-explain/Explain.h"
#include "tools/qbnotify-lint/Lint.h"

namespace qbnotify {
namespace {

struct KeepRecords final : StartupEffects {
  void Record(const EventRecord& record) override { kept.push_back(record); }
  std::vector<EventRecord> kept;
};


class OfflineAdmission : public test::DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    if (IsSkipped()) return;
    ds().Exec("INSERT INTO Cuser (User_ID, name) VALUES ('U1', 'alice');"
              "INSERT INTO Application (App_ID, Name, security_policy_id) VALUES "
              "('APP00000012', 'Ledger', 'P1'), ('APP00000013', 'Mail', NULL);"
              "INSERT INTO addressgroup VALUES ('ANY', '0', '', ''), ('LAN', '4', '10.0.0.1', '10.0.0.99');"
              "INSERT INTO timegroup (TimeID, DayType) VALUES ('T', 0);"
              "INSERT INTO securitypolicy_sub (SecPID, SortID, clientname, MAC, ClientProtocol, ClientIPAddressGroupID, "
              "TimeID, Action) VALUES ('P1', 10, 'pc-*', '*', 1, 'LAN', 'T', 0), ('P1', 20, '*', '*', 0, 'ANY', 'T', 1)");
  }

  // The farm of the server; `away`: the same farm, whose server refuses every connect (the
  // account's password is wrong).
  void Settings(const std::string& offline, bool away, const std::string& dsHost = "") {
    test::ServerInfo farm = server();
    if (away) farm.password = "not the password";
    test::WriteSettingsFile(installPath(), test::SettingsText(farm, dsHost) + offline);
    // What an away farm taught the deny state does not hold for the server that is back.
    if (!away) std::filesystem::remove(installPath() / "Data" / "State" / (std::string(kServerDenyStateName) + ".state"));
  }

  hosted::Session Client(const std::string& program, const std::string& name, const std::string& address) {
    hosted::Session session = Session(program);
    session.clientName = name;
    std::array<std::uint8_t, 4> octets{};
    std::sscanf(address.c_str(), "%hhu.%hhu.%hhu.%hhu", &octets[0], &octets[1], &octets[2], &octets[3]);
    session.clientAddress = hosted::AddressRecord{2, {0, 0, octets[0], octets[1], octets[2], octets[3]}};
    session.clock = DateTime{2026, 12, 8, 10, 0, 0};
    return session;
  }

  // One online startup under cached: it takes the snapshot.
  void TakeSnapshotOnline(int refreshSeconds = 300) {
    Settings("[Offline]\r\nAdmission=cached\r\nRefreshSeconds=" + std::to_string(refreshSeconds) + "\r\n", false);
    hosted::HostedPlatform platform(Client("kevshell.exe /N:APP00000012 /U:alice", "PC-1", "10.0.0.5"));
    Instance instance(platform);
    HandleStartup(instance);
    ASSERT_TRUE(platform.SessionEnded() == false);
  }
};

TEST_F(OfflineAdmission, EachModeDecidesAsItsTableSays) {
  TakeSnapshotOnline();
  struct Case {
    const char* name;
    const char* offline;
    const char* program;
    const char* client;
    const char* address;
    StartupPlan::Outcome outcome;
    int reason;         // the client's message; -1: none
    const char* mark;   // Parameter2 of the records
  } cases[] = {
      {"no section: unchecked, as before", "", "kevshell.exe /N:APP00000012", "KIOSK", "10.0.0.5",
       StartupPlan::Outcome::Unchecked, -1, ""},
      {"open: unchecked", "Admission=open\r\n", "kevshell.exe /N:APP00000012", "KIOSK", "10.0.0.5",
       StartupPlan::Outcome::Unchecked, -1, ""},
      {"closed: a policy application is refused", "Admission=closed\r\n", "kevshell.exe /N:APP00000012", "PC-1",
       "10.0.0.5", StartupPlan::Outcome::Refused, 2, "offline closed"},
      {"closed: an exempt application goes on", "Admission=closed\r\n", "kevshell.exe /N:APP00000000", "KIOSK",
       "10.0.0.5", StartupPlan::Outcome::Admitted, 0, "offline closed"},
      {"closed: the shell check still refuses with 3", "Admission=closed\r\n", "cmd.exe /N:desk", "PC-1", "10.0.0.5",
       StartupPlan::Outcome::Refused, 3, "offline closed"},
      {"an unknown value counts as closed", "Admission=sometimes\r\n", "kevshell.exe /N:APP00000012", "PC-1",
       "10.0.0.5", StartupPlan::Outcome::Refused, 2, "offline closed"},
      {"cached: the first rule admits", "Admission=cached\r\n", "kevshell.exe /N:APP00000012", "PC-1", "10.0.0.5",
       StartupPlan::Outcome::Admitted, 0, "offline cached"},
      {"cached: another name meets the catch-all, which refuses", "Admission=CACHED\r\n",
       "kevshell.exe /N:APP00000012", "KIOSK", "10.0.0.5", StartupPlan::Outcome::Refused, 2, "offline cached"},
      {"cached: 10.0.0.100 lies in 10.0.0.1-10.0.0.99 by text, as on the server", "Admission=cached\r\n",
       "kevshell.exe /N:APP00000012", "PC-1", "10.0.0.100", StartupPlan::Outcome::Admitted, 0, "offline cached"},
      {"cached: 10.0.1.5 lies outside", "Admission=cached\r\n", "kevshell.exe /N:APP00000012", "PC-1", "10.0.1.5",
       StartupPlan::Outcome::Refused, 2, "offline cached"},
      {"cached: no application row", "Admission=cached\r\n", "kevshell.exe /N:APP00000099", "PC-1", "10.0.0.5",
       StartupPlan::Outcome::Refused, 2, "offline cached"},
      {"cached: no policy", "Admission=cached\r\n", "kevshell.exe /N:app00000013", "KIOSK", "10.0.0.5",
       StartupPlan::Outcome::Admitted, 0, "offline cached"},
      {"cached: too old counts as none (closed)", "Admission=cached\r\nMaxAgeHours=0\r\n",
       "kevshell.exe /N:APP00000012", "PC-1", "10.0.0.5", StartupPlan::Outcome::Refused, 2, "offline closed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Settings(std::string(*c.offline ? "[Offline]\r\n" : "") + c.offline, true);
    hosted::HostedPlatform platform(Client(std::string(c.program) + " /U:alice /M:00-11", c.client, c.address));
    if (std::string(c.name).find("too old") != std::string::npos) platform.AdvanceClock(3600);
    Instance instance(platform);
    instance.connections.BeginHandler();
    KeepRecords effects;
    const StartupPlan plan = DecideStartup(instance, effects);
    EXPECT_EQ(plan.outcome, c.outcome);
    EXPECT_EQ(plan.message ? plan.message->reason : -1, c.reason);
    EXPECT_EQ(plan.end.has_value(), c.outcome == StartupPlan::Outcome::Refused);
    if (*c.mark == 0) {
      EXPECT_TRUE(effects.kept.empty());
      continue;
    }
    ASSERT_FALSE(effects.kept.empty());
    EXPECT_EQ(effects.kept.front(), EventRecord(1, 2, "00-11", c.mark));
    for (const EventRecord& record : effects.kept) EXPECT_EQ(record.parameter2.rfind(c.mark, 0), 0u) << record.parameter2;
    // An admission says which checks it could not make.
    EXPECT_EQ(effects.kept.back().parameter2.find("not checked") != std::string::npos, c.reason == 0);
    if (std::string(c.mark) == "offline cached") {
      EXPECT_EQ(instance.context.UserId, "U1");
    }
  }
}

// Every answer of the store's error table, met by a step after the connections opened (the
// server itself answers with it, or the connection is gone for code 0): under open the startup stops as it always did and the
// session goes on; under closed and cached it is decided without the database.
TEST_F(OfflineAdmission, EveryFailureAfterTheConnectDecidesOfflineUnderAClosedDoor) {
  TakeSnapshotOnline();
  struct FailOnConnected final : StartupEffects {
    explicit FailOnConnected(unsigned c) : code(c) {}
    void Connected(Instance& instance) override {
      if (code == 0) {
        instance.connections.DS.reset();  // no connection to send on
        return;
      }
      instance.connections.DS->Query("BEGIN NOT ATOMIC SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = " + std::to_string(code) +
                                     ", MESSAGE_TEXT = 'answered by the test'; END");
    }
    void Record(const EventRecord& record) override { kept.push_back(record); }
    unsigned code;
    std::vector<EventRecord> kept;
  };
  struct Mode {
    const char* offline;
    StartupPlan::Outcome outcome;
    const char* mark;
  } modes[] = {
      {"Admission=open\r\n", StartupPlan::Outcome::Stopped, ""},
      {"Admission=closed\r\n", StartupPlan::Outcome::Refused, "offline closed"},
      {"Admission=cached\r\n", StartupPlan::Outcome::Admitted, "offline cached"},
  };
  for (const Mode& mode : modes) {
    Settings(std::string("[Offline]\r\n") + mode.offline, false);
    for (const ServerErrorRule& rule : ServerErrorTable()) {
      SCOPED_TRACE(std::string(mode.offline) + std::to_string(rule.code) + " " + rule.name);
      hosted::HostedPlatform platform(Client("kevshell.exe /N:APP00000012 /U:alice /M:00-11", "PC-1", "10.0.0.5"));
      Instance instance(platform);
      instance.connections.updateDenyState = false;  // each case meets the server afresh
      instance.connections.BeginHandler();
      FailOnConnected effects(rule.code);
      const StartupPlan plan = DecideStartup(instance, effects);
      ASSERT_TRUE(plan.connected);
      EXPECT_EQ(plan.outcome, mode.outcome);
      ASSERT_TRUE(plan.failure);
      // The client library's own answers (2000 and up) cannot come from the server: there
      // the library reports the packet as malformed, a failure all the same.
      if (rule.code != 0 && rule.code < 2000) {
        EXPECT_EQ(plan.failure->code, rule.code) << plan.failure->message;
      }
      EXPECT_EQ(plan.offline.has_value(), *mode.mark != 0);
      EXPECT_EQ(plan.message.has_value(), *mode.mark != 0);
      if (*mode.mark) {
        ASSERT_FALSE(effects.kept.empty());
        EXPECT_EQ(effects.kept.front().parameter2.rfind(mode.mark, 0), 0u) << effects.kept.front().parameter2;
      }
    }
  }
}

// The rules see the server's clock, carried on by this machine's UTC clock; a UTC clock set
// back, an age past MaxAgeHours or another farm make the snapshot count as none.
TEST_F(OfflineAdmission, TheSnapshotKeepsTheServersClockAndItsFarm) {
  ds().Exec("INSERT INTO timegroup VALUES ('DAY', 1, '11111111', '2026-01-01', '0000-00-00', '08:00:00', '18:00:00');"
            "INSERT INTO Application (App_ID, Name, security_policy_id) VALUES ('APP00000014', 'Day', 'P9');"
            "INSERT INTO securitypolicy_sub (SecPID, SortID, clientname, MAC, ClientProtocol, ClientIPAddressGroupID, "
            "TimeID, Action) VALUES ('P9', 1, '*', '*', 1, 'ANY', 'DAY', 0)");
  // The server on UTC at 07:41; this machine at UTC+8 (15:41).
  test::SetServerClock(ds(), "2026-12-08 07:41:00");
  const auto client = [&] {
    hosted::Session session = Client("kevshell.exe /N:APP00000014 /U:alice /M:00-11", "PC-1", "10.0.0.5");
    session.clock = DateTime{2026, 12, 8, 15, 41, 0};
    session.utcAheadSeconds = -8 * 3600;
    return session;
  };
  const auto decide = [&](int advance, const std::string& offline, bool away) {
    Settings("[Offline]\r\nAdmission=cached\r\n" + offline, away);
    hosted::HostedPlatform platform(client());
    platform.AdvanceClock(advance);
    Instance instance(platform);
    instance.connections.BeginHandler();
    KeepRecords effects;
    const StartupPlan plan = DecideStartup(instance, effects);
    if (plan.outcome == StartupPlan::Outcome::Admitted || plan.outcome == StartupPlan::Outcome::Refused) {
      if (!away) RefreshSnapshotIfDue(instance, 0);
    }
    return std::string(plan.offline ? OfflineModeName(plan.offline->mode) : "online") + " " +
           (plan.outcome == StartupPlan::Outcome::Admitted ? "admitted" : "refused");
  };
  EXPECT_EQ(decide(0, "", false), "online refused");  // and the snapshot is taken
  EXPECT_EQ(decide(0, "", true), "cached refused");   // 07:41 on the server's clock, as online
  EXPECT_EQ(decide(18 * 60, "", true), "cached refused");   // 07:59
  EXPECT_EQ(decide(19 * 60, "", true), "cached admitted");  // 08:00
  EXPECT_EQ(decide(-4 * 60, "", true), "cached refused");   // a clock a little behind still uses it
  EXPECT_EQ(decide(-6 * 60, "", true), "closed refused");   // set back further: none
  EXPECT_EQ(decide(3600 + 19 * 60, "MaxAgeHours=1\r\n", true), "closed refused");  // older by UTC than MaxAgeHours
  EXPECT_EQ(decide(3600, "MaxAgeHours=1\r\n", true), "cached admitted");           // 08:41, within the hour

  // The same servers in another order are the same farm; another database is not.
  const std::string here = server().host + ":" + std::to_string(server().port);
  Settings("[Offline]\r\nAdmission=cached\r\n", false, "127.0.0.1:1, " + here);
  {
    hosted::HostedPlatform platform(client());
    Instance instance(platform);
    ASSERT_TRUE(OpenConnections(platform, instance.connections));
    ASSERT_EQ(RefreshSnapshotIfDue(instance, 0), RefreshOutcome::Stored);
    OfflineMoment moment = OfflineMomentNow(platform);
    const std::optional<OfflineSnapshot> snapshot = ReadStoredSnapshot(platform).snapshot;
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(SnapshotUnusable(*snapshot, OfflineSettings(), moment), "");
    Settings("", false, here + ",127.0.0.1:1");
    EXPECT_EQ(SnapshotUnusable(*snapshot, OfflineSettings(), OfflineMomentNow(platform)), "");
    Settings("", false, here);
    EXPECT_NE(SnapshotUnusable(*snapshot, OfflineSettings(), OfflineMomentNow(platform)), "");
    moment.farm.database += "2";
    EXPECT_NE(SnapshotUnusable(*snapshot, OfflineSettings(), moment).find("another farm"), std::string::npos);
  }
}

// A refresher removes only its own claim; one that finishes after a newer refresh keeps the
// newer snapshot; a stale claim is taken over once.
TEST_F(OfflineAdmission, ARefresherTouchesOnlyItsOwnClaimAndNeverAnOlderSnapshot) {
  TakeSnapshotOnline();
  hosted::HostedPlatform platform(Client("kevshell.exe /N:APP00000012 /U:alice", "PC-1", "10.0.0.5"));
  Instance instance(platform);
  ASSERT_TRUE(OpenConnections(platform, instance.connections));
  const std::filesystem::path state = installPath() / "Data" / "State";
  const std::filesystem::path claim = state / kRefreshClaimName;
  const auto stale = [&](const std::string& content) {
    std::ofstream(claim, std::ios::binary | std::ios::trunc) << content;
    std::filesystem::last_write_time(claim, std::filesystem::file_time_type::clock::now() - std::chrono::minutes(5));
  };
  // Another handler's fresh claim stays.
  std::ofstream(claim, std::ios::binary) << "other";
  EXPECT_EQ(RefreshSnapshotIfDue(instance, 0), RefreshOutcome::Claimed);
  EXPECT_TRUE(std::filesystem::exists(claim));
  // A stale one is taken over, and ours goes when done.
  stale("ended");
  EXPECT_EQ(RefreshSnapshotIfDue(instance, 0), RefreshOutcome::Stored);
  EXPECT_FALSE(std::filesystem::exists(claim));
  for (const auto& entry : std::filesystem::directory_iterator(state))
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();

  // A snapshot read later by the server's clock stays in place of this refresh's rows.
  const std::filesystem::path file = state / (std::string(kSnapshotStateName) + ".state");
  std::optional<OfflineSnapshot> kept = ReadStoredSnapshot(platform).snapshot;
  ASSERT_TRUE(kept);
  kept->serverUtc = AddSeconds(kept->serverUtc, 3600);
  kept->applications.clear();
  ASSERT_TRUE(StateDirectory::Locate(platform)->Write(kSnapshotStateName, EncodeSnapshot(*kept), kMaxSnapshotBytes));
  EXPECT_EQ(RefreshSnapshotIfDue(instance, 0), RefreshOutcome::Superseded);
  EXPECT_TRUE(ReadStoredSnapshot(platform).snapshot->applications.empty());
}

TEST_F(OfflineAdmission, RecordsAreKeptWithTheirMarkAndWrittenBackOnce) {
  TakeSnapshotOnline();
  const std::string before = log().Scalar("SELECT COUNT(*) FROM log");
  Settings("[Offline]\r\nAdmission=cached\r\n", true);
  hosted::HostedPlatform platform(Client("kevshell.exe /N:APP00000012 /U:alice /M:00-11", "KIOSK", "10.0.0.5"));
  Instance instance(platform);
  HandleStartup(instance);
  EXPECT_TRUE(platform.SessionEnded());
  EXPECT_EQ(log().Scalar("SELECT COUNT(*) FROM log"), before);  // nothing reached the server

  // The database is back: the next handler writes the kept rows, once.
  Settings("[Offline]\r\nAdmission=cached\r\n", false);
  hosted::HostedPlatform later(Client("kevshell.exe /N:APP00000013 /U:alice /M:00-22", "PC-2", "10.0.0.6"));
  Instance second(later);
  HandleStartup(second);
  HandleLogoff(second);
  const auto rows = log().Rows("SELECT TypeID, EventID, Parameter1, Parameter2, Time FROM log WHERE Parameter2 LIKE 'offline%' ORDER BY ID");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0][0] + "," + rows[0][1] + "," + rows[0][2], "1,2,00-11");
  EXPECT_EQ(rows[2][0] + "," + rows[2][1] + "," + rows[2][2] + "," + rows[2][3], "2,1,P1,offline cached");
  EXPECT_EQ(rows[0][4], "2026-12-08 10:00:00");  // the decision's own time
  HandleLogoff(second);
  EXPECT_EQ(log().Scalar("SELECT COUNT(*) FROM log WHERE Parameter2 LIKE 'offline%'"), "3");
}

TEST_F(OfflineAdmission, TheSnapshotIsRefreshedOnceAndABadOneIsNone) {
  TakeSnapshotOnline();
  hosted::HostedPlatform platform(Client("kevshell.exe /N:APP00000012 /U:alice", "PC-1", "10.0.0.5"));
  Instance instance(platform);
  ASSERT_TRUE(OpenConnections(platform, instance.connections));
  EXPECT_EQ(RefreshSnapshotIfDue(instance, 300), RefreshOutcome::NotDue);
  const std::filesystem::path state = installPath() / "Data" / "State";
  {
    std::ofstream claim(state / kRefreshClaimName);  // another handler is taking one
  }
  EXPECT_EQ(RefreshSnapshotIfDue(instance, 0), RefreshOutcome::Claimed);
  std::filesystem::remove(state / kRefreshClaimName);
  EXPECT_EQ(RefreshSnapshotIfDue(instance, 0), RefreshOutcome::Stored);
  EXPECT_FALSE(std::filesystem::exists(state / kRefreshClaimName));

  const StoredSnapshot good = ReadStoredSnapshot(platform);
  ASSERT_TRUE(good.snapshot);
  EXPECT_EQ(good.snapshot->rules.size(), 2u);
  EXPECT_EQ(good.snapshot->users.size(), 1u);

  // Corrupted, truncated: read as none (and the session is decided as closed).
  const std::filesystem::path file = state / (std::string(kSnapshotStateName) + ".state");
  std::string bytes;
  {
    std::ifstream in(file, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  for (const std::string& bad : {bytes.substr(0, bytes.size() - 3), [&] {
         std::string flipped = bytes;
         flipped[flipped.size() / 2] ^= 0x20;
         return flipped;
       }()}) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bad;
    const StoredSnapshot read = ReadStoredSnapshot(platform);
    EXPECT_TRUE(read.present);
    EXPECT_FALSE(read.snapshot);
  }
}

TEST_F(OfflineAdmission, ExplainShowsTheSnapshotsDecisionRuleByRule) {
  TakeSnapshotOnline();
  Settings("[Offline]\r\nAdmission=open\r\n", true);  // open: explain still shows what the snapshot gives
  tools::ExplainRequest request;
  request.session = Client("kevshell.exe /N:APP00000012 /U:alice /M:00-11", "KIOSK", "10.0.0.5");
  request.offline = true;
  request.at = "2026-12-08 11:00:00";
  const tools::ExplainResult result = tools::Explain(request);
  EXPECT_EQ(result.report["decision"]["result"], "refused");
  EXPECT_EQ(result.report["decision"]["reason"], 2);
  const std::string text = tools::ExplainText(result.report, false);
  EXPECT_NE(text.find("SortID 10 admits: name 'pc-*' no"), std::string::npos) << text;
  EXPECT_NE(text.find("SortID 20 refuses: name '*' yes"), std::string::npos) << text;
  EXPECT_NE(text.find("Parameter2 'offline cached'"), std::string::npos) << text;
}

TEST(OfflineSettingsText, LintWarnsOnAnUnknownValueAndALongMaxAge) {
  const auto codes = [](const OfflineSettings& settings) {
    std::vector<std::string> out;
    for (const tools::Finding& f : tools::LintOfflineSettings(settings)) out.push_back(f.code);
    return out;
  };
  EXPECT_EQ(codes(ParseOfflineSettings("cached", "", "168")), std::vector<std::string>{});
  EXPECT_EQ(codes(ParseOfflineSettings("cached", "", "169")), std::vector<std::string>{"offline-snapshot-too-old"});
  EXPECT_EQ(codes(ParseOfflineSettings("closed", "", "1000")), std::vector<std::string>{});
  EXPECT_EQ(codes(ParseOfflineSettings("shut", "", "")), std::vector<std::string>{"offline-admission-unknown"});
}

TEST(OfflineSettingsText, TheSettingsToolWritesTheKeysAndKeepsEveryOther) {
  test::TempDir install;
  const std::filesystem::path file = install.Path() / "Data" / "CONFIG" / "TavDbCnn.dat";
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << "[DSConnection]\r\nDSHost=db:3306\r\nDSUID=cWI#\r\n[Spool]\r\nMaxRows=5\r\n"
                                           "; kept\r\n[offline]\r\nadmission=open\r\nExtra=1\r\n";
  const std::string command = std::string(QBNOTIFY_SETTINGS_PATH) + " write '" + file.string() +
                              "' --offline-admission cached --offline-max-age-hours 48 >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::ifstream in(file, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(text,
            "[DSConnection]\r\nDSHost=db:3306\r\nDSUID=cWI#\r\n[Spool]\r\nMaxRows=5\r\n; kept\r\n[offline]\r\n"
            "Admission=cached\r\nExtra=1\r\nMaxAgeHours=48\r\n");
}

TEST(OfflineSettingsText, ValuesAsStored) {
  struct Case {
    const char* admission;
    const char* refresh;
    const char* age;
    OfflineMode mode;
    bool known;
    std::uint32_t refreshSeconds, maxAgeHours;
  } cases[] = {
      {"", "", "", OfflineMode::Open, true, 300, 24},
      {" Cached ", "0", "168", OfflineMode::Cached, true, 0, 168},
      {"closed", "-5", "12h", OfflineMode::Closed, true, 300, 24},
      {"close", "99999999999", "", OfflineMode::Closed, false, 300, 24},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.admission);
    const OfflineSettings s = ParseOfflineSettings(c.admission, c.refresh, c.age);
    EXPECT_EQ(s.mode, c.mode);
    EXPECT_EQ(s.admissionKnown, c.known);
    EXPECT_EQ(s.refreshSeconds, c.refreshSeconds);
    EXPECT_EQ(s.maxAgeHours, c.maxAgeHours);
  }
}

TEST(OfflineSnapshotText, RoundTripsAndRefusesAnythingElse) {
  OfflineSnapshot s;
  s.serverTime = DateTime{2026, 12, 8, 10, 0, 0};
  s.serverUtc = DateTime{2026, 12, 8, 2, 0, 0};
  s.takenUtc = DateTime{2026, 12, 8, 2, 0, 1};
  s.farm = {"ds", ServerSetHash("db1:3306")};
  s.applications.push_back({"APP1", "\xD5\xC5:3", std::nullopt});
  s.applications.push_back({"APP2", "", ""});
  s.rules.push_back({"P1", -3, "a:b", "#1;", 1, "A", "T", std::nullopt});
  s.rules.push_back({"P1", std::nullopt, std::nullopt, "-", 0, std::nullopt, "", 0});
  SnapshotTimeGroup t;
  t.timeId = "T";
  t.startDay = 0;
  t.endTime = -3600;
  s.timeGroups.push_back(t);
  const std::string text = EncodeSnapshot(s);
  const std::optional<OfflineSnapshot> back = DecodeSnapshot(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(EncodeSnapshot(*back), text);
  EXPECT_EQ(back->timeGroups[0].endTime, -3600);
  EXPECT_FALSE(back->timeGroups[0].startTime);
  EXPECT_FALSE(back->timeGroups[0].dayType);                 // NULL, not 0
  EXPECT_FALSE(back->applications[0].policyId);              // NULL ...
  EXPECT_EQ(back->applications[1].policyId, std::string());  // ... apart from empty
  EXPECT_FALSE(back->rules[0].action);
  EXPECT_EQ(back->rules[1].action, 0);
  EXPECT_EQ(back->farm, s.farm);
  for (std::size_t cut = 0; cut < text.size(); ++cut) EXPECT_FALSE(DecodeSnapshot(text.substr(0, cut))) << cut;
  EXPECT_FALSE(DecodeSnapshot(text + "x"));
}

TEST(OfflineSnapshotText, TheServerSetIsTheSameInAnyOrderAndCase) {
  EXPECT_EQ(ServerSetHash("db1:3306,db2:3306"), ServerSetHash(" DB2:3306 , db1:3306"));
  EXPECT_EQ(ServerSetHash("db1:3306,db1:3306"), ServerSetHash("db1:3306"));
  EXPECT_NE(ServerSetHash("db1:3306,db2:3306"), ServerSetHash("db1:3306"));
  EXPECT_NE(ServerSetHash("db1:3306"), ServerSetHash("db1:3307"));
  EXPECT_EQ(ServerSetHash("db1:3306").size(), 16u);
}

}  // namespace
}  // namespace qbnotify
