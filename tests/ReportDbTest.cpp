// qbnotify-report against the private server: a known history read back through the tool
// (sessions, peak beside the limit, Chinese names, refusals, filters), nothing written, and
// its page loaded in headless Chromium: no script error, every chart drawn, the numbers shown
// those of the JSON.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include <nlohmann/json.hpp>

#include "TestDatabase.h"
#include "tools/qbnotify-report/ReportIndexes.h"

namespace qbnotify {
namespace {

using nlohmann::json;

struct ToolRun {
  int status = -1;
  std::string out;
  json parsed;
};

ToolRun RunReport(std::vector<std::string> args) {
  test::TempDir dir;
  const std::string outPath = (dir.Path() / "out.txt").string();
  const pid_t child = fork();
  if (child == 0) {
    if (!freopen(outPath.c_str(), "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(127);
    args.insert(args.begin(), QBNOTIFY_REPORT_PATH);
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
  run.parsed = json::parse(run.out, nullptr, false);
  return run;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

class Report : public test::DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    // 财务报表 and 人事档案, and the user 张伟, in code page 936.
    ds().Exec("INSERT INTO Application (App_ID, Name, security_policy_id, app_session_count, each_user_one_session) VALUES "
              "('APP00000012', X'B2C6CEF1B1A8B1ED', 'SP01', 2, 0), ('APP00000030', X'C8CBCAC2B5B5B0B8', NULL, 0, 0)");
    ds().Exec("INSERT INTO Cuser (User_ID, name, RepeatLoginEnable, RunAppNum) VALUES ('U0003', X'D5C5CEB0', 0, 0), "
              "('U0001', 'alice', 0, 0)");
    // Identifiers run against time, as rows written back from the spool would have them.
    int id = 99;
    const auto audit = [&](const char* sid, const std::string& user, const char* app, const char* mac, const char* start,
                           const char* stop) {
      log().Exec("INSERT INTO appshenji (logid, sessionid, farmuser, appid, appshowname, clientmac, starttime, stoptime) "
                 "VALUES ('lap000000" + std::to_string(id--) + "', '" + sid + "', " + user + ", '" + app + "', '', '" + mac +
                 "', '" + start + "', '" + stop + "')");
    };
    const std::string zhang = "X'D5C5CEB0'", alice = "'alice'", bob = "'bob'";
    const char* zero = "0000-00-00 00:00:00";
    audit("S1", zhang, "APP00000012", "M1", "2026-03-01 09:00:00", zero);
    audit("S1", zhang, "APP00000012", "M1", "2026-03-01 09:00:00", "2026-03-01 09:30:00");
    audit("S1", zhang, "APP00000012", "M1", "2026-03-01 09:40:00", "2026-03-01 09:30:00");
    audit("S1", zhang, "APP00000012", "M1", "2026-03-01 09:40:00", "2026-03-01 10:30:00");
    audit("S2", alice, "APP00000012", "M2", "2026-03-01 09:15:00", zero);
    audit("S2", alice, "APP00000012", "M2", "2026-03-01 09:15:00", "2026-03-01 09:45:00");
    audit("S3", bob, "APP00000012", "M3", "2026-03-01 09:44:00", zero);
    audit("S3", bob, "APP00000012", "M3", "2026-03-01 09:44:00", "2026-03-01 09:50:00");
    audit("", alice, "APP00000012", "M2", "2026-03-02 23:50:00", zero);
    audit("", alice, "APP00000012", "M2", "2026-03-02 23:50:00", "2026-03-03 00:20:00");
    audit("S5", bob, "APP00000012", "M3", "2026-03-03 08:00:00", zero);
    audit("S6", zhang, "APP00000030", "M1", "2026-03-02 10:00:00", zero);
    audit("S6", zhang, "APP00000030", "M1", "2026-03-02 10:00:00", "2026-03-02 11:00:00");
    // Never written so; its user's name would end the page's script if it were embedded as is.
    audit("S7", "'<!--</script>x'", "APP00000030", "M3", "2026-03-02 11:00:00", "2026-03-02 10:00:00");

    // Startup records: refused by the policy, by the shell check, for an unknown application,
    // without a record; and one admitted.
    int event = 0;
    const auto record = [&](const char* user, const char* app, const char* computer, int type, int eventId, const char* p1) {
      log().Exec("INSERT INTO log (ID, Time, TypeID, SourceID, UserID, AppID, ComputerName, EventID, Parameter1, Parameter2) "
                 "VALUES ('Log000000" + std::to_string(10 + event++) + "', '2026-03-01 12:00:00', " + std::to_string(type) +
                 ", 1, '" + user + "', '" + app + "', '" + computer + "', " + std::to_string(eventId) + ", '" + p1 + "', '')");
    };
    for (const auto& [user, app, computer, outcome] :
         std::vector<std::tuple<const char*, const char*, const char*, const char*>>{{"U0003", "APP00000012", "KIOSK-7", "SP01"},
                                                                                    {"U0001", "APP00000099", "PC-9", ""},
                                                                                    {"U0001", "APP00000012", "PC-8", "shell"},
                                                                                    {"U0001", "APP00000012", "PC-1", "none"},
                                                                                    {"U0001", "APP00000012", "PC-2", "logon"}}) {
      const std::string what = outcome;
      record(user, app, computer, 1, 2, "00-11");
      record(user, app, computer, 2, 1 + (what != "shell"), "");
      if (what == "logon") record(user, app, computer, 2, 3, "");
      else if (what != "shell" && what != "none") record(user, app, computer, 2, 1, outcome);
    }
    // Decided without the database and written back later: one admitted from the cached
    // rules (it then logged on), one refused with no usable snapshot.
    const auto offline = [&](const char* computer, int type, int eventId, const std::string& mark) {
      log().Exec("INSERT INTO log (ID, Time, TypeID, SourceID, UserID, AppID, ComputerName, EventID, Parameter1, Parameter2) "
                 "VALUES ('Log000000" + std::to_string(10 + event++) + "', '2026-03-02 07:00:00', " + std::to_string(type) +
                 ", 1, 'U0001', 'APP00000012', '" + computer + "', " + std::to_string(eventId) + ", '', '" + mark + "')");
    };
    offline("PC-OFF", 1, 2, "offline cached");
    offline("PC-OFF", 2, 2, "offline cached; not checked: application limits, duplicate account, user limit");
    record("U0001", "APP00000012", "PC-OFF", 2, 3, "");
    offline("PC-OFF", 1, 2, "offline closed");
    offline("PC-OFF", 2, 2, "offline closed");
    offline("PC-OFF", 2, 1, "offline closed");
  }

  std::vector<std::string> Args(std::vector<std::string> more) {
    std::vector<std::string> args = {"--install-path", installPath().string(), "--from", "2026-03-01", "--to", "2026-03-03"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
};

const json& App(const json& report, const std::string& id) {
  for (const json& app : report["applications"])
    if (app["app_id"] == id) return app;
  static const json none;
  ADD_FAILURE() << "no application " << id;
  return none;
}

TEST_F(Report, KnownHistoryReadBackWithoutWriting) {
  const std::string before = log().Scalar("CHECKSUM TABLE appshenji") + log().Scalar("CHECKSUM TABLE log");
  const ToolRun run = RunReport(Args({"--json"}));
  ASSERT_EQ(run.status, 0) << run.out;
  ASSERT_FALSE(run.parsed.is_discarded()) << run.out;
  const json& r = run.parsed;
  const json& finance = App(r, "APP00000012");
  EXPECT_EQ(finance["name"], "财务报表");
  EXPECT_EQ(finance["sessions"], 5);
  EXPECT_EQ(finance["users"], 3);
  EXPECT_EQ(finance["clients"], 3);
  EXPECT_EQ(finance["peak_sessions"], 3);
  EXPECT_EQ(finance["peak_at"], "2026-03-01 09:44");
  EXPECT_EQ(finance["limit"], 2);
  EXPECT_EQ(finance["open_sessions"], 1);
  EXPECT_EQ(App(r, "APP00000030")["limit"], nullptr);
  EXPECT_EQ(App(r, "APP00000030")["name"], "人事档案");
  EXPECT_EQ(r["farm"]["sessions"], 6);
  EXPECT_EQ(r["farm"]["users"], 3);
  EXPECT_EQ(r["days"][1]["sessions"], 2);  // alice across midnight and 张伟's second application
  EXPECT_EQ(r["days"][2]["sessions"], 2);
  EXPECT_EQ(r["top_users"].size(), 3u);
  EXPECT_EQ(r["anomalies"]["count"], 1);
  EXPECT_EQ(r["anomalies"]["listed"][0]["kind"], "stop-before-start");

  std::map<std::string, int> reasons;
  for (const json& line : r["refusals"]["by_reason"])
    reasons[line["reason"].get<std::string>() + line.value("policy_id", "")] = line["count"];
  EXPECT_EQ(reasons, (std::map<std::string, int>{
                         {"policySP01", 1}, {"shell", 1}, {"application-rule", 1}, {"unrecorded", 1}, {"offline-closed", 1}}));
  EXPECT_EQ(r["refusals"]["recorded"], 4);
  EXPECT_EQ(r["offline_decisions"], json::parse(R"([{"mode": "cached", "sessions": 1, "admitted": 1, "refused": 0},
                                                   {"mode": "closed", "sessions": 1, "admitted": 0, "refused": 1}])"));
  EXPECT_EQ(log().Scalar("CHECKSUM TABLE appshenji") + log().Scalar("CHECKSUM TABLE log"), before);
}

TEST_F(Report, FiltersByApplicationAndUser) {
  const ToolRun byUser = RunReport(Args({"--json", "--user", "张伟"}));
  ASSERT_EQ(byUser.status, 0);
  EXPECT_EQ(byUser.parsed["farm"]["sessions"], 2);
  EXPECT_EQ(byUser.parsed["refusals"]["recorded"], 1);  // the kiosk's policy refusal
  const ToolRun byApp = RunReport(Args({"--json", "--app", "APP00000030"}));
  ASSERT_EQ(byApp.status, 0);
  EXPECT_EQ(byApp.parsed["farm"]["sessions"], 1);
  EXPECT_EQ(byApp.parsed["applications"].size(), 1u);
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"2026-02-30", "2026-03-03"}, {"2026-03-01", "yesterday"}, {"2026-03-05", "2026-03-03"}})
    EXPECT_EQ(RunReport({"--install-path", installPath().string(), "--from", from, "--to", to}).status, 2) << from << ' ' << to;
}

TEST_F(Report, CsvTablesInUtf8) {
  test::TempDir dir;
  ASSERT_EQ(RunReport(Args({"--csv", dir.Path().string()})).status, 0);
  const std::string apps = ReadFile(dir.Path() / "applications.csv");
  EXPECT_EQ(apps.rfind("\xEF\xBB\xBF" "app_id,name,sessions,", 0), 0u);
  EXPECT_NE(apps.find("APP00000012,财务报表,5,3,3,3,2026-03-01 09:44,2,1,"), std::string::npos) << apps;
  const std::string sessions = ReadFile(dir.Path() / "sessions.csv");
  EXPECT_NE(sessions.find("S1,张伟,APP00000012,M1,2026-03-01 09:00:00,2026-03-01 10:30:00,0,5400,4800,600"), std::string::npos)
      << sessions;
}

// Runs one of the migrations' files, statement by statement.
void RunSqlFile(test::AdminConnection& connection, const std::string& name) {
  std::stringstream text;
  std::istringstream file(ReadFile(std::filesystem::path(QBNOTIFY_SOURCE_DIR) / "db/migrations" / name));
  for (std::string line; std::getline(file, line);)
    if (line.rfind("--", 0) != 0) text << line << '\n';
  std::string statement;
  while (std::getline(text, statement, ';'))
    if (statement.find_first_not_of(" \n") != std::string::npos) connection.Exec(statement);
}

// The cases found wrong at a period's edges, read through the tool from the database: a day
// whose sessions cross both of its edges, a logoff exactly at its end, sessions disconnected at
// their last row (the event log tells a disconnect from a logoff), a stop written by a clock
// set back, one disconnected since before the period; the same answers with the report's
// indexes as without.
TEST_F(Report, EdgesOfThePeriodWithAndWithoutTheIndexes) {
  ds().Exec("INSERT INTO Cuser (User_ID, name, RepeatLoginEnable, RunAppNum) VALUES ('U0104', 'edge4', 0, 0), "
            "('U0105', 'edge5', 0, 0)");
  int id = 500;
  const auto audit = [&](const char* user, const char* start, const char* stop) {
    log().Exec(std::string("INSERT INTO appshenji (logid, sessionid, farmuser, appid, appshowname, clientmac, starttime, stoptime) "
                           "VALUES ('lap00000") + std::to_string(id++) + "', 'E', '" + user + "', 'APP00000030', '', 'ME', '" +
               start + "', '" + stop + "')");
  };
  const char* zero = "0000-00-00 00:00:00";
  audit("edge1", "2026-04-01 23:00:00", zero);
  audit("edge1", "2026-04-01 23:00:00", "2026-04-02 01:00:00");
  audit("edge2", "2026-04-02 22:00:00", zero);
  audit("edge2", "2026-04-02 22:00:00", "2026-04-03 00:00:00");
  audit("edge3", "2026-04-02 18:00:00", zero);
  audit("edge3", "2026-04-02 18:00:00", "2026-04-02 18:30:00");
  audit("edge3", "2026-04-03 08:00:00", "2026-04-02 18:30:00");
  audit("edge4", "2026-04-02 09:00:00", zero);
  audit("edge4", "2026-04-02 09:00:00", "2026-04-02 10:00:00");
  audit("edge5", "2026-04-02 11:00:00", zero);
  audit("edge5", "2026-04-02 11:00:00", "2026-04-02 11:30:00");
  audit("edge6", "2026-04-02 12:00:00", zero);
  audit("edge6", "2026-04-02 12:00:00", "2026-04-02 11:00:00");
  audit("edge7", "2026-03-25 10:00:00", zero);
  audit("edge7", "2026-03-25 10:00:00", "2026-03-25 11:00:00");
  audit("edge7", "2026-03-25 10:00:00", "2026-04-04 00:00:00");
  log().Exec("INSERT INTO log (ID, Time, TypeID, SourceID, UserID, AppID, ComputerName, EventID, Parameter1, Parameter2) VALUES "
             "('Log00000900', '2026-04-02 10:00:02', 2, 1, 'U0104', 'APP00000030', 'PC', 4, '', ''), "
             "('Log00000901', '2026-04-02 11:30:01', 2, 1, 'U0105', 'APP00000030', 'PC', 6, '', '')");

  // Only this application: bob's session of the other, open since March, is in use too.
  const std::vector<std::string> args = {"--install-path", installPath().string(), "--from", "2026-04-02", "--to",
                                         "2026-04-02", "--app", "APP00000030", "--json"};
  const ToolRun without = RunReport(args);
  ASSERT_EQ(without.status, 0) << without.out;
  const json& farm = without.parsed["farm"];
  EXPECT_EQ(farm["sessions"], 7);
  EXPECT_EQ(farm["open_sessions"], 3);  // edge3, edge4 and edge7
  EXPECT_EQ(farm["connected_seconds"], 3600 + 7200 + 1800 + 3600 + 1800);
  EXPECT_EQ(farm["disconnected_seconds"], 19800 + 50400 + 86400);
  EXPECT_EQ(farm["peak_sessions"], 4);
  EXPECT_EQ(farm["peak_at"], "2026-04-02 22:00");
  EXPECT_EQ(without.parsed["anomalies"]["listed"][0]["kind"], "stop-before-start");
  // A look-back shorter than edge7's age leaves it out.
  std::vector<std::string> shortLookBack = args;
  shortLookBack.insert(shortLookBack.end(), {"--look-back", "3"});
  EXPECT_EQ(RunReport(shortLookBack).parsed["farm"]["sessions"], 6);

  RunSqlFile(log(), "report-index-add.sql");
  EXPECT_EQ(log().Scalar(report::kReportIndexesSql), "3");
  const ToolRun with = RunReport(args);
  RunSqlFile(log(), "report-index-remove.sql");
  EXPECT_EQ(log().Scalar(report::kReportIndexesSql), "0");
  ASSERT_EQ(with.status, 0);
  EXPECT_EQ(with.parsed, without.parsed);
}

// Every field of every CSV file the tool writes that a spreadsheet would run as a formula is
// written as text: the client chooses the user (/U:), the MAC (/M:) and the session id (/E:).
TEST_F(Report, NoCsvCellASpreadsheetWouldRun) {
  log().Exec("INSERT INTO appshenji (logid, sessionid, farmuser, appid, appshowname, clientmac, starttime, stoptime) VALUES "
             "('lap00000700', '@SUM(1+1)*c', '-2+3', 'APP00000012', '', '=HYPERLINK(\"http://x\",\"y\")', "
             "'2026-03-02 10:00:00', '0000-00-00 00:00:00'), "
             "('lap00000701', '+1', '@SUM(1+1)*cmd|''/C', 'APP00000012', '', '-0', '2026-03-02 10:00:00', '0000-00-00 00:00:00')");
  test::TempDir dir;
  ASSERT_EQ(RunReport(Args({"--csv", dir.Path().string()})).status, 0);
  int files = 0, fields = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
    ++files;
    std::istringstream text(ReadFile(entry.path()).substr(3));
    for (std::string line; std::getline(text, line, '\n');) {
      // Splits at commas outside quotes; a quoted field is read without its quotes.
      std::string field;
      bool quoted = false;
      const auto check = [&] {
        ++fields;
        EXPECT_TRUE(field.empty() || std::string("=+-@\t\r").find(field.front()) == std::string::npos)
            << entry.path().filename() << ": " << line;
        field.clear();
      };
      for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"') quoted = !quoted;
        else if (c == ',' && !quoted) check();
        else if (c != '\r' || quoted || i + 1 < line.size()) field += c;
      }
      check();
    }
  }
  EXPECT_EQ(files, 12);
  EXPECT_GT(fields, 500);
  const std::string sessions = ReadFile(dir.Path() / "sessions.csv"), users = ReadFile(dir.Path() / "top_users.csv"),
                    clients = ReadFile(dir.Path() / "top_clients.csv");
  EXPECT_NE(sessions.find("'@SUM(1+1)*c,'-2+3,APP00000012,\"'=HYPERLINK(\"\"http://x\"\",\"\"y\"\")\""), std::string::npos) << sessions;
  EXPECT_NE(users.find("'@SUM(1+1)*cmd|'/C,1"), std::string::npos) << users;
  EXPECT_NE(clients.find("'-0,1"), std::string::npos) << clients;
}

// Headless Chromium loads the page from disk; skipped only where Chromium is not installed.
TEST_F(Report, PageDrawsEveryChartAndShowsTheJsonsNumbers) {
  if (system("command -v chromium >/dev/null 2>&1") != 0) GTEST_SKIP() << "chromium is not installed (scripts/test installs it)";
  test::TempDir dir;
  const std::filesystem::path page = dir.Path() / "report.html";
  const ToolRun run = RunReport(Args({"--json", "--html", page.string()}));
  ASSERT_EQ(run.status, 0);
  const std::string command = "cd " + dir.Path().string() + " && timeout 120 chromium --headless --no-sandbox --disable-gpu "
                              "--user-data-dir=" + (dir.Path() / "profile").string() +
                              " --enable-logging=stderr --v=0 --window-size=1280,2000 --dump-dom file://" + page.string() +
                              " >dom.html 2>console.txt";
  ASSERT_EQ(system(command.c_str()), 0) << ReadFile(dir.Path() / "console.txt");
  const std::string dom = ReadFile(dir.Path() / "dom.html");
  const std::string console = ReadFile(dir.Path() / "console.txt");

  EXPECT_NE(dom.find("data-ready=\"1\""), std::string::npos) << "the page's script did not finish";
  const std::size_t errors = dom.find("data-script-errors=\"");
  EXPECT_EQ(errors, std::string::npos) << dom.substr(errors == std::string::npos ? 0 : errors, 400);
  EXPECT_EQ(console.find("Uncaught"), std::string::npos) << console;
  const std::regex chart("<[a-z]+ [^>]*data-chart=\"([^\"]+)\"[^>]*>");
  int charts = 0;
  for (auto it = std::sregex_iterator(dom.begin(), dom.end(), chart); it != std::sregex_iterator(); ++it, ++charts)
    EXPECT_NE(it->str().find("data-drawn=\"1\""), std::string::npos) << (*it)[1] << " was not drawn";
  EXPECT_EQ(charts, 1 + 2 + 3);  // the farm's and two applications' concurrency; days, refusals, weekday by hour

  // Every number of the applications' table as the JSON has it.
  const std::regex cell("<td data-key=\"([^\"]*)\" data-field=\"([a-z_]+)\" class=\"[a-z]+\">([^<]*)</td>");
  std::map<std::pair<std::string, std::string>, std::string> shown;
  const auto at = [&](const std::string& key, const std::string& field) { return shown[std::make_pair(key, field)]; };
  for (auto it = std::sregex_iterator(dom.begin(), dom.end(), cell); it != std::sregex_iterator(); ++it)
    shown[{(*it)[1], (*it)[2]}] = (*it)[3];
  int compared = 0;
  for (const json& app : run.parsed["applications"])
    for (const char* field : {"name", "sessions", "users", "clients", "peak_sessions", "peak_at", "limit", "open_sessions"}) {
      const json& value = app[field];
      const std::string expected = value.is_null() ? "" : value.is_string() ? value.get<std::string>() : value.dump();
      EXPECT_EQ(at(app["app_id"].get<std::string>(), field), expected) << app["app_id"] << ' ' << field;
      ++compared;
    }
  EXPECT_EQ(at("*", "sessions"), run.parsed["farm"]["sessions"].dump());
  EXPECT_EQ(at("cached", "admitted"), "1");
  EXPECT_EQ(at("closed", "refused"), "1");

  // Every count of 1 or more draws a bar of some height: its column of the canvas has pixels
  // of the bar's colour (the values axis starts at zero).
  const std::regex pixels("id=\"chart-refusals\"[^>]*data-bar-pixels=\"([0-9,]*)\"");
  std::smatch drawn;
  ASSERT_TRUE(std::regex_search(dom, drawn, pixels)) << "the refusals chart left no pixel counts";
  std::vector<int> heights;
  std::stringstream list(drawn[1].str());
  for (std::string n; std::getline(list, n, ',');) heights.push_back(std::stoi(n));
  ASSERT_EQ(heights.size(), run.parsed["refusals"]["by_reason"].size());
  for (std::size_t i = 0; i < heights.size(); ++i) {
    if (run.parsed["refusals"]["by_reason"][i]["count"] > 0) {
      EXPECT_GT(heights[i], 5) << run.parsed["refusals"]["by_reason"][i].dump() << " drew no visible bar";
    }
  }
  EXPECT_EQ(at("2026-03-02", "sessions"), run.parsed["days"][1]["sessions"].dump());
  EXPECT_EQ(compared, 16);
}

}  // namespace
}  // namespace qbnotify
