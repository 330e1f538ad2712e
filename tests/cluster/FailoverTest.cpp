// The farm's database failing over by itself, on the three-node cluster: three terminal
// servers whose settings list all three nodes in the same order (node 1 first), each case
// a round of 30 whole sessions at once (10 per terminal server, admitted and refused mixed)
// while node 1 is read-only, desynced, rejecting queries, hung, killed before the round or
// in the middle of it, and then coming back; and, with the offline admission set to cached,
// while every node is stopped. After each round the rows kept in the terminal
// servers' spools are written back, and then:
//   - every session ended as its rules say: no refused session admitted, none unchecked;
//   - every session's event and audit rows are there exactly once;
//   - every identifier is distinct.
// Each case prints the slowest whole session and the slowest handler (measured, not
// checked: the targets are in docs/admin/cluster.md), the rows that waited in a spool, and where the
// sessions connected.
//
// Needs the cluster of scripts/lib/galera.sh (QB_GALERA_* and QB_DB_* exported). Ends with
// "failover: N passed, N failed".
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iomanip>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/hosted/HostedPlatform.h"
#include "store/ServerDeny.h"
#include "store/spool/SpoolNames.h"
#include "store/spool/SpoolWriteBack.h"
#include "tests/Tally.h"
#include "tests/TestSupport.h"
#include "tests/cluster/Cluster.h"
#include "tests/cluster/ClusterSessions.h"

namespace qbnotify::test {
namespace {

using Clock = std::chrono::steady_clock;
using Tally = check::Tally;
constexpr int kTerminalServers = 3;
constexpr int kSessionsPerServer = 10;

struct CaseRow {
  std::string name;
  int sessions = 0, wrongOutcome = 0, wrongRows = 0;
  std::uint64_t kept = 0;  // rows that waited in a spool until the write-back
  double slowestSession = 0;
  std::string slowestTag;
  long long slowestHandlerMs = 0;
  std::string connections;  // new connections per node during the round
};

// The new connections each node took, from its Connections counter ("-" for a node down or
// stopped: asking a stopped one would wait).
std::vector<long long> ConnectionCounts(const std::set<int>& stopped) {
  std::vector<long long> counts;
  for (const ClusterNode& node : ClusterNodes()) {
    if (stopped.count(node.number)) {
      counts.push_back(-1);
      continue;
    }
    try {
      NodeAdmin admin(node, "");
      counts.push_back(static_cast<long long>(
          admin.Number("SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME='CONNECTIONS'")));
    } catch (const std::exception&) {
      counts.push_back(-1);
    }
  }
  return counts;
}

bool RestartFirst() {
  const std::string command = std::string("'") + QBNOTIFY_SOURCE_DIR + "/scripts/galera' restart 1 >&2";
  return std::system(command.c_str()) == 0 && WaitSynced(ClusterNodes()[0], std::chrono::seconds(60));
}

bool SetOnFirst(const std::string& sql) {
  try {
    NodeAdmin(ClusterNodes()[0], "").Exec(sql);
    return true;
  } catch (const std::exception& error) {
    std::cerr << error.what() << '\n';
    return false;
  }
}

class FailoverRun {
 public:
  FailoverRun() {
    const ServerInfo& server = *Server();
    std::string list;
    for (const ClusterNode& node : ClusterNodes()) list += (list.empty() ? "" : ",") + ("127.0.0.1:" + std::to_string(node.port));
    for (int t = 1; t <= kTerminalServers; ++t) {
      const auto dir = install_.Path() / ("ts" + std::to_string(t));
      WriteSettingsFile(dir, SettingsText(server, list));
      installPaths_.push_back(dir);
    }
    list_ = list;
  }

  // Every terminal server decides a session from its snapshot of the rules while the database
  // is away (the next startup that reaches the database takes the snapshot).
  void CachedOfflineAdmission() {
    for (const auto& dir : installPaths_)
      WriteSettingsFile(dir, SettingsText(*Server(), list_) + "[Offline]\r\nAdmission=cached\r\n");
  }

  void SetUpFarm() {
    LoadFarm(ClusterNodes()[1], Server()->ds, Server()->dc, Server()->log);
  }

  // Every terminal server forgets the servers it denied.
  void ForgetDenials() {
    for (const auto& dir : installPaths_)
      std::filesystem::remove(dir / "Data" / "State" / (std::string(kServerDenyStateName) + ".state"));
  }

