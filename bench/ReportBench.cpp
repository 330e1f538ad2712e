// The usage report over a farm's history: the audit and the event log over three years up to
// the server's today, made by the server itself (the sequence engine, one statement per
// table) on tables with only their primary keys, as a farm's may be. Measured: the report of
// the last week without the report's indexes, the migration that adds them, the same report
// with them against one read of that week's audit rows with the mariadb client, and the
// report's peak memory.
//
//   qbnotify-bench-report [AUDIT_ROWS [EVENT_ROWS]]     (default 10000000 30000000)
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "bench/BenchSupport.h"

namespace qbnotify::bench {
namespace {

long g_auditRows = 10000000, g_eventRows = 30000000;
constexpr long kHistorySeconds = 3L * 365 * 86400;
// What a row takes on disk with its keys, roughly (measured: about 110 and 120 bytes).
constexpr double kBytesPerRow = 200;

struct ChildRun {
  double seconds = 0;
  double cpuSeconds = 0;  // the program's own, user and system
  long maxRssKiB = 0;
  int status = -1;
};

// Runs a program with its standard output thrown away; its wall time and peak memory.
ChildRun RunChild(std::vector<std::string> args) {
  std::cout.flush();
  std::fflush(stdout);  // or the child's freopen writes the buffered text a second time
  const Clock::time_point start = Clock::now();
  const pid_t child = fork();
  if (child == 0) {
    if (!freopen("/dev/null", "w", stdout)) _exit(127);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  ChildRun run;
  run.seconds = Micros(start, Clock::now()) / 1e6;
  run.maxRssKiB = usage.ru_maxrss;
  run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (run.status != 0) throw std::runtime_error(args[0] + " exited with status " + std::to_string(run.status));
  return run;
}

double Seconds(Clock::time_point since) { return Micros(since, Clock::now()) / 1e6; }

void RunSqlFile(Admin& log, const std::string& name) {
  std::ifstream file(std::string(QBNOTIFY_SOURCE_DIR) + "/db/migrations/" + name);
  if (!file) throw std::runtime_error("cannot read db/migrations/" + name);
  std::stringstream text;
  for (std::string line; std::getline(file, line);)
    if (line.rfind("--", 0) != 0) text << line << '\n';
  std::string statement;
  while (std::getline(text, statement, ';'))
    if (statement.find_first_not_of(" \n") != std::string::npos) log.Exec(statement);
}

// Sessions of four audit rows each (logon, disconnect, reconnect, logoff) spread evenly over
// three years: 2,000 users, 20 applications, 5,000 client computers. Event records of the six
// kinds a session leaves (startup, shell check, logon, disconnect, reconnect, logoff), a
// policy refusal now and then, the users in Cuser so that disconnects can be matched.
void MakeRows(Admin& ds, Admin& log) {
  EmptyAllTables();
  for (const char* drop : {"ALTER TABLE appshenji DROP KEY IF EXISTS ix_appshenji_app, DROP KEY IF EXISTS ix_appshenji_user",
                           "ALTER TABLE log DROP KEY IF EXISTS ix_log_time, DROP KEY IF EXISTS ix_log_app"})
    log.Exec(drop);
  RunSqlFile(log, "report-index-remove.sql");
  ds.Exec("INSERT INTO Application (App_ID, Name, security_policy_id, app_session_count, each_user_one_session) "
          "SELECT CONCAT('APP', LPAD(seq, 8, '0')), CONCAT('应用 ', seq), NULL, 40, 0 FROM seq_1_to_20");
  ds.Exec("INSERT INTO Cuser (User_ID, name, RepeatLoginEnable, RunAppNum) "
          "SELECT CONCAT('U', seq), CONCAT('user', seq), 0, 0 FROM seq_0_to_1999");
  const std::string base = "TIMESTAMP(CURDATE() - INTERVAL " + std::to_string(kHistorySeconds) + " SECOND)";
  const long sessions = std::max(1L, g_auditRows / 4);
  // Row seq is kind seq % 4 of session seq DIV 4, which logs on at l and lasts d seconds.
  const std::string l = "(" + base + " + INTERVAL (seq DIV 4) * " + std::to_string(kHistorySeconds) + " DIV " +
                        std::to_string(sessions) + " SECOND)";
  const std::string d = "(600 + (seq DIV 4) * 7919 % 14400)";
  const std::string start = "IF(seq % 4 < 2, " + l + ", " + l + " + INTERVAL " + d + " DIV 2 + 60 SECOND)";
  const std::string stop = "ELT(seq % 4 + 1, '0000-00-00 00:00:00', " + l + " + INTERVAL " + d + " DIV 2 SECOND, " + l + " + INTERVAL " + d +
                           " DIV 2 SECOND, " + l + " + INTERVAL " + d + " + 60 SECOND)";
  log.Exec("INSERT INTO appshenji (logid, sessionid, farmuser, appid, appshowname, clientmac, starttime, stoptime) "
           "SELECT CONCAT('lap', LPAD(seq, 8, '0')), CONCAT('S', seq DIV 4 % 100000000), CONCAT('user', seq DIV 4 % 2000), "
           "CONCAT('APP', LPAD(seq DIV 4 % 20 + 1, 8, '0')), '', CONCAT('00-11-22-', seq DIV 4 % 5000), " +
           start + ", " + stop + " FROM seq_0_to_" + std::to_string(sessions * 4 - 1));
  log.Exec("INSERT INTO log (ID, Time, TypeID, SourceID, UserID, AppID, ComputerName, EventID, Parameter1, Parameter2) "
           "SELECT CONCAT('Log', LPAD(seq, 8, '0')), " + base + " + INTERVAL seq * " + std::to_string(kHistorySeconds) +
           " DIV " + std::to_string(g_eventRows) + " SECOND, IF(seq % 6 = 0, 1, 2), 1, CONCAT('U', seq DIV 6 % 2000), "
           "CONCAT('APP', LPAD(seq DIV 6 % 20 + 1, 8, '0')), CONCAT('PC-', seq DIV 6 % 5000), "
           "IF(seq % 60 = 5, 1, ELT(seq % 6 + 1, 2, 2, 3, 4, 5, 6)), IF(seq % 60 = 5, 'SP01', ''), '' FROM seq_0_to_" +
           std::to_string(g_eventRows - 1));
}

std::string Megabytes(Admin& log, const char* table) {
  return Fixed(static_cast<double>(log.ScalarNumber(std::string("SELECT DATA_LENGTH + INDEX_LENGTH FROM information_schema.TABLES "
                                                                "WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = '") +
                                                    table + "'")) / 1048576, 0);
}

int Run() {
  Heading("usage report over " + std::to_string(g_auditRows) + " audit rows and " + std::to_string(g_eventRows) +
          " event rows, three years up to today");
  Admin ds(Server().ds);
  Admin log(Server().log);
  // Enough room for the tables and the index builds' sort files, with some to spare.
  struct statvfs disk{};
  const std::string datadir = log.Scalar("SELECT @@datadir");
  const double needed = static_cast<double>(g_auditRows + g_eventRows) * kBytesPerRow * 2;
  if (statvfs(datadir.c_str(), &disk) == 0 && static_cast<double>(disk.f_bavail) * static_cast<double>(disk.f_frsize) < needed)
    throw std::runtime_error("the server's disk (" + datadir + ") has less than " + Fixed(needed / 1e9, 1) +
                             " GB free: give fewer rows");

  Clock::time_point since = Clock::now();
  MakeRows(ds, log);
  std::cout << "rows made in " << Fixed(Seconds(since), 1) << " s; appshenji " << Megabytes(log, "appshenji")
            << " MiB, log " << Megabytes(log, "log") << " MiB\n";

  InstallDir install;
  const ServerInfo& server = Server();
  // The week's rows: those that start or stop in its seven days, its end included.
  std::string week(1, '\'');
  week += log.Scalar("SELECT CURDATE() - INTERVAL 7 DAY");
  week += "' AND '";
  week += log.Scalar("SELECT CURDATE()");
  week += '\'';
  const std::vector<std::string> plainRead = {
      "mariadb", "--no-defaults", "-h", server.host, "-P", std::to_string(server.port), "-u", server.user,
      "-p" + server.password, "-N", "-B", server.log, "-e",
      "SELECT * FROM appshenji WHERE starttime BETWEEN " + week + " OR stoptime BETWEEN " + week};
  const std::vector<std::string> report = {QBNOTIFY_REPORT_PATH, "--install-path", install.Path(), "--json", "--from",
                                           log.Scalar("SELECT CURDATE() - INTERVAL 7 DAY"), "--to",
                                           log.Scalar("SELECT CURDATE() - INTERVAL 1 DAY")};
  const std::string weekRows = log.Scalar("SELECT COUNT(*) FROM appshenji WHERE starttime BETWEEN " + week +
                                          " OR stoptime BETWEEN " + week);

  // The rows the server reads for a run (all its statements): what the machine's load does not change.
  const auto rowsRead = [&](const std::vector<std::string>& args, ChildRun& run) {
    const std::uint64_t before = RowsRead(log);
    run = RunChild(args);
    return std::to_string(RowsRead(log) - before);
  };
  ChildRun before;
  const std::string beforeRows = rowsRead(report, before);
  std::cout << "one-week report without the report's indexes: " << Fixed(before.seconds, 2) << " s, the server read "
            << beforeRows << " rows\n";
  since = Clock::now();
  RunSqlFile(log, "report-index-add.sql");
  std::cout << "migration db/migrations/report-index-add.sql: " << Fixed(Seconds(since), 1) << " s; appshenji "
            << Megabytes(log, "appshenji") << " MiB, log " << Megabytes(log, "log") << " MiB\n";

  Table table({"run", "week's audit rows", "plain read (s)", "its CPU (s)", "server rows read", "report --json (s)",
               "its CPU (s)", "server rows read", "ratio", "report peak memory (MiB)", "read peak memory (MiB)"});
  for (int round = 1; round <= 3; ++round) {
    ChildRun read, json;
    const std::string readRows = rowsRead(plainRead, read), jsonRows = rowsRead(report, json);
    table.Add({std::to_string(round), weekRows, Fixed(read.seconds, 2), Fixed(read.cpuSeconds, 2), readRows,
               Fixed(json.seconds, 2), Fixed(json.cpuSeconds, 2), jsonRows,
               Fixed(json.seconds / read.seconds, 2), Fixed(static_cast<double>(json.maxRssKiB) / 1024, 1),
               Fixed(static_cast<double>(read.maxRssKiB) / 1024, 1)});
  }
  table.Print();
  std::string load;
  std::getline(std::ifstream("/proc/loadavg"), load);
  std::cout << "target: the one-week report with the indexes within 3 times the plain read of the week's rows, or 2 s"
               " (load average now " << load.substr(0, load.find(' ', load.find(' ', load.find(' ') + 1) + 1)) << ")\n";
  return 0;
}

}  // namespace
}  // namespace qbnotify::bench

int main(int argc, char** argv) {
  if (argc > 1) qbnotify::bench::g_auditRows = std::atol(argv[1]);
  if (argc > 2) qbnotify::bench::g_eventRows = std::atol(argv[2]);
  return qbnotify::bench::RunReporting("report", qbnotify::bench::Run);
}
