// A logon storm: N sessions of our protocol start at the same instant, as when a farm's
// clients reconnect after a network failure. Each session is its own process (as each logon
// process is on a terminal server) with a fresh library instance, and runs the startup
// handler: three connections, the session's two startup records and every admission check.
// Prints the startup time's median, 99th percentile and maximum, the storm's wall time, and
// the failures: sessions refused although the rules admit them, and sessions whose startup
// records are missing even after the rows kept in the local spools are written back. Records
// that only waited in a spool are counted apart, as kept.
//
// Each storm runs on three farms: an empty session-load table, and 10,000 running sessions
// without and with the table's indexed switch columns; the rows read per startup
// (the server's Rows_read, over every node) show what the searches cost it.
//
// On the cluster of scripts/lib/galera.sh (scripts/bench --cluster) the sessions are spread
// over the nodes (session i on node i mod 3), and the storm runs again with every session on
// node 1 (a single write node), and with every terminal server listing the three nodes (node 1
// first): with all nodes up, and, on the empty farm, with node 1 killed 0.2 s into the storm
// (then restarted). `qbnotify-bench-storm 50 500` chooses the storm sizes.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <thread>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "notify/QBNotifyMain.h"
#include "store/spool/SpoolWriteBack.h"
#include "tests/cluster/Cluster.h"

namespace qbnotify::bench {
namespace {

constexpr int kDefaultSizes[] = {50, 200};
constexpr int kFarmSessions = 10000;  // running sessions of the large farm
// Records a session leaves at startup: the session start and the shell check.
constexpr int kStartupRecords = 2;

struct ChildReport {
  double startupMicros = 0;
  bool ended = false;
};

// The rules every session passes: a policy whose first rule admits office computers on the
// LAN, a user whose account forbids repeat logins (so the duplicate search runs) and a few
// running sessions in the session-load table.
void SetUpFarm() {
  EmptyAllTables();
  Admin(Server().ds)
      .Exec(
          "INSERT INTO Cuser (User_ID, name, RepeatLoginEnable, RunAppNum) VALUES ('U0002', 'bob', 1, 0);"
          "INSERT INTO Application (App_ID, Name, security_policy_id, app_session_count, each_user_one_session) "
          "VALUES ('APP00000012', 'Reports', 'SP01', 0, 0);"
          "INSERT INTO addressgroup (AddressID, AddressType, Ip1, Ip2) VALUES ('AG00', '0', '', ''), "
          "('AG01', '8', '10.0.0.0', '');"
          "INSERT INTO timegroup (TimeID, DayType, DayFlags, StartDay, EndDay, StartTime, EndTime) VALUES "
          "('TG00', 0, '01111111', NULL, NULL, NULL, NULL);"
          "INSERT INTO securitypolicy_sub (SecPID, SortID, clientname, MAC, ClientProtocol, ClientIPAddressGroupID, "
          "TimeID, Action) VALUES ('SP01', 10, 'PC-*', '*', 1, 'AG01', 'TG00', 0), "
          "('SP01', 20, '*', '*', 0, 'AG00', 'TG00', 1)");
  Admin(Server().dc)
      .Exec(
          "INSERT INTO dc_sessionload (InitAppName, ClientName, StationName) VALUES "
          "('\"C:\\\\TAV\\\\kevshell.exe\" /N:APP00000020 /U:alice /M:00-11-22-33-44-55 /E:S0100', 'PC-X', "
          "'KEV-Tcp#11'),"
          "('\"C:\\\\TAV\\\\kevshell.exe\" /N:APP00000012 /U:zoe /M:AA-BB-CC-00-00-02 /E:S0101', 'PC-Y', 'KEV-Tcp#12')");
}

// An install directory whose settings file names one server, or a list of them.
class NodeInstall {
 public:
  explicit NodeInstall(const std::string& dsHost) {
    test::WriteSettingsFile(dir_.Path(), test::SettingsText(Server(), dsHost));
  }
  std::string Path() const { return dir_.Path().string(); }

