// One whole admitted session against the private server: the six handlers, each session on a
// fresh library instance (three new connections, as a new logon process opens them), many
// times. Prints the statements each handler sends, the wall time per handler and per
// session, and those times against bare "SELECT 1" round trips measured in the same run.
//
// Statements are counted by the server: for a few sessions its general log records every
// command with the connection (and so the database) it came on, and an administrator's
// marker query between the handlers tells which handler sent it. That sees logoff's
// statements on DS and DC too, which the library's own counters (Connection::QueriesSent)
// cannot show once logoff has released those connections; the library's counters are
// printed alongside as a cross-check.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iostream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "notify/QBNotifyMain.h"

namespace qbnotify::bench {
namespace {

using test::Deliver;
using test::kHandlers;
constexpr std::size_t kHandlerCount = std::size(kHandlers);
constexpr int kCountedSessions = 5;
constexpr int kBlocks = 10;
constexpr int kSessionsPerBlock = 50;

// An application with a policy whose second rule admits, both application limits set, and a
// user whose account forbids repeat logins and caps the sessions per client computer: every
// check of the admission runs its queries, and the session is admitted.
void SetUpFarm() {
  EmptyAllTables();
  Admin ds(Server().ds);
  ds.Exec(
      "INSERT INTO Cuser (User_ID, name, RepeatLoginEnable, RunAppNum) VALUES ('U0001', 'alice', 1, 5);"
      "INSERT INTO Application (App_ID, Name, security_policy_id, app_session_count, each_user_one_session) VALUES "
      "  ('APP00000012', 'Reports', 'SP01', 100, 1);"
      "INSERT INTO addressgroup (AddressID, AddressType, Ip1, Ip2) VALUES "
      "  ('AG00', '0', '', ''), ('AG01', '8', '10.0.0.0', ''), ('AG02', '4', '192.168.1.20', '192.168.1.30');"
      "INSERT INTO timegroup (TimeID, DayType, DayFlags, StartDay, EndDay, StartTime, EndTime) VALUES "
      "  ('TG00', 0, '01111111', NULL, NULL, NULL, NULL),"
      "  ('TG01', 1, '01111111', '2000-01-01', '0000-00-00', '00:00:00', '23:59:59');"
      "INSERT INTO securitypolicy_sub (SecPID, SortID, clientname, MAC, ClientProtocol, ClientIPAddressGroupID, TimeID, "
      "Action) VALUES "
      "  ('SP01', 10, 'LAB-*', '*', 1, 'AG02', 'TG00', 0),"
      "  ('SP01', 20, 'PC-*', '00-11-22-*', 1, 'AG01', 'TG01', 0),"
      "  ('SP01', 30, '*', '*', 0, 'AG00', 'TG00', 1);"
      // A row of its own for the committed-write baseline below.
      "INSERT INTO GloabolInc (Head, ID, Inc, Remark) VALUES ('bench', 'bench0', 1, 'a')");
  Admin(Server().dc)
      .Exec(
          "INSERT INTO dc_sessionload (InitAppName, ClientName, StationName) VALUES "
          "  ('\"C:\\\\TAV\\\\kevshell.exe\" /N:APP00000020 /U:alice /M:00-11-22-33-44-55 /E:S0100', 'PC-A', "
          "'KEV-Tcp#11'),"
          "  ('\"C:\\\\TAV\\\\kevshell.exe\" /N:APP00000012 /U:zoe /M:AA-BB-CC-00-00-02 /E:S0101', 'PC-C', "
          "'KEV-Tcp#12'),"
          "  ('rdpclip.exe', 'PC-A', 'RDP-Tcp#4')");
}

// Plays one session; `perHandler` receives each handler's wall time in microseconds.
// Returns the whole session's time, from the instance's creation to its release.
double PlaySession(const hosted::Session& description, double* perHandler, bool* admitted) {
  const auto start = Clock::now();
  {
    hosted::HostedPlatform platform(description);
    Instance instance(platform);
    for (std::size_t i = 0; i < kHandlerCount; ++i) {
      const auto before = Clock::now();
      Deliver(kHandlers[i].handler, instance);
      perHandler[i] = Micros(before, Clock::now());
    }
    *admitted = !platform.SessionEnded();
  }
  return Micros(start, Clock::now());
}

struct StatementKinds {
  std::uint64_t reads = 0, writes = 0, transaction = 0;
  std::uint64_t commits = 0;  // COMMITs, and writes outside a transaction (autocommit)
};
struct HandlerStatements {
  std::map<std::string, std::uint64_t> byDatabase;  // per session
  StatementKinds kinds;                            // per session
  std::uint64_t libraryCount = 0;                  // per session, the library's own counters
  std::uint64_t Total() const { return kinds.reads + kinds.writes + kinds.transaction; }
};

std::uint64_t Sent(const std::unique_ptr<Connection>& connection) {
  return connection ? connection->QueriesSent() : 0;
}
std::uint64_t LibraryCount(const Instance& instance) {
  return Sent(instance.connections.DS) + Sent(instance.connections.DC) + Sent(instance.connections.Log);
}

std::vector<HandlerStatements> CountStatements(const hosted::Session& description) {
  Admin root(Server().ds);
  root.Exec("SET GLOBAL general_log = 0; SET GLOBAL log_output = 'TABLE'; TRUNCATE TABLE mysql.general_log;"
            "SET GLOBAL general_log = 1");
  std::vector<HandlerStatements> counted(kHandlerCount);
  for (int s = 0; s < kCountedSessions; ++s) {
    hosted::HostedPlatform platform(description);
    Instance instance(platform);
    for (std::size_t i = 0; i < kHandlerCount; ++i) {
      root.Exec("SELECT 'bench marker " + std::to_string(i) + "'");
      // Logoff releases DS and DC: only Log's count can be read on both sides of it.
      const bool releases = kHandlers[i].handler == HandleLogoff;
      auto count = [&] { return releases ? Sent(instance.connections.Log) : LibraryCount(instance); };
      const std::uint64_t before = count();
      Deliver(kHandlers[i].handler, instance);
      counted[i].libraryCount += count() - before;
    }
  }
  root.Exec("SET GLOBAL general_log = 0");

  // The log table keeps the order in which the commands were logged.
  const auto rows = root.Rows("SELECT user_host, thread_id, command_type, argument FROM mysql.general_log");
  const std::regex marker("^SELECT 'bench marker ([0-9]+)'$");
  const std::regex connectLine(" on ([A-Za-z0-9_]+)");
  std::map<std::string, std::string> databaseOf;
  std::map<std::string, bool> inTransaction;
  std::size_t current = 0;
  for (const auto& row : rows) {
    const std::string& user = row[0];
    const std::string& thread = row[1];
    const std::string& command = row[2];
    const std::string& argument = row[3];
    std::smatch match;
    if (std::regex_match(argument, match, marker)) {
      current = std::stoul(match[1]);
      continue;
    }
    // A Connect line names the account and the database: "user@host on db using TCP/IP".
    if (command == "Connect" && argument.rfind(Server().user + "@", 0) == 0 &&
        std::regex_search(argument, match, connectLine))
      databaseOf[thread] = match[1];
    if (command != "Query" || user.rfind(Server().user + "[", 0) != 0) continue;
    std::string verb;
    for (char c : argument) {
      if (std::isspace(static_cast<unsigned char>(c))) break;
      verb += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    HandlerStatements& h = counted[current];
    const std::string& db = databaseOf[thread];
    h.byDatabase[db == Server().ds ? "DS" : db == Server().dc ? "DC" : db == Server().log ? "Log" : "?"]++;
    if (verb == "select") {
      ++h.kinds.reads;
    } else if (verb == "insert" || verb == "update" || verb == "delete") {
      ++h.kinds.writes;
      if (!inTransaction[thread]) ++h.kinds.commits;
    } else {
      ++h.kinds.transaction;
      inTransaction[thread] = verb == "start" || verb == "begin";
      if (verb == "commit") ++h.kinds.commits;
    }
  }
  for (HandlerStatements& h : counted) {
    for (auto& [db, n] : h.byDatabase) n /= kCountedSessions;
    h.kinds.reads /= kCountedSessions;
    h.kinds.writes /= kCountedSessions;
    h.kinds.transaction /= kCountedSessions;
    h.kinds.commits /= kCountedSessions;
    h.libraryCount /= kCountedSessions;
  }
  return counted;
}

// Round trips (the server's Questions, less the connections' closing messages) and commits
// (its redo-log writes: each committed write transaction waits for one) per session, as the
// server counts them over a few sessions.
struct ServerCounted {
  double roundTrips = 0;
  double commits = 0;
};
ServerCounted CountOnServer(const hosted::Session& description) {
  Admin root(Server().ds);
  const auto read = [&] {
    std::map<std::string, double> values;
    for (const auto& row :
         root.Rows("SHOW GLOBAL STATUS WHERE Variable_name IN ('Questions', 'Innodb_log_writes', 'Connections')"))
      values[row[0]] = std::stod(row[1]);
    return values;
  };
  auto before = read();
  for (int s = 0; s < kCountedSessions; ++s) {
    double times[kHandlerCount];
    bool admitted = false;
    PlaySession(description, times, &admitted);
  }
  auto after = read();
  // The closing status read is a statement of its own, and each connection's closing message
  // counts as one though nothing answers it.
  const double closings = after["Connections"] - before["Connections"];
  return {(after["Questions"] - before["Questions"] - 1 - closings) / kCountedSessions,
          (after["Innodb_log_writes"] - before["Innodb_log_writes"]) / kCountedSessions};
}

int Run() {
  SetUpFarm();
  InstallDir install;
  const hosted::Session description = KevSessionAt(install);

  double times[kHandlerCount];
  bool admitted = false;
  for (int i = 0; i < 20; ++i) PlaySession(description, times, &admitted);  // warm-up
  if (!admitted) {
    std::cerr << "the benchmark session was refused: the farm's set-up does not admit it\n";
    return 1;
  }

  const std::vector<HandlerStatements> perHandlerCounts = CountStatements(description);
  std::uint64_t statementsPerSession = 0;
  StatementKinds kinds;
  for (const HandlerStatements& h : perHandlerCounts) {
    statementsPerSession += h.Total();
    kinds.reads += h.kinds.reads;
    kinds.writes += h.kinds.writes;
    kinds.transaction += h.kinds.transaction;
    kinds.commits += h.kinds.commits;
  }
  const auto statements = static_cast<double>(statementsPerSession);
  const ServerCounted counted = CountOnServer(description);

  // Sessions and bare round trips in alternating blocks, so that both see the same load.
  auto probe = LibraryConnection(Server().ds);
  probe->Open();
  std::vector<double> sessionTimes;
  std::vector<std::vector<double>> handlerTimes(kHandlerCount);
  std::vector<double> selectOne, committedWrite;
  int refused = 0;
  for (int b = 0; b < kBlocks; ++b) {
    for (int s = 0; s < kSessionsPerBlock; ++s) {
      sessionTimes.push_back(PlaySession(description, times, &admitted));
      if (!admitted) ++refused;
      for (std::size_t i = 0; i < kHandlerCount; ++i) handlerTimes[i].push_back(times[i]);
    }
    for (std::uint64_t i = 0; i < statementsPerSession * kSessionsPerBlock; ++i) {
      const auto start = Clock::now();
      probe->Query("SELECT 1");
      selectOne.push_back(Micros(start, Clock::now()));
    }
    // A write the server must commit (the value changes every time), autocommit; on the one
    // column of the counter table that the library's role may change.
    for (int i = 0; i < 100; ++i) {
      const auto start = Clock::now();
      probe->Query(std::string("UPDATE GloabolInc SET ID='bench") + (i % 2 ? "1" : "0") + "' WHERE Head='bench'");
      committedWrite.push_back(Micros(start, Clock::now()));
    }
  }
  // Connect and authenticate, as the library does three times at every startup.
  std::vector<double> connects;
  for (int i = 0; i < 200; ++i) {
    auto connection = LibraryConnection(Server().ds);
    const auto start = Clock::now();
    connection->Open();
    connects.push_back(Micros(start, Clock::now()));
    connection->Close();
  }
  const double selectOneMean = Mean(selectOne);
  const double selectOneMedian = Quantile(selectOne, 0.5);

  std::cout << "QBNotify session benchmark: one admitted session of our protocol (policy rule matched,\n"
               "application limits, duplicate-account rule and user limit all queried), each on a fresh\n"
               "library instance, against a private MariaDB server over TCP loopback.\n";

  Heading("Statements and wall time per handler (" + std::to_string(kBlocks * kSessionsPerBlock) +
          " timed sessions; statements counted over " + std::to_string(kCountedSessions) + " sessions)");
  Table perHandler({"handler", "DS", "DC", "Log", "total", "library count", "mean us", "median us", "p95 us",
                    "median / SELECT 1"});
  auto at = [](const std::map<std::string, std::uint64_t>& m, const char* key) {
    const auto it = m.find(key);
    return std::to_string(it == m.end() ? 0 : it->second);
  };
  for (std::size_t i = 0; i < kHandlerCount; ++i) {
    const HandlerStatements& h = perHandlerCounts[i];
    std::vector<double>& t = handlerTimes[i];
    const double median = Quantile(t, 0.5);
    const bool released = kHandlers[i].handler == HandleLogoff;
    perHandler.Add({kHandlers[i].name, at(h.byDatabase, "DS"), at(h.byDatabase, "DC"), at(h.byDatabase, "Log"),
                    std::to_string(h.Total()), std::to_string(h.libraryCount) + (released ? " (Log only)" : ""),
                    Fixed(Mean(t), 0), Fixed(median, 0), Fixed(Quantile(t, 0.95), 0),
                    Fixed(median / selectOneMedian, 1)});
  }
  std::vector<double> sessionCopy = sessionTimes;
  const double sessionMean = Mean(sessionTimes);
  const double sessionMedian = Quantile(sessionCopy, 0.5);
  perHandler.Add({"whole session", "", "", "", std::to_string(statementsPerSession), "", Fixed(sessionMean, 0),
                  Fixed(sessionMedian, 0), Fixed(Quantile(sessionCopy, 0.95), 0),
                  Fixed(sessionMedian / selectOneMedian, 1)});
  perHandler.Print();
  std::cout << " DS/DC/Log/total: statements per session as the server logged them; library count: the\n"
               " library's own counters (logoff releases DS and DC, so only Log's share is left there).\n"
               " The whole session's time runs from the instance's creation to its release.\n";

  Heading("The session against bare round trips");
  Table summary({"figure", "mean", "median"});
  summary.Add({"statements per session: reads / writes / transaction control",
               std::to_string(kinds.reads) + " / " + std::to_string(kinds.writes) + " / " +
                   std::to_string(kinds.transaction),
               ""});
  summary.Add({"sessions refused while timing", std::to_string(refused), ""});
  summary.Add({"wall time per session (us)", Fixed(sessionMean, 0), Fixed(sessionMedian, 0)});
  summary.Add({"SELECT 1 round trip on one connection (us)", Fixed(selectOneMean, 1), Fixed(selectOneMedian, 1)});
  summary.Add({"as many SELECT 1 round trips as the session has statements (us)", Fixed(selectOneMean * statements, 0),
               Fixed(selectOneMedian * statements, 0)});
  summary.Add({"session / that many SELECT 1 round trips", Fixed(sessionMean / (selectOneMean * statements), 2),
               Fixed(sessionMedian / (selectOneMedian * statements), 2)});
  summary.Add({"commits per session (each waits for the server's log flush)", std::to_string(kinds.commits), ""});
  summary.Add({"round trips per session, counted by the server (Questions)", Fixed(counted.roundTrips, 1), ""});
  summary.Add({"commits per session, counted by the server (redo-log writes)", Fixed(counted.commits, 1), ""});
  const double commitMean = Mean(committedWrite);
  const double commitMedian = Quantile(committedWrite, 0.5);
  const double connectMean = Mean(connects);
  const double connectMedian = Quantile(connects, 0.5);
  summary.Add({"committed single-row UPDATE, autocommit (us)", Fixed(commitMean, 0), Fixed(commitMedian, 0)});
  summary.Add({"connect + authenticate (us; 3 per session)", Fixed(connectMean, 0), Fixed(connectMedian, 0)});
  // What the session would cost if every commit cost a committed UPDATE, every other
  // statement a SELECT 1 and each connection a connect.
  const auto commits = static_cast<double>(kinds.commits);
  summary.Add({"model: commits x UPDATE + other statements x SELECT 1 + 3 connects (us)",
               Fixed(commits * commitMean + (statements - commits) * selectOneMean + 3 * connectMean, 0),
               Fixed(commits * commitMedian + (statements - commits) * selectOneMedian + 3 * connectMedian, 0)});
  // The session against what its round trips and commits cost bare: every round trip a
  // SELECT 1, every commit a committed UPDATE instead.
  const double bareMean = (counted.roundTrips - counted.commits) * selectOneMean + counted.commits * commitMean;
  const double bareMedian = (counted.roundTrips - counted.commits) * selectOneMedian + counted.commits * commitMedian;
  summary.Add({"its round trips and commits bare: SELECT 1s and committed UPDATEs (us)", Fixed(bareMean, 0),
               Fixed(bareMedian, 0)});
  summary.Add({"session / its bare round trips and commits", Fixed(sessionMean / bareMean, 2),
               Fixed(sessionMedian / bareMedian, 2)});
  summary.Print();
  return refused == 0 ? 0 : 1;
}

}  // namespace
}  // namespace qbnotify::bench

int main() { return qbnotify::bench::RunReporting("session benchmark", qbnotify::bench::Run); }