  // `offline`: the database is away for the whole round and the sessions are decided from the
  // snapshot; `beforeWriteBack` runs between the round and the write-back (the nodes resumed).
  CaseRow Round(const std::string& name, int round, std::chrono::milliseconds spread, std::vector<Fault> faults,
                Tally& tally, const std::set<int>& stopped = {}, bool offline = false,
                const std::function<bool()>& beforeWriteBack = {}) {
    std::cout << "case " << name << ": " << kTerminalServers * kSessionsPerServer << " sessions\n" << std::flush;
    std::vector<PlannedSession> plan;
    for (int i = 0; i < kSessionsPerServer; ++i)
      for (int t = 1; t <= kTerminalServers; ++t) plan.push_back(PlanSession(round, t, i, installPaths_[t - 1].string()));
    const std::vector<long long> before = ConnectionCounts(stopped);
    const auto start = Clock::now();
    std::size_t nextFault = 0;
    const auto runDueFaults = [&] {
      while (nextFault < faults.size() && Clock::now() >= start + faults[nextFault].after) {
        std::cout << " " << faults[nextFault].what << '\n' << std::flush;
        tally.Check(faults[nextFault].action(), name + ": " + faults[nextFault].what + " failed");
        ++nextFault;
      }
    };
    std::vector<RunningHost> running;
    for (std::size_t s = 0; s < plan.size(); ++s) {
      const auto due = start + spread * static_cast<long>(s) / static_cast<long>(plan.size());
      for (runDueFaults(); Clock::now() < due; runDueFaults()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      running.push_back(StartHost(plan[s].session, work_.Path()));
    }
    for (runDueFaults(); nextFault < faults.size(); runDueFaults()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const std::vector<HostOutcome> outcomes = FinishHosts(running, std::chrono::seconds(120));
    const std::vector<long long> after = ConnectionCounts(stopped);

    CaseRow row;
    row.name = name;
    for (std::size_t i = 0; i < before.size(); ++i)
      row.connections += (i ? "/" : "") + (before[i] < 0 || after[i] < 0 ? std::string("-") : std::to_string(after[i] - before[i]));
    if (beforeWriteBack) tally.Check(beforeWriteBack(), name + ": the nodes did not come back");
    row.kept = WriteBack(tally, name);
    Verify(name, round, plan, outcomes, tally, row, offline);
    return row;
  }

 private:
  // Writes back the rows each terminal server kept, as its next handler would (without a
  // budget), and answers how many there were.
  std::uint64_t WriteBack(Tally& tally, const std::string& name) {
    std::uint64_t kept = 0;
    for (const auto& dir : installPaths_) {
      const auto spool = dir / "Data" / "Spool";
      if (!std::filesystem::exists(spool)) continue;
      for (const auto& entry : std::filesystem::directory_iterator(spool))
        if (spool::IsWaitingRow(entry.path().filename().string())) ++kept;
      hosted::Session session = KevSession();
      SetInstallPath(session, dir.string());
      hosted::HostedPlatform platform(session);
      Connections connections;
      if (!tally.Check(OpenConnections(platform, connections), name + ": write-back: no connection")) continue;
      const DrainReport report = WriteBackSpool(platform, connections, false);
      tally.Check(!report.serverUnavailable && !report.diskFailed,
                  name + ": the write-back stopped (" + std::to_string(report.written) + " written)");
    }
    return kept;
  }

  // Offline, the duplicate-account rule needs the farm's live session table and is skipped:
  // that session is admitted and plays to its end. Every other kind ends as online.
  static const SessionKind& Expected(const SessionKind& kind, bool offline) {
    static const SessionKind admittedOffline{"refused, duplicate (not checked offline)", true,
                                             {{1, 2}, {2, 2}, {2, 3}, {2, 4}, {2, 5}, {2, 6}}, 4};
    return offline && std::string_view(kind.name) == "refused, duplicate" ? admittedOffline : kind;
  }

  void Verify(const std::string& name, int round, const std::vector<PlannedSession>& plan,
              const std::vector<HostOutcome>& outcomes, Tally& tally, CaseRow& row, bool offline) {
    NodeAdmin log(ClusterNodes()[1], Server()->log);  // node 2 runs every case
    const std::string tag = "R" + std::to_string(round);
    std::map<std::string, std::multiset<std::pair<int, int>>> events;
    for (const auto& r : log.Rows("SELECT ComputerName, TypeID, EventID FROM log WHERE ComputerName LIKE 'PC-" + tag + "N%'"))
      events[r[0]].insert({std::stoi(r[1]), std::stoi(r[2])});
    std::map<std::string, int> audit;
    for (const auto& r : log.Rows("SELECT sessionid, COUNT(*) FROM appshenji WHERE sessionid LIKE '" + tag +
                                  "N%' GROUP BY sessionid"))
      audit[r[0]] = std::stoi(r[1]);
    for (std::size_t s = 0; s < plan.size(); ++s) {
      const PlannedSession& p = plan[s];
      const HostOutcome& o = outcomes[s];
      const SessionKind& kind = Expected(*p.kind, offline);
      ++row.sessions;
      if (o.seconds > row.slowestSession) {
        row.slowestSession = o.seconds;
        row.slowestTag = p.tag;
      }
      row.slowestHandlerMs = std::max(row.slowestHandlerMs, o.slowestHandlerMs);
      const bool rightOutcome = o.status == 0 && o.ended == !kind.admitted;
      const auto& found = events[p.computer];
      const int auditFound = audit.count(p.tag) ? audit[p.tag] : 0;
      const bool rightRows = found == kind.events && auditFound == kind.auditRows;
      row.wrongOutcome += rightOutcome ? 0 : 1;
      row.wrongRows += rightRows ? 0 : 1;
      const std::string who = name + ": session " + p.tag + " (" + kind.name + ")";
      tally.Check(rightOutcome, who + ": exit status " + std::to_string(o.status) + ", " +
                                    (o.ended ? "ended" : "not ended") + ", expected " +
                                    (kind.admitted ? "admitted" : "refused") +
                                    (o.errors.empty() ? "" : "; stderr: " + o.errors.substr(0, 300)));
      tally.Check(rightRows, who + ": event rows " + Describe(found) + " expected " + Describe(kind.events) +
                                 ", audit rows " + std::to_string(auditFound) + " expected " +
                                 std::to_string(kind.auditRows));
    }
    if (offline) {
      // Every session was decided from the snapshot, and its records say so.
      const auto marked = log.Number("SELECT COUNT(DISTINCT ComputerName) FROM log WHERE ComputerName LIKE 'PC-" + tag +
                                     "N%' AND Parameter2 LIKE 'offline cached%'");
      tally.Check(marked == plan.size(),
                  name + ": " + std::to_string(marked) + " sessions with records marked 'offline cached', expected " +
                      std::to_string(plan.size()));
    }
    for (const auto& [table, column] : {std::pair<std::string, std::string>{"log", "ID"}, {"appshenji", "logid"}}) {
      const auto all = log.Number("SELECT COUNT(*) FROM " + table);
      const auto distinct = log.Number("SELECT COUNT(DISTINCT " + column + ") FROM " + table);
      tally.Check(all == distinct, name + ": " + table + " holds " + std::to_string(all) + " rows but " +
                                       std::to_string(distinct) + " distinct identifiers");
    }
  }

  TempDir install_;
  TempDir work_;
  std::vector<std::filesystem::path> installPaths_;
  std::string list_;  // the three nodes, as every terminal server lists them
};

std::string Seconds(double seconds) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(1) << seconds;
  return out.str();
}

void PrintRows(const std::vector<CaseRow>& rows) {
  std::vector<std::vector<std::string>> table = {{"case", "sessions", "wrong outcome", "wrong rows", "kept, written back",
                                                  "slowest session s", "slowest handler s", "connections node 1/2/3"}};
  for (const CaseRow& r : rows)
    table.push_back({r.name, std::to_string(r.sessions), std::to_string(r.wrongOutcome), std::to_string(r.wrongRows),
                     std::to_string(r.kept), Seconds(r.slowestSession) + " (" + r.slowestTag + ")",
                     Seconds(static_cast<double>(r.slowestHandlerMs) / 1000.0), r.connections});
  PrintTable(table);
}

int Run() {
  if (!Server() || ClusterNodes().size() != 3) {
    std::cerr << "no cluster: start one with scripts/lib/galera.sh (qb_galera_start) or scripts/galera start\n";
    return 2;
  }
  Tally tally("failover");
  FailoverRun run;
  run.SetUpFarm();
  const ClusterNode& first = ClusterNodes()[0];
  std::vector<CaseRow> rows;
  int round = 101;
  const auto now = std::chrono::milliseconds(0);
  const auto setting = [&](const std::string& name, const std::string& on, const std::string& off) {
    tally.Check(SetOnFirst(on), name + ": " + on + " failed");
    rows.push_back(run.Round(name, round++, now, {}, tally));
    tally.Check(SetOnFirst(off), name + ": " + off + " failed");
    run.ForgetDenials();
  };

  rows.push_back(run.Round("all nodes up", round++, now, {}, tally));
  setting("node 1 read-only", "SET GLOBAL read_only=ON", "SET GLOBAL read_only=OFF");
  setting("node 1 desynced", "SET GLOBAL wsrep_desync=ON", "SET GLOBAL wsrep_desync=OFF");
  setting("node 1 rejecting queries", "SET GLOBAL wsrep_reject_queries=ALL", "SET GLOBAL wsrep_reject_queries=NONE");

  {
    const int pid = NodePid(first);
    tally.Check(pid > 0 && kill(pid, SIGSTOP) == 0, "node 1 could not be stopped");
    rows.push_back(run.Round("node 1 hung", round++, now, {}, tally, {1}));
    if (pid > 0) kill(pid, SIGCONT);
    tally.Check(WaitSynced(first, std::chrono::seconds(90)), "node 1 did not rejoin after the hang");
    run.ForgetDenials();
  }

  tally.Check(KillNode(first), "node 1 could not be killed");
  rows.push_back(run.Round("node 1 killed", round++, now, {}, tally));
  tally.Check(RestartFirst(), "node 1 did not come back Synced");
  run.ForgetDenials();

  rows.push_back(run.Round("node 1 killed mid-round", round++, std::chrono::milliseconds(3000),
                           {{std::chrono::milliseconds(1500), "node 1 killed", [&] { return KillNode(first); }}}, tally));
  const auto killed = Clock::now();
  tally.Check(RestartFirst(), "node 1 did not come back Synced");
  // Sessions go back to node 1 once its deny time has passed.
  std::this_thread::sleep_until(killed + std::chrono::seconds(kServerDenySeconds + 2));
  CaseRow back = run.Round("node 1 back", round++, now, {}, tally);
  const long long onFirst = std::atoll(back.connections.c_str());
  tally.Check(onFirst >= 3 * kTerminalServers * kSessionsPerServer,
              "node 1 back: it took " + std::to_string(onFirst) + " connections, not every session's three");
  rows.push_back(back);

  // The door stays shut while every node is stopped: each terminal server decides from its
  // snapshot of the rules, which a round with every node up has taken.
  run.CachedOfflineAdmission();
  rows.push_back(run.Round("cached, all nodes up", round++, now, {}, tally));
  {
    std::vector<int> pids;
    for (const ClusterNode& node : ClusterNodes()) {
      pids.push_back(NodePid(node));
      tally.Check(pids.back() > 0 && kill(pids.back(), SIGSTOP) == 0, "node " + std::to_string(node.number) + " could not be stopped");
    }
    const auto resume = [&] {
      for (const int pid : pids)
        if (pid > 0) kill(pid, SIGCONT);
      bool synced = true;
      for (const ClusterNode& node : ClusterNodes()) synced = WaitSynced(node, std::chrono::seconds(90)) && synced;
      return synced;
    };
    rows.push_back(run.Round("cached, every node stopped", round++, now, {}, tally, {1, 2, 3}, true, resume));
    run.ForgetDenials();
  }

  std::cout << '\n';
  PrintRows(rows);
  std::cout << " kept, written back: rows that waited in a terminal server's spool and were written back after the\n"
               " round; wrong rows: sessions whose rows are missing or there twice after that. Connections: new\n"
               " connections each node took during the round (3 per session on the node it used).\n";
  return tally.Finish();
}

}  // namespace
}  // namespace qbnotify::test

int main() {
  signal(SIGPIPE, SIG_IGN);
  try {
    return qbnotify::test::Run();
  } catch (const std::exception& error) {
    qbnotify::check::Tally tally("failover");
    tally.Check(false, error.what());
    return tally.Finish();
  }
}