 private:
  test::TempDir dir_;
};

[[noreturn]] void Child(const hosted::Session& description, int readyFd, int goFd, int resultFd) {
  ChildReport report;
  {
    hosted::HostedPlatform platform(description);
    Instance instance(platform);
    const char ready = 1;
    WriteAll(readyFd, &ready, 1);
    char go;
    (void)!read(goFd, &go, 1);  // returns 0 when the parent closes its end: the start
    const auto start = Clock::now();
    test::Deliver(HandleStartup, instance);
    report.startupMicros = Micros(start, Clock::now());
    report.ended = platform.SessionEnded();
    WriteAll(resultFd, &report, sizeof report);
  }
  _exit(0);  // no destructors of the parent's objects
}

// The rows the server has read (Rows_read), or every node of the cluster.
std::uint64_t ServerRowsRead() {
  const auto& nodes = test::ClusterNodes();
  if (nodes.empty()) {
    Admin admin(Server().ds);
    return RowsRead(admin);
  }
  std::uint64_t rows = 0;
  for (const auto& node : nodes)
    rows += std::stoull(test::NodeAdmin(node, Server().ds).Rows("SHOW GLOBAL STATUS LIKE 'Rows_read'").at(0).at(1));
  return rows;
}

// The processor time, in seconds, that the server's processes have used so far (every node
// of a cluster): read from /proc through each server's pid file. 0 when it cannot be read.
double ServerCpuSeconds() {
  const auto& nodes = test::ClusterNodes();
  std::vector<std::string> pidFiles;
  if (nodes.empty()) {
    Admin admin(Server().ds);
    pidFiles.push_back(admin.Rows("SELECT @@pid_file").at(0).at(0));
  } else {
    for (const auto& node : nodes)
      pidFiles.push_back(test::NodeAdmin(node, Server().ds).Rows("SELECT @@pid_file").at(0).at(0));
  }
  double seconds = 0;
  for (const std::string& pidFile : pidFiles) {
    std::ifstream pidText(pidFile);
    long pid = 0;
    if (!(pidText >> pid)) continue;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    // The fields after the command's closing parenthesis: utime and stime are the 12th and 13th.
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 1; i <= 13 && fields >> field; ++i)
      if (i >= 12) ticks += std::stod(field);
    seconds += ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  return seconds;
}

// The processor time, in seconds, of this process's children that have been waited for.
double ChildrenCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Farm {
  std::string name;
  int sessions;
  bool columns;
};

struct Storm {
  std::string farm;
  std::string where;
  double rowsReadPerStartup = 0;
  int sessions = 0;
  std::vector<double> startupMillis;
  double wallSeconds = 0;
  int refused = 0;
  int keptRecords = 0;  // sessions whose records waited in their spool and were written back
  int lostRecords = 0;  // sessions whose records are missing even after the write-back
  int noReport = 0;
  double libraryCpuMs = 0;  // per session: the sessions' processes
  double serverCpuMs = 0;   // per session: the server's
  std::string form;         // the session-load form the sessions used
};

// Where the sessions' settings point: one DSHost value per terminal server (session i uses
// value i mod their number); `killFirst`: node 1 is killed that long into the storm.
struct Target {
  std::string where;
  std::vector<std::string> dsHosts;
  std::optional<std::chrono::milliseconds> killFirst;
};

bool RestartFirstNode() {
  const std::string command = std::string("'") + QBNOTIFY_SOURCE_DIR + "/scripts/galera' restart 1 >&2";
  return std::system(command.c_str()) == 0;
}

Storm RunStorm(int sessions, const Target& target, int tag) {
  Admin log(Server().log);
  log.Exec("TRUNCATE TABLE log; TRUNCATE TABLE appshenji");
  std::vector<std::unique_ptr<NodeInstall>> installs;
  for (const std::string& dsHost : target.dsHosts) installs.push_back(std::make_unique<NodeInstall>(dsHost));
  const std::string& where = target.where;
  const std::string prefix = "PC-T" + std::to_string(tag) + "-";

  int ready[2], go[2], results[2];
  if (pipe(ready) != 0 || pipe(go) != 0 || pipe(results) != 0) throw std::runtime_error("pipe failed");
  std::vector<pid_t> children;
  std::cout << std::flush;
  for (int i = 0; i < sessions; ++i) {
    hosted::Session session = test::KevSession("\"C:\\TAV\\kevshell.exe\" /N:APP00000012 /U:bob "
                                               "/M:00-11-22-33-44-55 /E:T" +
                                               std::to_string(i));
    test::SetInstallPath(session, installs[static_cast<std::size_t>(i) % installs.size()]->Path());
    session.clientName = prefix + std::to_string(i);
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
      close(ready[0]);
      close(go[1]);
      close(results[0]);
      Child(session, ready[1], go[0], results[1]);
    }
    children.push_back(pid);
  }
  close(ready[1]);
  close(go[0]);
  close(results[1]);
  for (int i = 0; i < sessions; ++i) {
    char flag = 0;
    ReadAll(ready[0], &flag, 1);
  }
  const std::uint64_t rowsBefore = ServerRowsRead();
  const double serverCpuBefore = ServerCpuSeconds();
  const double childrenCpuBefore = ChildrenCpuSeconds();
  const auto start = Clock::now();
  close(go[1]);  // every session starts
  close(ready[0]);
  std::thread killer;
  if (target.killFirst)
    killer = std::thread([&] {
      std::this_thread::sleep_until(start + *target.killFirst);
      test::KillNode(test::ClusterNodes()[0]);
    });

