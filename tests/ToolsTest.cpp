// The administrators' tools against the private server: explain agrees with what the
// library really does and writes nothing; lint finds each planted trap and nothing on the
// demo farm; the doctor names each planted problem.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "HostRunner.h"
#include "TestDatabase.h"
#include "environment/ConnectionSettings.h"
#include "policy/OfflineSnapshot.h"
#include "store/client/MysqlApi.h"
#include "store/spool/Spool.h"

namespace qbnotify {
namespace {

using nlohmann::ordered_json;

struct ToolRun {
  int status = -1;
  std::string out;
  ordered_json json;  // stdout parsed, when it is JSON
};

ToolRun RunTool(const std::string& program, std::vector<std::string> args) {
  test::TempDir dir;
  const std::string outPath = (dir.Path() / "out.txt").string();
  const pid_t child = fork();
  if (child == 0) {
    if (!freopen(outPath.c_str(), "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(127);
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ToolRun run;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::stringstream text;
  text << std::ifstream(outPath).rdbuf();
  run.out = text.str();
  run.json = ordered_json::parse(run.out, nullptr, false);
  return run;
}

std::string ReadSource(const std::string& relative) {
  std::stringstream text;
  text << std::ifstream(std::string(QBNOTIFY_SOURCE_DIR) + "/" + relative, std::ios::binary).rdbuf();
  return text.str();
}

// Everything under a directory that a change would show: each entry's kind, permissions,
// time of last write and content.
std::map<std::string, std::string> TreeOf(const std::filesystem::path& root) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> tree;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    const fs::file_status status = entry.symlink_status();
    std::string state = std::to_string(static_cast<int>(status.type())) + " " +
                        std::to_string(static_cast<int>(status.permissions())) + " " +
                        std::to_string(entry.last_write_time().time_since_epoch().count());
    if (status.type() == fs::file_type::regular) {
      std::stringstream content;
      content << std::ifstream(entry.path(), std::ios::binary).rdbuf();
      state += " " + content.str();
    }
    tree[fs::relative(entry.path(), root).string()] = state;
  }
  return tree;
}

std::string TreeChanges(const std::map<std::string, std::string>& before, const std::map<std::string, std::string>& after) {
  std::string changes;
  for (const auto& [path, state] : before)
    if (!after.count(path)) changes += " removed " + path;
    else if (after.at(path) != state) changes += " changed " + path;
  for (const auto& [path, state] : after)
    if (!before.count(path)) changes += " added " + path;
  return changes;
}

class Tools : public test::DatabaseTest {
 protected:
  // The demo farm of db/sample.sql, loaded on a connection of its own (the file switches
  // its connection's character set).
  void LoadDemoFarm() {
    test::AdminConnection loader(server().ds);
    std::string sample = ReadSource("db/sample.sql");
    for (const auto& [demo, database] : {std::pair<std::string, std::string>{"USE qbds;", "USE " + server().ds + ";"},
                                         {"USE qbdc;", "USE " + server().dc + ";"}})
      if (const std::size_t at = sample.find(demo); at != std::string::npos) sample.replace(at, demo.size(), database);
    loader.Exec(sample);
  }

  std::string SessionText(const std::string& demoFile) {
    std::string text = ReadSource("demo/sessions/" + demoFile);
    for (std::size_t at; (at = text.find("@INSTALL_PATH@")) != std::string::npos;)
      text.replace(at, 14, installPath().string());
    return text;
  }

  // The host's verdict: "left alone" without a startup message, else the reason sent
  // (whether or not the client could take it).
  static std::string HostVerdict(const test::HostRun& run) {
    for (const auto& line : run.lines) {
      if (line.value("code", 0) != 0x1000) continue;
      const int reason = line.value("reason", -1);
      return reason == 0 ? "admitted 0" : "refused " + std::to_string(reason);
    }
    return "left alone";
  }
  static std::string ExplainVerdict(const ToolRun& run) {
    const ordered_json& decision = run.json["decision"];
    const std::string result = decision["result"];
    if (!decision.contains("reason")) return result;
    return result + " " + std::to_string(decision["reason"].get<int>());
  }

  std::string RowCounts() {
    return log().Scalar("SELECT COUNT(*) FROM log") + "/" + log().Scalar("SELECT COUNT(*) FROM appshenji") + "/" +
           ds().Scalar("SELECT COUNT(*) FROM GloabolInc");
  }

  ToolRun Explain(const std::string& sessionFile, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--session", sessionFile, "--install-path", installPath().string(), "--json"};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunTool(QBNOTIFY_EXPLAIN_PATH, args);
  }
};

TEST_F(Tools, ExplainAgreesWithTheLibraryOnEveryDemoSessionAndWritesNothing) {
  LoadDemoFarm();
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(std::string(QBNOTIFY_SOURCE_DIR) + "/demo/sessions"))
    files.push_back(entry.path().filename().string());
  std::sort(files.begin(), files.end());
  ASSERT_GE(files.size(), 10u);
  std::set<std::string> verdicts;
  std::size_t usedTree = 0;
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    test::TempDir dir;
    const std::string path = (dir.Path() / "session.json").string();
    std::ofstream(path) << SessionText(file);

    // The install is fresh at the first session, and used (the library's state, notes and
    // spool left by the sessions before) at the others: explain changes nothing in it,
    // online or offline.
    const std::string before = RowCounts();
    const auto tree = TreeOf(installPath());
    const ToolRun explained = Explain(path);
    EXPECT_EQ(TreeChanges(tree, TreeOf(installPath())), "") << "explain changed the install";
    const ToolRun offline = Explain(path, {"--offline"});
    EXPECT_NE(offline.status, 127);
    EXPECT_EQ(TreeChanges(tree, TreeOf(installPath())), "") << "explain --offline changed the install";
    EXPECT_EQ(RowCounts(), before) << "explain wrote a row";
    const test::HostRun real = test::RunHostOnText(SessionText(file));
    ASSERT_EQ(real.status, 0) << real.errors;
    usedTree = TreeOf(installPath()).size();

    const std::string verdict = ExplainVerdict(explained);
    EXPECT_EQ(verdict, HostVerdict(real)) << explained.out;
    EXPECT_EQ(explained.status, verdict.rfind("refused", 0) == 0 ? 1 : 0);
    verdicts.insert(verdict + " " + explained.json["decision"].value("decided_by", ""));
  }
  // The library did leave files for explain to leave alone (its state directory at least).
  EXPECT_GT(usedTree, 2u);
  // Every kind of outcome is among the demo sessions.
  for (const char* kind : {"left alone ", "admitted 0 all checks passed", "refused 3 shell", "refused 2 policy",
                           "refused 2 duplicate-account", "refused 2 user-limit"})
    EXPECT_TRUE(verdicts.count(kind)) << kind;
}

// What one admitted session costs the server, counted by the server itself: statements
// received (round trips) and write transactions committed (InnoDB's trx_rw_commits; its redo
// log writes would also count the server's own background work, such as purging the first
// play's old row versions, and its statistics' recalculation is a write transaction of its
// own, turned off while the test counts).
// The demo's full day is played twice and the second one counted (the first fills the state
// directory and the counters), with one server in the settings and with a list of two (the
// same server under two names: the list adds its readiness query). The database tests run
// one at a time, so nothing else runs on the server meanwhile.
TEST_F(Tools, AnAdmittedSessionCommitsOncePerHandlerWithinItsRoundTrips) {
  LoadDemoFarm();
  const std::string session = SessionText("03-bob-full-day.json");
  test::AdminConnection root(server().ds);
  const std::string autoRecalc = root.Scalar("SELECT @@innodb_stats_auto_recalc");
  root.Exec("SET GLOBAL innodb_monitor_enable = 'trx_rw_commits'; SET GLOBAL innodb_stats_auto_recalc = OFF");
  struct Restore {
    test::AdminConnection& root;
    std::string autoRecalc;
    ~Restore() { root.Exec("SET GLOBAL innodb_stats_auto_recalc = " + autoRecalc); }
  } restore{root, autoRecalc};
  // One statement: the count's own statements are subtracted below.
  const auto status = [&] {
    std::map<std::string, long long> values;
    for (const auto& row : root.Rows(
             "SELECT VARIABLE_NAME, VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME IN "
             "('QUESTIONS', 'CONNECTIONS') UNION ALL SELECT NAME, COUNT FROM information_schema.INNODB_METRICS "
             "WHERE NAME = 'trx_rw_commits'"))
      values[row[0]] = std::stoll(row[1]);
    return values;
  };
  // A session's process closes its connections as it ends, and the server may take the
  // closing messages a moment later: each count starts and ends with none of the library's
  // connections left (waiting 5 s at most), so that no other play's closing is counted.
  // Answers the statements it sent itself, which the server counts too.
  const auto settle = [&] {
    for (int sent = 1; sent <= 500; ++sent) {
      if (root.Scalar("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE USER = '" + server().user + "'") == "0")
        return sent;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "the library's connections did not end";
    return 500;
  };
  const auto counts = [](const std::string& text) {
    std::vector<long long> n;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, '/');) n.push_back(std::stoll(part));
    return n;
  };
  const std::string port = std::to_string(server().port);
  struct Form {
    const char* name;
    std::string dsHost;
    long long roundTrips = 0, commits = 0;
  } forms[] = {{"one server", ""}, {"a list of two servers", "127.0.0.1:" + port + ",127.1:" + port}};
  for (Form& form : forms) {
    SCOPED_TRACE(form.name);
    test::WriteSettingsFile(installPath(), test::SettingsText(server(), form.dsHost));
    ASSERT_EQ(test::RunHostOnText(session).status, 0);
    const std::string rowsBefore = RowCounts();
    settle();
    auto before = status();
    const test::HostRun second = test::RunHostOnText(session);
    const int settling = settle();
    auto after = status();
    ASSERT_EQ(second.status, 0) << second.errors;
    EXPECT_EQ(HostVerdict(second), "admitted 0");
    // The status read that closes the count is itself a statement, as are the waits for the
    // connections to end, and each connection's closing message counts as one though nothing
    // answers it.
    form.roundTrips =
        after["QUESTIONS"] - before["QUESTIONS"] - 1 - settling - (after["CONNECTIONS"] - before["CONNECTIONS"]);
    form.commits = after["trx_rw_commits"] - before["trx_rw_commits"];
    std::printf("one admitted session, %s: %lld round trips, %lld commits\n", form.name, form.roundTrips,
                form.commits);
    std::fflush(stdout);  // before the next play forks: its children would print it again
    EXPECT_GE(form.commits, 5);  // one per handler that writes: the records are there
    // Every record as before: the startup's two, and an event and an audit row each for
    // logon, disconnect, reconnect and logoff; the counters at their last identifiers.
    const std::vector<long long> was = counts(rowsBefore), now = counts(RowCounts());
    EXPECT_EQ(now[0] - was[0], 6);
    EXPECT_EQ(now[1] - was[1], 4);
    EXPECT_EQ(ds().Scalar("SELECT ID FROM GloabolInc WHERE Head='Log'"), log().Scalar("SELECT MAX(ID) FROM log"));
    EXPECT_EQ(ds().Scalar("SELECT ID FROM GloabolInc WHERE Head='lap'"),
              log().Scalar("SELECT MAX(logid) FROM appshenji"));
  }
  EXPECT_LE(forms[0].roundTrips, 29);
  EXPECT_LE(forms[0].commits, 11);
  EXPECT_LE(forms[1].roundTrips, forms[0].roundTrips + 1);
  EXPECT_LE(forms[1].commits, forms[0].commits + 1);
}

