// The cluster test's farm and sessions: the rules every round plays against, the kinds of
// session (admitted or refused, and the rows each must leave), and session-host processes
// started side by side.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/cluster/Cluster.h"

namespace qbnotify::test {

// Writes the farm's rows through one node and returns once every node has applied them (the
// other two databases are named in full).
void LoadFarm(const ClusterNode& through, const std::string& ds, const std::string& dc, const std::string& log);

// A kind of session and what it must leave: whether it is admitted, its event rows as
// (TypeID, EventID) pairs, and its number of audit rows.
struct SessionKind {
  const char* name;
  bool admitted;
  std::multiset<std::pair<int, int>> events;
  int auditRows;
};

// One session of a round: tag "R<round>N<node>S<index>" is its /E: switch (the audit's
// sessionid) and, after "PC-", its client computer's name (the event log's ComputerName).
struct PlannedSession {
  int node = 0;
  std::string tag;
  std::string computer;
  const SessionKind* kind = nullptr;
  nlohmann::ordered_json session;
};
PlannedSession PlanSession(int round, int node, int index, const std::string& installPath);

// A session-host process playing one session file.
struct RunningHost {
  pid_t pid = -1;
  std::filesystem::path dir;
  std::chrono::steady_clock::time_point started;
};
struct HostOutcome {
  int status = -1;     // exit status; 128 + signal; -1 when it had to be killed
  bool ended = false;  // the library ended the session
  std::string errors;  // its standard error
  double seconds = 0;  // from its start to its end (FinishHosts)
  long long slowestHandlerMs = 0;  // (FinishHosts)
};
RunningHost StartHost(const nlohmann::ordered_json& session, const std::filesystem::path& workDir);
// Waits for the host (at most `limit`, then kills it) and reads its output.
HostOutcome FinishHost(RunningHost& host, std::chrono::seconds limit);
// Waits for all hosts at once (each at most `limit` from now), noting when each ended and
// its slowest handler.
std::vector<HostOutcome> FinishHosts(std::vector<RunningHost>& hosts, std::chrono::seconds limit);

// Something done to a node while a round's sessions run.
struct Fault {
  std::chrono::milliseconds after;
  std::string what;
  std::function<bool()> action;
};

// Prints rows as a table, the first row as its heading: the first column left-aligned, the
// others right-aligned.
void PrintTable(const std::vector<std::vector<std::string>>& rows);

// "{(1,2) (2,2)}" for failure messages.
std::string Describe(const std::multiset<std::pair<int, int>>& events);

}  // namespace qbnotify::test
