// The startup admission as the tables grow: the wall time of one admitted HandleStartup
// (policy rule matched, application limits, duplicate-account rule, user limit) while
// securitypolicy_sub holds up to 10,000 rules of other policies and dc_sessionload up to
// 100,000 running sessions, with each check of the admission also timed on its own; all of
// it without and with the session-load table's indexed switch columns. Then the server's own
// account of the statements one startup sends at the largest size, in both forms (ANALYZE of
// each SELECT, captured from the server's general log, so the texts are exactly the
// library's).
#include <algorithm>
#include <iostream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "environment/SessionQueries.h"
#include "notify/QBNotifyMain.h"
#include "policy/DuplicateAccount.h"
#include "policy/SecurityPolicy.h"
#include "policy/SessionLimits.h"
#include "policy/SessionLoad.h"

namespace qbnotify::bench {
namespace {

constexpr int kRuleSizes[] = {0, 1000, 10000};        // rules of other policies
constexpr int kSessionSizes[] = {1000, 10000, 100000};  // rows of dc_sessionload
constexpr double kBudgetMicrosPerFigure = 1.2e6;      // each figure repeats until this is spent
constexpr int kMinRepeats = 7;
constexpr int kMaxRepeats = 60;
constexpr const char* kOwnPolicy = "SP-OWN";
// "任何名称" and "任何Mac地址" in code page 936.
constexpr const char* kAnyName = "\xC8\xCE\xBA\xCE\xC3\xFB\xB3\xC6";
constexpr const char* kAnyMac = "\xC8\xCE\xBA\xCEMac\xB5\xD8\xD6\xB7";

// The farm without growth: the application with its own policy of five rules (the fourth is
// the first to match PC-A at 10.0.0.7 with the MAC 00-11-22-33-44-55), both application
// limits set high enough to admit, alice with the duplicate-account rule and a user limit of
// 10, and three running sessions of alice from PC-A (another application).
void SetUpFarm() {
  EmptyAllTables();
  Admin ds(Server().ds);
  ds.Exec(
      "INSERT INTO Cuser (User_ID, name, RepeatLoginEnable, RunAppNum) VALUES ('U0001', 'alice', 1, 10);"
      "INSERT INTO Application (App_ID, Name, security_policy_id, app_session_count, each_user_one_session) VALUES "
      "  ('APP00000012', 'Reports', 'SP-OWN', 1000000, 1);"
      "INSERT INTO addressgroup (AddressID, AddressType, Ip1, Ip2) VALUES "
      "  ('AG-ANY', '0', '', ''), ('AG-LAN', '8', '10.0.0.0', ''), ('AG-RANGE', '4', '192.168.1.20', '192.168.1.30');"
      "INSERT INTO timegroup (TimeID, DayType, DayFlags, StartDay, EndDay, StartTime, EndTime) VALUES "
      "  ('TG-ANY', 0, '01111111', NULL, NULL, NULL, NULL),"
      "  ('TG-ALLDAY', 1, '01111111', '2000-01-01', '0000-00-00', '00:00:00', '23:59:59'),"
      "  ('TG-LATER', 1, '01111111', '2099-01-01', '0000-00-00', '00:00:00', '23:59:59')");
  ds.Exec(std::string("INSERT INTO securitypolicy_sub (SecPID, SortID, clientname, MAC, ClientProtocol, "
                      "ClientIPAddressGroupID, TimeID, Action) VALUES "
                      "  ('SP-OWN', 10, 'LAB-*', '*', 1, 'AG-ANY', 'TG-ANY', 1),"
                      "  ('SP-OWN', 20, 'PC-*', '00-11-22-*', 1, 'AG-RANGE', 'TG-ANY', 1),"
                      "  ('SP-OWN', 30, '") +
          kAnyName + "', '" + kAnyMac + "', 0, 'AG-ANY', 'TG-LATER', 1)," +
          "  ('SP-OWN', 40, 'PC-?', '00-11-22-*', 1, 'AG-LAN', 'TG-ALLDAY', 0)," +
          "  ('SP-OWN', 50, '*', '*', 0, 'AG-ANY', 'TG-ANY', 1)");
  Admin(Server().dc)
      .Exec(
          "INSERT INTO dc_sessionload (InitAppName, ClientName, StationName) SELECT "
          "  CONCAT('\"C:\\\\TAV\\\\kevshell.exe\" /N:APP00000099 /U:alice /M:00-11-22-33-44-55 /E:A', seq), 'PC-A', "
          "  CONCAT('KEV-Tcp#', seq) FROM seq_1_to_3");
}

// Grows the other policies' rules to `count`: ten rules per policy, a mix of patterns,
// address and time groups and actions.
void SetOtherRules(Admin& ds, int count) {
  ds.Exec("DELETE FROM securitypolicy_sub WHERE SecPID <> 'SP-OWN'");
  if (count > 0)
    ds.Exec("INSERT INTO securitypolicy_sub (SecPID, SortID, clientname, MAC, ClientProtocol, ClientIPAddressGroupID, "
            "TimeID, Action) SELECT CONCAT('SP-', LPAD(seq DIV 10, 5, '0')), (seq MOD 10) * 10, "
            "  ELT(1 + seq MOD 4, 'PC-*', 'LAB-?\\?', '*', CONCAT('HOST-', seq)), "
            "  ELT(1 + seq MOD 3, '*', '00-11-22-*', CONCAT('AA-BB-CC-', LPAD(HEX(seq MOD 256), 2, '0'))), "
            "  seq MOD 2, ELT(1 + seq MOD 3, 'AG-ANY', 'AG-LAN', 'AG-RANGE'), "
            "  ELT(1 + seq MOD 3, 'TG-ANY', 'TG-ALLDAY', 'TG-LATER'), seq MOD 2 "
            "FROM seq_0_to_" + std::to_string(count - 1));
  ds.Exec("ANALYZE TABLE securitypolicy_sub");
}

// Repeats `body` until the budget is spent (within the repeat bounds); the median in us.
template <typename Body>
double MedianMicros(Body body) {
  std::vector<double> times;
  double spent = 0;
  while (static_cast<int>(times.size()) < kMaxRepeats &&
         (static_cast<int>(times.size()) < kMinRepeats || spent < kBudgetMicrosPerFigure)) {
    const auto start = Clock::now();
    body();
    times.push_back(Micros(start, Clock::now()));
    spent += times.back();
  }
  return Quantile(times, 0.5);
}

struct Point {
  bool columns = false;  // dc_sessionload has the indexed switch columns
  int rules = 0;
  int sessions = 0;
  double startup = 0, policy = 0, appLimits = 0, duplicate = 0, userLimit = 0;
  std::string form;  // the session-load form the checks used
};

std::string Ms(double micros) { return Fixed(micros / 1000, micros < 10000 ? 2 : 1); }

Point Measure(const InstallDir& install, bool columns, int rules, int sessions) {
  const hosted::Session description = KevSessionAt(install);
  Point point{columns, rules, sessions, 0, 0, 0, 0, 0, {}};
  bool refused = false;
  point.startup = MedianMicros([&] {
    hosted::HostedPlatform platform(description);
    Instance instance(platform);
    HandleStartup(instance);
    refused = refused || platform.SessionEnded();
  });
  hosted::HostedPlatform platform(description);
  Instance instance(platform);
  if (!OpenConnections(platform, instance.connections)) throw std::runtime_error("the connections do not open");
  // The checks read the session's facts from the context, as startup leaves it.
  instance.context.InitialProgram = GetInitialProgram(platform, kCurrentSession);
  instance.context.ClientName = GetClientName(platform, kCurrentSession);
  FillSecondStage(instance);
  point.policy = MedianMicros([&] { refused = refused || !MatchSecurityPolicy(instance, kOwnPolicy).admits; });
  point.appLimits = MedianMicros([&] { refused = refused || !CheckAppSessionLimits(instance).admits; });
  point.duplicate = MedianMicros([&] { refused = refused || HasSessionOnOtherClient(instance, "alice", "PC-A"); });
  point.userLimit = MedianMicros([&] { refused = refused || CheckUserSessionLimit(instance).result != 0; });
  point.form = ChooseSessionLoadForm(instance) == SessionLoadForm::SwitchColumns ? "columns" : "LIKE";
  if (refused) throw std::runtime_error("the benchmark session was refused; the farm's set-up is wrong");
  return point;
}

// Captures the statements of one startup from the general log, with the database each ran in.
struct Captured {
  std::string database;
  std::string sql;
};
std::vector<Captured> CaptureStartup(const InstallDir& install) {
  Admin root(Server().ds);
  root.Exec("SET GLOBAL general_log = 0; SET GLOBAL log_output = 'TABLE'; TRUNCATE TABLE mysql.general_log;"
            "SET GLOBAL general_log = 1");
  {
    hosted::HostedPlatform platform(KevSessionAt(install));
    Instance instance(platform);
    HandleStartup(instance);
  }
  root.Exec("SET GLOBAL general_log = 0");
  // The log table keeps the order in which the commands were logged.
  const auto rows = root.Rows("SELECT user_host, thread_id, command_type, argument FROM mysql.general_log");
  std::map<std::string, std::string> databaseOf;
  std::vector<Captured> statements;
  const std::regex connectLine(" on ([A-Za-z0-9_]+)");
  for (const auto& row : rows) {
    const std::string& user = row[0];
    const std::string& thread = row[1];
    const std::string& command = row[2];
    const std::string& argument = row[3];
    std::smatch match;
    // A Connect line names the account and the database: "user@host on db using TCP/IP".
    if (command == "Connect" && argument.rfind(Server().user + "@", 0) == 0 &&
        std::regex_search(argument, match, connectLine))
      databaseOf[thread] = match[1];
    if (command == "Query" && user.rfind(Server().user + "[", 0) == 0) statements.push_back({databaseOf[thread], argument});
  }
  return statements;
}

void PrintAnalyze(const std::vector<Captured>& statements) {
  Table table({"statement", "db", "table", "type", "key", "rows", "r_rows", "r_filtered", "Extra"});
  int number = 0;
  std::vector<std::string> legend;
  for (const Captured& statement : statements) {
    std::string lower = statement.sql.substr(0, 6);
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    if (lower != "select") continue;
    ++number;
    std::string shortText = statement.sql.substr(0, 110);
    if (statement.sql.size() > 110) shortText += " ...";
    Admin admin(statement.database);
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows;
    try {
      rows = admin.Rows("ANALYZE " + statement.sql, &columns);
    } catch (const std::runtime_error&) {
      // A search naming the switch columns on a table without them: the server refused it,
      // and the library sent it again with LIKE (the next statement).
      shortText += "  [refused: no such column]";
    }
    legend.push_back(std::to_string(number) + ". " + shortText);
    auto column = [&](const std::vector<std::string>& row, const char* name) {
      for (std::size_t i = 0; i < columns.size(); ++i)
        if (columns[i] == name) return row[i];
      return std::string();
    };
    for (const auto& row : rows)
      table.Add({std::to_string(number), statement.database == Server().ds ? "DS" : "DC", column(row, "table"),
                 column(row, "type"), column(row, "key"), column(row, "rows"), column(row, "r_rows"),
                 column(row, "r_filtered"), column(row, "Extra")});
  }
  for (const std::string& line : legend) std::cout << ' ' << line << '\n';
  std::cout << '\n';
  table.Print();
}

int Run() {
  SetUpFarm();
  Admin ds(Server().ds);
  Admin dc(Server().dc);
  std::cout << "QBNotify admission benchmark: one admitted startup while the tables grow, without and with\n"
               "dc_sessionload's indexed switch columns. Rules: rules of\n"
               "other policies in securitypolicy_sub (the application's own policy has 5, the 4th matches);\n"
               "sessions: rows of dc_sessionload (200 applications, 5,000 users; 1 row in 200 is of the\n"
               "application being started). Median wall times in milliseconds; startup includes its three\n"
               "connects and two event records; the checks run on connections already open.\n";

  std::vector<Point> points;
  for (bool columns : {false, true}) {
    // Each half on a terminal server of its own: a clean state directory, no note of the other.
    InstallDir install;
    SetSessionLoadColumns(dc, columns);
    for (int sessions : kSessionSizes) {
      SetRunningSessions(dc, sessions);
      for (int rules : kRuleSizes) {
        SetOtherRules(ds, rules);
        for (int i = 0; i < 3; ++i) {  // warm the buffer pool and the plans
          hosted::HostedPlatform platform(KevSessionAt(install));
          Instance instance(platform);
          HandleStartup(instance);
        }
        // The set-up's inserts are still being written and purged a while after it ends.
        if (!WaitForQuietServer(ds, std::chrono::seconds(60)))
          std::cerr << "the server was still busy with the set-up after 60 s; measuring anyway\n";
        points.push_back(Measure(install, columns, rules, sessions));
      }
    }
  }

  Heading("Wall time of one startup admission and of its checks (ms, median)");
  Table table({"switch columns", "form used", "rules", "sessions", "startup", "policy match", "app limits",
               "duplicate account", "user limit"});
  for (const Point& p : points)
    table.Add({p.columns ? "yes" : "no", p.form, std::to_string(p.rules), std::to_string(p.sessions), Ms(p.startup),
               Ms(p.policy), Ms(p.appLimits), Ms(p.duplicate), Ms(p.userLimit)});
  table.Print();
  // How the startup grows with the session-load table, at the most rules, in each form.
  constexpr std::size_t kPerForm = std::size(kSessionSizes) * std::size(kRuleSizes);
  for (std::size_t form = 0; form < 2; ++form) {
    const Point& first = points[form * kPerForm + std::size(kRuleSizes) - 1];
    const Point& last = points[(form + 1) * kPerForm - 1];
    const double rowsAdded = (last.sessions - first.sessions) / 1000.0;
    std::cout << (form ? " with" : " without") << " the switch columns, startup grows by "
              << Fixed((last.startup - first.startup) / rowsAdded / 1000, 2) << " ms per 1,000 rows of dc_sessionload; at "
              << last.sessions << " rows it takes " << Fixed(last.startup / first.startup, 2) << " times its time at "
              << first.sessions << " rows (" << last.rules << " rules).\n";
  }
  std::cout << " form used: how the checks searched dc_sessionload (each half starts from a clean state directory).\n";
  std::cout << " policy match: the rule query (MatchSecurityPolicy); app limits: CheckAppSessionLimits (its\n"
               " application row and two searches of dc_sessionload); duplicate account: the search for the\n"
               " user's sessions on other client computers; user limit: RunAppNum and the per-client count.\n";

  for (bool columns : {false, true}) {
    InstallDir install;
    SetSessionLoadColumns(dc, columns);
    Heading("What the server does for each SELECT of one startup at " + std::to_string(kRuleSizes[2]) + " rules and " +
            std::to_string(kSessionSizes[2]) + " sessions, " + (columns ? "with" : "without") +
            " the switch columns (ANALYZE)");
    PrintAnalyze(CaptureStartup(install));
  }
  SetSessionLoadColumns(dc, false);
  std::cout << " rows: the optimizer's estimate; r_rows: rows actually read per scan; r_filtered: the\n"
               " percentage of them that passed the WHERE conditions.\n";
  return 0;
}

}  // namespace
}  // namespace qbnotify::bench

int main() { return qbnotify::bench::RunReporting("admission benchmark", qbnotify::bench::Run); }