// With the switch columns explain shows the server's count of the application's sessions,
// and whether the rows behind it were read, as the library decided: not below the limit or
// without one; read where they could refuse (a negative limit still refuses every session).
TEST_F(Tools, ExplainShowsTheServersCountOfTheApplicationsSessions) {
  LoadDemoFarm();
  dc().Exec(ReadSource("db/migrations/sessionload-index-add.sql"));
  struct Undo {  // the later tests expect the table without the columns, whatever happens here
    test::AdminConnection& dc;
    ~Undo() { dc.Exec(ReadSource("db/migrations/sessionload-index-remove.sql")); }
  } undo{dc()};
  test::TempDir dir;
  const std::string path = (dir.Path() / "session.json").string();
  std::ofstream(path) << SessionText("03-bob-full-day.json");
  const struct {
    int limit;
    const char* verdict;
    const char* words;
  } cases[] = {{0, "admitted 0", "count 1: no limit, so none is read"},
               {5, "admitted 0", "count 1: below the limit, so none is read"},
               {1, "refused 2", "count 1, of which the switch reader counts 1"},
               {-1, "refused 2", "count 1, of which the switch reader counts 1"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.limit);
    ds().Exec("UPDATE Application SET app_session_count = " + std::to_string(c.limit) + " WHERE App_ID = 'APP00000012'");
    const ToolRun explained = Explain(path);
    EXPECT_EQ(ExplainVerdict(explained), c.verdict) << explained.out;
    std::string lines;
    for (const auto& step : explained.json["steps"])
      if (step["check"] == "security policy") {
        EXPECT_EQ(step["application_limits"]["server_count"], 1) << step.dump();
        for (const auto& line : step["lines"]) lines += line.get<std::string>() + "\n";
      }
    EXPECT_NE(lines.find(c.words), std::string::npos) << lines;
  }
}

