// The private Galera cluster that scripts/lib/galera.sh starts, seen from the cluster tests
// and benchmarks: its nodes, and an administrator's connection to one node whose reads see
// every write the cluster committed before them.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct st_mysql;

namespace qbnotify::test {

struct ClusterNode {
  int number = 0;  // 1, 2, 3
  int port = 0;    // the node's client port on 127.0.0.1
  std::string socket;
  std::string pidFile;  // the running server's pid file (absent while the node is down)
};

// The cluster's nodes, read from the environment the cluster script exports
// (QB_GALERA_DIR, QB_GALERA_PORTS, QB_GALERA_SOCKETS); empty when no cluster was started.
const std::vector<ClusterNode>& ClusterNodes();

// Root over a node's socket, character set gbk, with wsrep_sync_wait set so that every read
// waits until the node has applied what the cluster committed before it. Every failure
// throws std::runtime_error naming the node, the statement and the server's message.
class NodeAdmin {
 public:
  NodeAdmin(const ClusterNode& node, const std::string& database);
  ~NodeAdmin();
  NodeAdmin(const NodeAdmin&) = delete;
  NodeAdmin& operator=(const NodeAdmin&) = delete;

  // Runs statements (several may be separated by ";").
  void Exec(const std::string& sql);
  // Rows of a query; NULL reads as "<NULL>".
  std::vector<std::vector<std::string>> Rows(const std::string& sql);
  std::string Scalar(const std::string& sql);
  std::uint64_t Number(const std::string& sql);

 private:
  [[noreturn]] void Fail(const std::string& sql);

  st_mysql* handle_ = nullptr;
  std::string name_;
};

// Returns once every node has applied what the cluster committed before the call: a node
// applies another's writes a moment after they commit, and a session checked there before
// it has would be decided by the rules as they were.
void WaitAllApplied(const std::string& database);

// The node's server process id from its pid file; 0 when it has none.
int NodePid(const ClusterNode& node);

// Kills the node's server at once (SIGKILL), as a machine that fails. Returns false when
// the node had no running server.
bool KillNode(const ClusterNode& node);

// Waits (bounded) until the node answers as Synced in a cluster of all three nodes.
bool WaitSynced(const ClusterNode& node, std::chrono::seconds limit);

}  // namespace qbnotify::test