  Storm storm;
  storm.where = where;
  storm.sessions = sessions;
  // Reports are smaller than a pipe's atomic write: each arrives whole.
  ChildReport report;
  while (ReadAll(results[0], &report, sizeof report)) {
    storm.startupMillis.push_back(report.startupMicros / 1000);
    if (report.ended) ++storm.refused;
  }
  storm.wallSeconds = Micros(start, Clock::now()) / 1e6;
  close(results[0]);
  for (pid_t pid : children) waitpid(pid, nullptr, 0);
  if (killer.joinable()) killer.join();
  if (!target.killFirst) {
    storm.serverCpuMs = (ServerCpuSeconds() - serverCpuBefore) * 1000 / sessions;
    storm.libraryCpuMs = (ChildrenCpuSeconds() - childrenCpuBefore) * 1000 / sessions;
  }
  // A session that found the switch columns missing left the note of the LIKE form.
  bool noted = false;
  for (const auto& install : installs)
    noted = noted || std::filesystem::exists(std::filesystem::path(install->Path()) / "Data" / "State" /
                                             "session-load-form.state");
  storm.form = noted ? "LIKE" : "columns";
  storm.rowsReadPerStartup = target.killFirst ? 0 : static_cast<double>(ServerRowsRead() - rowsBefore) / sessions;
  storm.noReport = sessions - static_cast<int>(storm.startupMillis.size());