TEST_F(Tools, ExplainRunsTheTimeRulesAtTheGivenServerTime) {
  // Working hours only, Monday to Friday; everyone else is refused by the policy.
  ds().Exec("INSERT INTO Application (App_ID, security_policy_id) VALUES ('APP00000012', 'P1');"
            "INSERT INTO Cuser (User_ID, name) VALUES ('U1', 'alice');"
            "INSERT INTO addressgroup VALUES ('ANY', '0', '', '');"
            "INSERT INTO timegroup VALUES ('WORK', 1, '01111100', '2026-01-01', '0000-00-00', '08:00:00', '18:00:00');"
            "INSERT INTO securitypolicy_sub (SecPID, SortID, clientname, MAC, ClientProtocol, ClientIPAddressGroupID, "
            "TimeID, Action) VALUES ('P1', 1, '*', '*', 1, 'ANY', 'WORK', 0)");
  test::TempDir dir;
  const std::string path = (dir.Path() / "session.json").string();
  std::ofstream(path) << R"({"remote": true, "protocol_type": 2, "winstation": "KEV-Tcp#1",
    "initial_program": "kevshell.exe /N:APP00000012 /U:alice", "client_name": "PC-1", "client_address": "10.0.0.7",
    "install_path": ")" + installPath().string() + R"(", "events": ["startup"]})";
  struct Case {
    const char* at;
    const char* verdict;
  } cases[] = {
      {"2026-12-07 08:00:00", "admitted 0"},  // Monday, first second of the window
      {"2026-12-07 18:00:01", "refused 2"},   // just after it
      {"2026-12-05 10:00:00", "refused 2"},   // Saturday
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.at);
    test::SetServerClock(ds(), c.at);
    std::stringstream session;
    session << std::ifstream(path).rdbuf();
    EXPECT_EQ(HostVerdict(test::RunHostOnText(session.str())), c.verdict);
    test::SetServerClock(ds(), "");
    const ToolRun explained = Explain(path, {"--at", c.at});
    EXPECT_EQ(ExplainVerdict(explained), c.verdict) << explained.out;
  }
  // Only the tool's own connections see that time.
  EXPECT_EQ(ds().Scalar("SELECT ABS(TIMESTAMPDIFF(SECOND, NOW(), SYSDATE())) < 5"), "1");
  EXPECT_EQ(Explain(path, {"--at", "2026-02-30 10:00:00"}).status, 2);
}

