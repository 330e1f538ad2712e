// The usage report over a large audit and event log: the time of `qbnotify-report --json`
// against one plain read of the audit table with the mariadb client, and the report's peak
// memory. The rows are made by the server itself (the sequence engine) within the last 30
// days of its clock.
//
//   qbnotify-bench-report [AUDIT_ROWS [EVENT_ROWS]]     (default 1000000 3000000)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "bench/BenchSupport.h"

namespace qbnotify::bench {
namespace {

long g_auditRows = 1000000, g_eventRows = 3000000;

struct ChildRun {
  double seconds = 0;
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
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

// Sessions of four audit rows each (logon, disconnect, reconnect, logoff) spread over the
// last 29 days: 2,000 users, 20 applications, 5,000 client computers. Event records of six
// kinds, a refusal now and then.
void MakeRows() {
  Admin ds(Server().ds);
  Admin log(Server().log);
  EmptyAllTables();
  ds.Exec("INSERT INTO Application (App_ID, Name, security_policy_id, app_session_count, each_user_one_session) "
          "SELECT CONCAT('APP', LPAD(seq, 8, '0')), CONCAT('应用 ', seq), NULL, 40, 0 FROM seq_1_to_20");
  const long sessions = g_auditRows / 4;
  const std::string span = std::to_string(29L * 86400 / std::max(1L, sessions) + 1);
  const std::string session =
      "FROM (SELECT seq AS n, TIMESTAMP(CURDATE() - INTERVAL 29 DAY) + INTERVAL seq * " + span +
      " SECOND AS l, 600 + seq * 7919 % 14400 AS d FROM seq_1_to_" + std::to_string(sessions) + ") s";
  const char* const kinds[4][2] = {{"l", "0"},
                                   {"l", "l + INTERVAL d DIV 2 SECOND"},
                                   {"l + INTERVAL d DIV 2 + 60 SECOND", "l + INTERVAL d DIV 2 SECOND"},
                                   {"l + INTERVAL d DIV 2 + 60 SECOND", "l + INTERVAL d + 60 SECOND"}};
  for (int k = 0; k < 4; ++k)
    log.Exec(std::string("INSERT INTO appshenji (logid, sessionid, farmuser, appid, appshowname, clientmac, starttime, stoptime) "
                         "SELECT CONCAT('lap', LPAD(n * 4 + ") + std::to_string(k) + ", 8, '0')), CONCAT('S', n), "
             "CONCAT('user', n % 2000), CONCAT('APP', LPAD(n % 20 + 1, 8, '0')), '', CONCAT('00-11-22-', n % 5000), " +
             kinds[k][0] + ", " + kinds[k][1] + " " + session);
  log.Exec("INSERT INTO log (ID, Time, TypeID, SourceID, UserID, AppID, ComputerName, EventID, Parameter1, Parameter2) "
           "SELECT CONCAT('Log', LPAD(seq, 8, '0')), TIMESTAMP(CURDATE() - INTERVAL 29 DAY) + INTERVAL seq * " +
           std::to_string(29L * 86400 / std::max(1L, g_eventRows) + 1) +
           " SECOND, IF(seq % 6 = 0, 1, 2), 1, CONCAT('U', seq DIV 6 % 2000), CONCAT('APP', LPAD(seq DIV 6 % 20 + 1, 8, '0')), "
           "CONCAT('PC-', seq DIV 6 % 5000), IF(seq % 60 = 5, 1, IF(seq % 6 = 0, 2, seq % 6 + 1)), "
           "IF(seq % 60 = 5, 'SP01', ''), '' FROM seq_1_to_" + std::to_string(g_eventRows));
}

int Run() {
  Heading("usage report over " + std::to_string(g_auditRows) + " audit rows and " + std::to_string(g_eventRows) +
          " event rows");
  const Clock::time_point made = Clock::now();
  MakeRows();
  std::cout << "rows made in " << Fixed(Micros(made, Clock::now()) / 1e6, 1) << " s\n";
  InstallDir install;
  const ServerInfo& server = Server();
  const std::vector<std::string> plainRead = {
      "mariadb", "--no-defaults", "-h", server.host, "-P", std::to_string(server.port), "-u", server.user,
      "-p" + server.password, "-N", "-B", server.log, "-e", "SELECT * FROM appshenji"};
  const std::vector<std::string> report = {QBNOTIFY_REPORT_PATH, "--install-path", install.Path(), "--json"};

  Table table({"run", "plain read (s)", "report --json (s)", "ratio", "report peak memory (MiB)", "read peak memory (MiB)"});
  for (int round = 1; round <= 3; ++round) {
    const ChildRun read = RunChild(plainRead);
    const ChildRun json = RunChild(report);
    if (read.status != 0 || json.status != 0)
      throw std::runtime_error("exit status: mariadb " + std::to_string(read.status) + ", report " + std::to_string(json.status));
    table.Add({std::to_string(round), Fixed(read.seconds, 2), Fixed(json.seconds, 2), Fixed(json.seconds / read.seconds, 2),
               Fixed(static_cast<double>(json.maxRssKiB) / 1024, 1), Fixed(static_cast<double>(read.maxRssKiB) / 1024, 1)});
  }
  table.Print();
  std::cout << "target: the report within 3 times the plain read; its memory does not grow with the rows\n";
  return 0;
}

}  // namespace
}  // namespace qbnotify::bench

int main(int argc, char** argv) {
  if (argc > 1) qbnotify::bench::g_auditRows = std::atol(argv[1]);
  if (argc > 2) qbnotify::bench::g_eventRows = std::atol(argv[2]);
  return qbnotify::bench::RunReporting("report", qbnotify::bench::Run);
}