  // The counts are read on node 1: a killed one is restarted (and has caught up) first.
  if (target.killFirst && !RestartFirstNode()) throw std::runtime_error("node 1 did not come back after the storm");
  Admin counts(Server().log);
  const auto sessionsMissingRecords = [&] {
    std::map<std::string, int> records;
    for (const auto& row : counts.Rows("SELECT CONVERT(ComputerName USING latin1), COUNT(*) FROM log WHERE "
                                    "ComputerName LIKE '" + prefix + "%' GROUP BY ComputerName"))
      records[row[0]] = std::stoi(row[1]);
    int missing = 0;
    for (int i = 0; i < sessions; ++i)
      if (records[prefix + std::to_string(i)] != kStartupRecords) ++missing;
    return missing;
  };
  const int waiting = sessionsMissingRecords();
  // Records kept in a spool during the storm are only waiting: write them back, as the next
  // handler or the doctor would, before counting what is lost.
  for (const auto& install : installs) {
    hosted::Session session = test::KevSession("\"C:\\TAV\\kevshell.exe\" /N:APP00000012 /U:bob");
    test::SetInstallPath(session, install->Path());
    hosted::HostedPlatform platform(session);
    Connections connections;
    if (OpenConnections(platform, connections)) WriteBackSpool(platform, connections, false);
  }
  storm.lostRecords = sessionsMissingRecords();
  storm.keptRecords = waiting - storm.lostRecords;
  return storm;
}

int Run(const std::vector<int>& sizes) {
  const auto& nodes = test::ClusterNodes();
  std::cout << "QBNotify logon storm: N sessions start at once, each its own process running the startup\n"
            << "handler on a fresh library instance (three connections, two records, every admission check)";
  if (!nodes.empty()) std::cout << ",\non a " << nodes.size() << "-node Galera cluster";
  std::cout << ".\n";
  SetUpFarm();
  // Three connections per session: room for the largest storm on one server.
  int largest = *std::max_element(sizes.begin(), sizes.end());
  Admin(Server().ds).Exec("SET GLOBAL max_connections = " + std::to_string(std::max(500, 3 * largest + 50)));

  const auto address = [](int port) { return "127.0.0.1:" + std::to_string(port); };
  std::vector<Target> targets;
  std::optional<Target> killed;
  if (nodes.empty()) {
    targets.push_back({"one server", {address(Server().port)}, std::nullopt});
  } else {
    std::vector<std::string> each;
    std::string list;
    for (const auto& node : nodes) {
      each.push_back(address(node.port));
      list += (list.empty() ? "" : ",") + address(node.port);
    }
    targets.push_back({"spread over " + std::to_string(nodes.size()) + " nodes", each, std::nullopt});
    targets.push_back({"all on node 1", {each.front()}, std::nullopt});
    // Three terminal servers, each with its own deny state, listing the nodes alike.
    targets.push_back({"list of 3 nodes", {list, list, list}, std::nullopt});
    killed = Target{"list, node 1 killed at 0.2 s", {list, list, list}, std::chrono::milliseconds(200)};
  }
  const Farm farms[] = {{"empty", 0, false},
                        {std::to_string(kFarmSessions) + " running", kFarmSessions, false},
                        {std::to_string(kFarmSessions) + " running, switch columns", kFarmSessions, true}};
  std::vector<Storm> storms;
  int tag = 0;
  for (const Farm& farm : farms) {
    Admin dc(Server().dc);  // anew for each farm: node 1 may have been restarted since
    SetSessionLoadColumns(dc, farm.columns);
    SetRunningSessions(dc, farm.sessions);
    for (int size : sizes) {
      for (const Target& target : targets) {
        storms.push_back(RunStorm(size, target, ++tag));
        storms.back().farm = farm.name;
      }
      if (killed && farm.sessions == 0) {
        storms.push_back(RunStorm(size, *killed, ++tag));
        storms.back().farm = farm.name;
      }
    }
  }
  Admin dc(Server().dc);
  SetSessionLoadColumns(dc, false);

  Heading("Startup of N sessions starting at once");
  Table table({"session-load table", "form", "sessions", "where", "startup p50 ms", "p99 ms", "max ms", "wall s",
               "sessions/s", "refused", "records kept", "records lost", "failures", "rows read/startup",
               "library cpu ms/session", "server cpu ms/session"});
  for (Storm& storm : storms) {
    const int failures = storm.refused + storm.lostRecords + storm.noReport;
    table.Add({storm.farm, storm.form, std::to_string(storm.sessions), storm.where,
               Fixed(Quantile(storm.startupMillis, 0.5), 1),
               Fixed(Quantile(storm.startupMillis, 0.99), 1), Fixed(Quantile(storm.startupMillis, 1.0), 1),
               Fixed(storm.wallSeconds, 2), Fixed(storm.sessions / storm.wallSeconds, 0), std::to_string(storm.refused),
               std::to_string(storm.keptRecords), std::to_string(storm.lostRecords), std::to_string(failures),
               Fixed(storm.rowsReadPerStartup, 0), Fixed(storm.libraryCpuMs, 2), Fixed(storm.serverCpuMs, 2)});
  }
  table.Print();
  std::cout << "\n startup: from the start signal to the end of the startup handler, connecting included.\n"
               " refused: sessions ended although the rules admit them; records kept: sessions whose startup\n"
               " records waited in the local spool and were written back after the storm; records lost: sessions\n"
               " without exactly their two startup records even then; failures: refused and lost, and sessions\n"
               " that sent no report.\n"
               " session-load table: its running sessions (200 applications, 5,000 users); rows read/startup:\n"
               " the rows the server read (Rows_read, over every node of a cluster) during the storm, per session.\n"
               " form: how the sessions searched dc_sessionload (each storm starts from clean state directories;\n"
               " LIKE: a session found the switch columns missing and left the note). cpu ms/session: processor\n"
               " time (user and system) of the sessions' processes, from their fork to their exit, and of the\n"
               " server's processes during the storm, divided by the sessions.\n";
  return 0;
}

std::vector<int> Sizes(int argc, char** argv) {
  std::vector<int> sizes;
  for (int i = 1; i < argc; ++i) {
    const int size = std::atoi(argv[i]);
    if (size < 1 || size > 2000) {
      std::cerr << "storm size '" << argv[i] << "' is not a number from 1 to 2000\n";
      std::exit(2);
    }
    sizes.push_back(size);
  }
  if (sizes.empty()) sizes.assign(std::begin(kDefaultSizes), std::end(kDefaultSizes));
  return sizes;
}

std::vector<int> gSizes;
int RunDefault() { return Run(gSizes); }

}  // namespace
}  // namespace qbnotify::bench

int main(int argc, char** argv) {
  qbnotify::bench::gSizes = qbnotify::bench::Sizes(argc, argv);
  return qbnotify::bench::RunReporting("logon storm benchmark", qbnotify::bench::RunDefault);
}