TEST_F(Tools, ExplainSaysWhereTheLibraryWouldGiveUp) {
  test::TempDir dir;
  const std::string path = (dir.Path() / "session.json").string();
  std::ofstream(path) << R"({"remote": true, "protocol_type": 2, "winstation": "KEV-Tcp#1",
    "initial_program": "kevshell.exe /N:APP00000012 /U:alice", "client_name": "PC-1", "client_address": "10.0.0.7",
    "install_path": ")" + installPath().string() + R"("})";
  // No server where the settings point: the library lets the session go on unchecked.
  test::WriteSettingsFile(installPath(), test::SettingsText(server(), "127.0.0.1:1"));
  ToolRun run = Explain(path);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ExplainVerdict(run), "unchecked");
  EXPECT_NE(run.json["steps"].back()["outcome"].get<std::string>().find("DS (" + server().user + "@127.0.0.1:1"), std::string::npos)
      << run.out;
  // A list whose first server is down: the connections go to the next, which explain names
  // with the one it passed over; the deny state is left as it was (explain writes nothing).
  const std::string here = server().host + ":" + std::to_string(server().port);
  test::WriteSettingsFile(installPath(), test::SettingsText(server(), "127.0.0.1:1," + here));
  run = Explain(path);
  const ordered_json& connect = run.json["steps"][1];
  EXPECT_EQ(connect["server"], here) << run.out;
  ASSERT_EQ(connect["servers_passed_over"].size(), 1u) << run.out;
  EXPECT_EQ(connect["servers_passed_over"][0].get<std::string>().rfind("127.0.0.1:1: ", 0), 0u) << run.out;
  EXPECT_FALSE(std::filesystem::exists(installPath() / "Data" / "State" / "servers-denied.state"));
  // A check that fails stops the library quietly where it fails.
  test::WriteSettingsFile(installPath(), test::SettingsText(server()));
  ds().Exec("INSERT INTO Application (App_ID, security_policy_id) VALUES ('APP00000012', 'P1');"
            "RENAME TABLE timegroup TO timegroup_away");
  run = Explain(path);
  ds().Exec("RENAME TABLE timegroup_away TO timegroup");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ExplainVerdict(run), "unchecked");
  EXPECT_EQ(run.json["steps"].back()["check"], "security policy") << run.out;
  EXPECT_NE(run.json["steps"].back()["outcome"].get<std::string>().find("timegroup"), std::string::npos) << run.out;
  EXPECT_EQ(run.json["would_write"].size(), 2u);  // the startup and shell records only
  // The rules admit, then the application's limits cannot be read: the policy, its rules
  // and the deciding rule stay in the output beside the failure.
  ds().Exec("INSERT INTO addressgroup VALUES ('ANY', '0', '', '');"
            "INSERT INTO timegroup (TimeID, DayType) VALUES ('T', 0);"
            "INSERT INTO securitypolicy_sub (SecPID, SortID, clientname, MAC, ClientProtocol, ClientIPAddressGroupID, "
            "TimeID, Action) VALUES ('P1', 10, 'PC-*', '*', 0, 'ANY', 'T', 0);"
            "ALTER TABLE application RENAME COLUMN app_session_count TO app_session_count_away");
  run = Explain(path);
  ds().Exec("ALTER TABLE application RENAME COLUMN app_session_count_away TO app_session_count");
  EXPECT_EQ(ExplainVerdict(run), "unchecked");
  const ordered_json& policy = run.json["steps"].back();
  EXPECT_EQ(policy["check"], "security policy") << run.out;
  EXPECT_EQ(policy["policy_id"], "P1") << run.out;
  EXPECT_EQ(policy["deciding_rule"]["SortID"], 10) << run.out;
  EXPECT_NE(policy["outcome"].get<std::string>().find("app_session_count"), std::string::npos) << run.out;
}

struct LintCase {
  const char* name;
  const char* plant;     // DS statements on top of one good policy
  const char* expected;  // the finding's code; "" for none
};

TEST_F(Tools, LintFindsEachPlantedTrapAndNothingElse) {
  if (test::MinimalSchema()) GTEST_SKIP() << "the minimal schema's account holds a role of its own, not qbnotify_library";
  const LintCase cases[] = {
      {"clean", "", ""},
      {"policy without rules", "INSERT INTO Application (App_ID, security_policy_id) VALUES ('APP00000099', 'P9')",
       "policy-without-rules"},
      {"missing address group", "UPDATE securitypolicy_sub SET ClientIPAddressGroupID = 'GONE'", "missing-address-group"},
      {"missing time group", "UPDATE securitypolicy_sub SET TimeID = 'GONE'", "missing-time-group"},
      {"range compared as text", "UPDATE addressgroup SET AddressType = '4', Ip1 = '10.0.0.10', Ip2 = '10.0.0.20'",
       "address-range-text-order"},
      {"range of one address", "UPDATE addressgroup SET AddressType = '4', Ip1 = '10.0.0.10', Ip2 = '10.0.0.10'", ""},
      {"end day NULL", "UPDATE timegroup SET DayType = 1, StartDay = '2026-01-01', EndDay = NULL", "time-group-never-matches"},
      {"window across midnight",
       "UPDATE timegroup SET DayType = 1, StartDay = '2026-01-01', EndDay = '0000-00-00', StartTime = '22:00:00', "
       "EndTime = '06:00:00'",
       "time-group-never-matches"},
      {"catch-all before a rule",
       "INSERT INTO securitypolicy_sub (SecPID, SortID, clientname, MAC, ClientProtocol, ClientIPAddressGroupID, TimeID, "
       "Action) VALUES ('P1', 20, 'PC-*', '*', 1, 'G', 'T', 1)",
       "unreachable-rule"},
      {"duplicate SortID",
       "INSERT INTO securitypolicy_sub (SecPID, SortID, clientname, MAC, ClientProtocol, ClientIPAddressGroupID, TimeID, "
       "Action) VALUES ('P1', 10, 'KIOSK-?', '*', 1, 'G', 'T', 1)",
       "duplicate-sortid"},
      {"LIKE wildcard in a pattern", "UPDATE securitypolicy_sub SET clientname = 'PC_01'", "special-pattern-character"},
      // The second byte of a double-byte character may be the byte of a backslash or '_'.
      {"double-byte character ending in 0x5C", "UPDATE securitypolicy_sub SET clientname = 'PC-\x95\x5C'", ""},
      {"negative user limit", "INSERT INTO Cuser (User_ID, name, RunAppNum) VALUES ('U1', 'bob', -1)", "negative-limit"},
      {"two rows for one user", "INSERT INTO Cuser (User_ID, name, RunAppNum) VALUES ('U1', 'bob', 1), ('U2', 'BOB', 2)",
       "user-limit-unreachable"},
  };
  for (const LintCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* table : {"Cuser", "Application", "securitypolicy_sub", "addressgroup", "timegroup"})
      ds().Exec(std::string("DELETE FROM ") + table);
    ds().Exec("INSERT INTO Application (App_ID, security_policy_id) VALUES ('APP00000012', 'P1');"
              "INSERT INTO addressgroup VALUES ('G', '0', '', '');"
              "INSERT INTO timegroup (TimeID, DayType) VALUES ('T', 0);"
              "INSERT INTO securitypolicy_sub (SecPID, SortID, clientname, MAC, ClientProtocol, ClientIPAddressGroupID, "
              "TimeID, Action) VALUES ('P1', 10, '*', '*', 0, 'G', 'T', 0)");
    if (*c.plant) ds().Exec(c.plant);
    const ToolRun run = RunTool(QBNOTIFY_LINT_PATH, {"--install-path", installPath().string(), "--json"});
    std::vector<std::string> codes;
    for (const auto& finding : run.json["findings"])
      if (finding["severity"] != "note") codes.push_back(finding["code"]);
    if (*c.expected) {
      EXPECT_EQ(codes, std::vector<std::string>{c.expected}) << run.out;
      EXPECT_EQ(run.status, 1);
      EXPECT_FALSE(run.json["findings"][0]["rows"].empty());
      EXPECT_FALSE(run.json["findings"][0]["fix"].get<std::string>().empty());
    } else {
      EXPECT_TRUE(codes.empty()) << run.out;
      EXPECT_EQ(run.status, 0);
    }
  }
}

TEST_F(Tools, LintFindsNothingWrongWithTheDemoFarm) {
  if (test::MinimalSchema()) GTEST_SKIP() << "the minimal schema's account holds a role of its own, not qbnotify_library";
  LoadDemoFarm();
  const ToolRun run = RunTool(QBNOTIFY_LINT_PATH, {"--install-path", installPath().string(), "--json"});
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(run.json["problems"], 0) << run.out;
}

struct DoctorCase {
  const char* name;
  const char* settingsHost;  // DSHost of the settings file; "" for the server's own
  const char* breakSql;      // on the DS database as administrator
  const char* mendSql;
  const char* check;         // the check that names it, "section/name"
  const char* status;        // its status: "FAIL" (and then the first failure) or "warn"
  const char* words;         // in its detail
};

TEST_F(Tools, DoctorNamesEachPlantedProblem) {
  if (test::MinimalSchema()) GTEST_SKIP() << "the minimal schema's account holds a role of its own, not qbnotify_library";
  const std::string revoke = "REVOKE SELECT (Head, ID) ON " + server().ds + ".GloabolInc FROM qbnotify_library";
  const std::string grant = "GRANT SELECT (Head, ID) ON " + server().ds + ".GloabolInc TO qbnotify_library";
  const std::string deadFirst = "127.0.0.1:1," + server().host + ":" + std::to_string(server().port);
  // Tables without keys (the minimal schema) need none dropped first.
  const std::string twoCounters =
      test::OnKeyedSchema("ALTER TABLE GloabolInc DROP PRIMARY KEY, ADD KEY ix_head (Head);") +
      "INSERT INTO GloabolInc (Head, ID) VALUES ('lap', 'lap00000001'), ('lap', 'lap00000002')";
  const std::string mendCounters =
      "DELETE FROM GloabolInc" + test::OnKeyedSchema("; ALTER TABLE GloabolInc DROP KEY ix_head, ADD PRIMARY KEY (Head)");
  const std::string dropLogKey = test::OnKeyedSchema("ALTER TABLE " + server().log + ".log DROP PRIMARY KEY");
  const std::string addLogKey = test::OnKeyedSchema("ALTER TABLE " + server().log + ".log ADD PRIMARY KEY (ID)");
  const DoctorCase cases[] = {
      {"all is well", "", "", "", "", "", ""},
      {"a list whose first server is down", deadFirst.c_str(), "", "", "servers/server 1 127.0.0.1:1", "warn",
       "not reachable"},
      {"port not a number", "127.0.0.1:port", "", "", "settings file/DSHost", "FAIL", "not a number"},
      {"unreachable host", "127.0.0.1:1", "", "", "connections/DS", "FAIL", "host not reachable"},
      {"missing table", "", "RENAME TABLE timegroup TO timegroup_away", "RENAME TABLE timegroup_away TO timegroup",
       "tables/timegroup", "FAIL", "missing"},
      {"missing column", "", "ALTER TABLE Cuser RENAME COLUMN RunAppNum TO away",
       "ALTER TABLE Cuser RENAME COLUMN away TO RunAppNum", "tables/Cuser", "FAIL", "RunAppNum missing"},
      {"missing privilege", "", revoke.c_str(), grant.c_str(), "privileges/GloabolInc", "FAIL",
       "missing SELECT (Head, ID)"},
      {"broken counter", "", "INSERT INTO GloabolInc (Head, ID) VALUES ('Log', 'LogABC')", "DELETE FROM GloabolInc",
       "identifier counters/Log", "FAIL", "not the head followed by a number"},
      {"counter near its end", "", "INSERT INTO GloabolInc (Head, ID) VALUES ('Log', 'Log2147000000')",
       "DELETE FROM GloabolInc", "identifier counters/Log", "warn", "identifiers left"},
      {"two counter rows", "", twoCounters.c_str(), mendCounters.c_str(), "identifier counters/lap", "warn",
       "2 counter rows"},
      {"no key on log.ID", "", dropLogKey.c_str(), addLogKey.c_str(), "tables/log", "warn", "no unique key on ID"},
      {"a connection queue shorter than the connections", "", "SET GLOBAL max_connections = @@back_log + 1",
       "SET GLOBAL max_connections = 500", "server/back_log", "warn", "below max_connections"},
  };
  for (const DoctorCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::WriteSettingsFile(installPath(), test::SettingsText(server(), c.settingsHost));
    if (*c.breakSql) ds().Exec(c.breakSql);
    const ToolRun run = RunTool(QBNOTIFY_DOCTOR_PATH, {"--install-path", installPath().string(), "--json", "--connect-timeout", "3"});
    if (*c.mendSql) ds().Exec(c.mendSql);
    std::vector<std::string> failed;
    std::string status, detail;
    for (const auto& check : run.json["checks"]) {
      const std::string name = check["section"].get<std::string>() + "/" + check["check"].get<std::string>();
      if (check["status"] == "FAIL") failed.push_back(name);
      if (name == c.check && status.empty()) {
        status = check["status"];
        detail = check["detail"];
      }
    }
    if (!*c.check) {
      EXPECT_TRUE(failed.empty()) << run.out;
      EXPECT_EQ(run.status, 0);
      continue;
    }
    EXPECT_EQ(status, c.status) << run.out;
    EXPECT_NE(detail.find(c.words), std::string::npos) << detail;
    if (std::string(c.status) == "FAIL") {
      ASSERT_FALSE(failed.empty()) << run.out;
      EXPECT_EQ(failed.front(), c.check) << run.out;
      EXPECT_EQ(run.status, 1);
    } else {
      EXPECT_TRUE(failed.empty()) << run.out;
      EXPECT_EQ(run.status, 0);
    }
  }
  // What another account could read or change, looked at by the doctor itself: the folder or
  // file and the account are named.
  const struct {
    const char* name;
    std::filesystem::path path;
    unsigned mode;
    const char* check;
    const char* words;
  } opened[] = {
      {"a settings file others can read", installPath() / "Data" / "CONFIG" / "TavDbCnn.dat", 0644,
       "settings file/access", "every account may open it"},
      {"a Data folder others can write to", installPath() / "Data", 0777, "spool/directory",
       "every account may"},
  };
  for (const auto& c : opened) {
    SCOPED_TRACE(c.name);
    test::WriteSettingsFile(installPath(), test::SettingsText(server(), ""));
    ASSERT_EQ(::chmod(c.path.c_str(), c.mode), 0);
    const ToolRun run = RunTool(QBNOTIFY_DOCTOR_PATH, {"--install-path", installPath().string(), "--json"});
    std::string detail;
    for (const auto& check : run.json["checks"])
      if (check["section"].get<std::string>() + "/" + check["check"].get<std::string>() == c.check &&
          check["status"] == "FAIL")
        detail = check["detail"];
    EXPECT_NE(detail.find(c.words), std::string::npos) << run.out;
    EXPECT_EQ(run.status, 1);
  }
  test::WriteSettingsFile(installPath(), test::SettingsText(server(), ""));

  // Without a settings file the doctor still checks the client library.
  std::filesystem::remove_all(installPath() / "Data");
  const ToolRun run = RunTool(QBNOTIFY_DOCTOR_PATH, {"--install-path", installPath().string(), "--json"});
  ASSERT_FALSE(run.json["checks"].empty()) << run.out;
  EXPECT_EQ(run.json["checks"][1]["status"], "FAIL");
  std::string version;
  for (const auto& check : run.json["checks"])
    if (check["section"] == "client library" && check["check"] == "version" && check["status"] == "ok") version = check["detail"];
  EXPECT_EQ(version, mysql_get_client_info()) << run.out;
}

// An account of the old kind (everything on the three databases, a global right with the
// grant option, its role not in force): the doctor and lint say the same, nothing is
// missing, and once every REVOKE they advise has run the account holds exactly what the
// library uses, and the library's sessions still write their rows.
TEST_F(Tools, DoctorAndLintAdviceKeepsWhatTheLibraryUses) {
  if (test::MinimalSchema()) GTEST_SKIP() << "the minimal schema's account holds a role of its own, not qbnotify_library";
  const std::string account = "'" + server().user + "'@'127.0.0.1'";
  std::string broad = "SET DEFAULT ROLE NONE FOR " + account + "; GRANT PROCESS ON *.* TO " + account +
                      " WITH GRANT OPTION;";
  for (const std::string& database : {server().ds, server().dc, server().log})
    broad += "GRANT SELECT, INSERT, UPDATE, DELETE ON " + database + ".* TO " + account + ";";
  ds().Exec(broad);
  const std::vector<std::string> doctorArgs = {"--install-path", installPath().string(), "--json"};
  const auto privilegeChecks = [&](std::vector<std::string>& fixes) {
    const ToolRun run = RunTool(QBNOTIFY_DOCTOR_PATH, doctorArgs);
    std::vector<std::string> statuses;
    for (const auto& check : run.json["checks"]) {
      if (check["section"] != "privileges") continue;
      statuses.push_back(check["check"].get<std::string>() + " " + check["status"].get<std::string>());
      if (check["status"] == "warn" && check["check"] != "account") fixes.push_back(check["fix"]);
    }
    std::sort(statuses.begin(), statuses.end());  // the server lists grants of one level in no fixed order
    return statuses;
  };
  std::vector<std::string> fixes;
  std::vector<std::string> expected = {"global warn", "`" + server().ds + "`.* warn", "`" + server().dc + "`.* warn",
                                       "`" + server().log + "`.* warn", "account warn"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(privilegeChecks(fixes), expected);
  std::vector<std::string> lintFixes;
  const ToolRun lint = RunTool(QBNOTIFY_LINT_PATH, doctorArgs);
  for (const auto& finding : lint.json["findings"]) {
    EXPECT_NE(finding["code"], "account-privilege-missing") << lint.out;
    if (finding["code"] == "account-privilege-beyond") lintFixes.push_back(finding["fix"]);
  }
  EXPECT_EQ(lintFixes, fixes);
  for (const std::string& fix : fixes) ds().Exec(fix);

  std::vector<std::string> none;
  EXPECT_EQ(privilegeChecks(none), std::vector<std::string>{"account ok"});
  EXPECT_TRUE(none.empty());
  LoadDemoFarm();
  const test::HostRun session = test::RunHostOnText(SessionText("03-bob-full-day.json"));
  EXPECT_EQ(HostVerdict(session), "admitted 0");
  EXPECT_NE(log().Scalar("SELECT COUNT(*) FROM log"), "0");
  EXPECT_NE(log().Scalar("SELECT COUNT(*) FROM appshenji"), "0");

  ds().Exec("REVOKE ALL PRIVILEGES, GRANT OPTION FROM " + account + "; GRANT qbnotify_library TO " + account +
            "; SET DEFAULT ROLE qbnotify_library FOR " + account);
  std::vector<std::string> again;
  EXPECT_EQ(privilegeChecks(again), std::vector<std::string>{"account ok"});
}

// With --credentials the tools that only read connect as the account of a file of their own
// (the reader), servers and databases still from the install's settings: the reader's
// account decides whether they connect at all.
TEST_F(Tools, ExplainAndReportConnectAsTheAccountOfTheirCredentialsFile) {
  LoadDemoFarm();
  const std::filesystem::path credentials = installPath() / "reader.dat";
  const std::string session = (installPath() / "bob.json").string();
  std::ofstream(session) << SessionText("03-bob-full-day.json");
  struct Case {
    const char* name;
    std::string password;
    bool connects;
  };
  const Case cases[] = {{"the reader", server().readerPassword, true}, {"a wrong password", "wrong", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(credentials, std::ios::binary) << "[DSConnection]\r\nDSUID=" << EncodeSettingValue(server().reader)
                                                 << "\r\nDSPSW=" << EncodeSettingValue(c.password) << "\r\n";
    std::filesystem::permissions(credentials, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::replace);
    const ToolRun explain = Explain(session, {"--credentials", credentials.string()});
    EXPECT_EQ(ExplainVerdict(explain), c.connects ? "admitted 0" : "unchecked") << explain.out;
    const ToolRun report =
        RunTool(QBNOTIFY_REPORT_PATH, {"--install-path", installPath().string(), "--credentials", credentials.string()});
    EXPECT_EQ(report.status, c.connects ? 0 : 1) << report.out;
  }
  // A file that names no account is refused as bad usage.
  std::ofstream(credentials, std::ios::binary) << "[DSConnection]\r\nDSHost=x:1\r\n";
  EXPECT_EQ(RunTool(QBNOTIFY_REPORT_PATH, {"--install-path", installPath().string(), "--credentials", credentials.string()})
                .status,
            2);
}

// A refresh of the offline snapshot that fails leaves a record beside the snapshot: the doctor
// says when one last stored it and why the latest did not, naming the missing column.
TEST_F(Tools, DoctorSaysWhenTheSnapshotWasLastRefreshedAndWhyNotSince) {
  LoadDemoFarm();
  test::WriteSettingsFile(installPath(),
                          test::SettingsText(server()) + "[Offline]\r\nAdmission=cached\r\nRefreshSeconds=0\r\n");
  const auto lastRefresh = [&] {
    const ToolRun run = RunTool(QBNOTIFY_DOCTOR_PATH, {"--install-path", installPath().string(), "--json"});
    for (const auto& check : run.json["checks"])
      if (check["section"] == "offline" && check["check"] == "last refresh")
        return check["status"].get<std::string>() + " " + check["detail"].get<std::string>();
    return "no line: " + run.out;
  };
  EXPECT_EQ(lastRefresh(), "ok none recorded");
  hosted::HostedPlatform platform(Session());
  Instance instance(platform);
  ASSERT_TRUE(OpenConnections(platform, instance.connections));
  ASSERT_EQ(RefreshSnapshotIfDue(instance, 0), RefreshOutcome::Stored);
  const std::string stored = lastRefresh();
  EXPECT_EQ(stored.rfind("ok stored 20", 0), 0u) << stored;

  ds().Exec("ALTER TABLE addressgroup RENAME COLUMN Ip2 TO Ip2Away");
  const RefreshOutcome failed = RefreshSnapshotIfDue(instance, 0);
  ds().Exec("ALTER TABLE addressgroup RENAME COLUMN Ip2Away TO Ip2");
  EXPECT_EQ(failed, RefreshOutcome::Failed);
  const std::string line = lastRefresh();
  EXPECT_EQ(line.rfind("FAIL failed 20", 0), 0u) << line;
  EXPECT_NE(line.find("Ip2"), std::string::npos) << line;
  EXPECT_NE(line.find("last stored " + stored.substr(10, 19)), std::string::npos) << line;

  // Under another mode the same record is a warning; a damaged record is read as none.
  test::WriteSettingsFile(installPath(), test::SettingsText(server()) + "[Offline]\r\nAdmission=closed\r\n");
  EXPECT_EQ(lastRefresh().rfind("warn failed", 0), 0u);
  std::ofstream(installPath() / "Data" / "State" / "offline-refresh.state", std::ios::app) << "x";
  EXPECT_EQ(lastRefresh(), "ok none recorded");
}

// The doctor says how the library will search the session-load table, and what a search
// costs without the switch columns; lint suggests them for a large table.
TEST_F(Tools, DoctorAndLintSayHowTheSessionLoadTableIsSearched) {
  if (test::MinimalSchema()) GTEST_SKIP() << "the minimal schema's account holds a role of its own, not qbnotify_library";
  const struct Case {
    int rows;
    bool columns;
    const char* key;     // the application's key, when not the migration's
    const char* status;  // the doctor's check
    const char* words;
    bool suggested;  // lint's note
  } cases[] = {
      {10, false, nullptr, "ok", "LIKE, reading all 10 rows", false},
      {6000, false, nullptr, "warn", "LIKE, reading all 6000 rows", true},
      {6000, true, nullptr, "ok", "switch columns", false},
      {6000, true, "AppSwitch(64), UserSwitch(255)", "warn", "no key begins with AppSwitch whole", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.rows) + (c.columns ? " with" : " without") + " the columns");
    dc().Exec("TRUNCATE TABLE dc_sessionload; INSERT INTO dc_sessionload (InitAppName) SELECT CONCAT('k /U:u', seq) "
              "FROM seq_1_to_" + std::to_string(c.rows));
    if (c.columns) dc().Exec(ReadSource("db/migrations/sessionload-index-add.sql"));
    if (c.key)
      dc().Exec(std::string("ALTER TABLE dc_sessionload DROP KEY ix_dc_sessionload_app, ADD KEY ix_dc_sessionload_app (") +
                c.key + ")");
    const ToolRun doctor = RunTool(QBNOTIFY_DOCTOR_PATH, {"--install-path", installPath().string(), "--json"});
    const ToolRun lint = RunTool(QBNOTIFY_LINT_PATH, {"--install-path", installPath().string(), "--json"});
    if (c.columns) dc().Exec(ReadSource("db/migrations/sessionload-index-remove.sql"));
    std::string status, detail;
    for (const auto& check : doctor.json["checks"])
      if (check["section"] == "tables" && check["check"] == "dc_sessionload searches") {
        status = check["status"];
        detail = check["detail"];
      }
    EXPECT_EQ(status, c.status) << doctor.out;
    EXPECT_NE(detail.find(c.words), std::string::npos) << detail;
    EXPECT_EQ(doctor.status, 0) << doctor.out;
    bool suggested = false;
    for (const auto& finding : lint.json["findings"]) suggested = suggested || finding["code"] == "session-load-unindexed";
    EXPECT_EQ(suggested, c.suggested) << lint.out;
    EXPECT_EQ(lint.status, 0) << lint.out;
  }
}

// The doctor shows the rows kept in the local spool and, asked to, writes them back.
TEST_F(Tools, DoctorShowsTheSpoolAndWritesItBack) {
  hosted::Session session = Session();
  hosted::HostedPlatform platform(session);
  std::optional<Spool> spool = Spool::Locate(platform);
  ASSERT_TRUE(spool);
  EventRow row;
  row.time = DateTime{2026, 12, 7, 8, 30, 0};
  row.typeId = 2;
  row.sourceId = 1;
  row.eventId = 3;
  ASSERT_EQ(spool->Add(row), SpoolAddResult::Spooled);
  const auto spoolCheck = [](const ToolRun& run, const std::string& name) {
    for (const auto& check : run.json["checks"])
      if (check["section"] == "spool" && check["check"] == name)
        return check["status"].get<std::string>() + " " + check["detail"].get<std::string>();
    return std::string("missing");
  };
  const std::vector<std::string> args = {"--install-path", installPath().string(), "--json"};
  ToolRun run = RunTool(QBNOTIFY_DOCTOR_PATH, args);
  EXPECT_NE(spoolCheck(run, "rows waiting").find("1 rows, the oldest of 2026-12-07 08:30:00"), std::string::npos)
      << run.out;
  EXPECT_TRUE(log().Rows("select ID from log").empty());  // the doctor alone writes nothing

  std::vector<std::string> writeBack = args;
  writeBack.push_back("--write-back");
  run = RunTool(QBNOTIFY_DOCTOR_PATH, writeBack);
  EXPECT_EQ(spoolCheck(run, "write back").rfind("ok 1 written", 0), 0u) << run.out;
  EXPECT_EQ(spoolCheck(run, "rows waiting"), "ok none");
  EXPECT_EQ(log().Rows("select Time, EventID from log"),
            (std::vector<std::vector<std::string>>{{"2026-12-07 08:30:00", "3"}}));
}

}  // namespace
}  // namespace qbnotify
