#include "tests/cluster/Cluster.h"

#include "tests/StoredRows.h"

#include <mysql.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace qbnotify::test {
namespace {

std::vector<std::string> SplitCommas(const char* text) {
  std::vector<std::string> parts;
  if (!text) return parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, ',');)
    if (!part.empty()) parts.push_back(part);
  return parts;
}

}  // namespace

const std::vector<ClusterNode>& ClusterNodes() {
  static const std::vector<ClusterNode> nodes = [] {
    std::vector<ClusterNode> out;
    const char* dir = std::getenv("QB_GALERA_DIR");
    const auto ports = SplitCommas(std::getenv("QB_GALERA_PORTS"));
    const auto sockets = SplitCommas(std::getenv("QB_GALERA_SOCKETS"));
    if (!dir || ports.empty() || ports.size() != sockets.size()) return out;
    for (std::size_t i = 0; i < ports.size(); ++i) {
      ClusterNode node;
      node.number = static_cast<int>(i + 1);
      node.port = std::atoi(ports[i].c_str());
      node.socket = sockets[i];
      node.pidFile = std::string(dir) + "/node" + std::to_string(i + 1) + "/mysqld.pid";
      out.push_back(node);
    }
    return out;
  }();
  return nodes;
}

NodeAdmin::NodeAdmin(const ClusterNode& node, const std::string& database)
    : name_("node " + std::to_string(node.number)) {
  handle_ = mysql_init(nullptr);
  mysql_options(handle_, MYSQL_SET_CHARSET_NAME, "gbk");
  const unsigned timeout = 30;
  mysql_options(handle_, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
  mysql_options(handle_, MYSQL_OPT_READ_TIMEOUT, &timeout);
  mysql_options(handle_, MYSQL_OPT_WRITE_TIMEOUT, &timeout);
  if (!mysql_real_connect(handle_, "localhost", "root", nullptr, database.c_str(), 0, node.socket.c_str(),
                          CLIENT_MULTI_STATEMENTS)) {
    const std::string message = mysql_error(handle_);
    mysql_close(handle_);
    handle_ = nullptr;
    throw std::runtime_error(name_ + ": admin connection: " + message);
  }
  Exec("SET SESSION wsrep_sync_wait = 1");
}

NodeAdmin::~NodeAdmin() {
  if (handle_) mysql_close(handle_);
}

void NodeAdmin::Fail(const std::string& sql) {
  throw std::runtime_error(name_ + ": " + sql.substr(0, 200) + ": " + mysql_error(handle_));
}

void NodeAdmin::Exec(const std::string& sql) {
  if (mysql_real_query(handle_, sql.data(), sql.size()) != 0) Fail(sql);
  int status = 0;
  do {
    if (MYSQL_RES* result = mysql_store_result(handle_)) mysql_free_result(result);
  } while ((status = mysql_next_result(handle_)) == 0);
  if (status > 0) Fail(sql);
}

std::vector<std::vector<std::string>> NodeAdmin::Rows(const std::string& sql) {
  if (mysql_real_query(handle_, sql.data(), sql.size()) != 0) Fail(sql);
  std::vector<std::vector<std::string>> rows;
  MYSQL_RES* result = mysql_store_result(handle_);
  if (!result) {
    if (mysql_errno(handle_) != 0) Fail(sql);
    return rows;
  }
  return test::TakeStoredRows(result);
}

std::string NodeAdmin::Scalar(const std::string& sql) {
  const auto rows = Rows(sql);
  return rows.empty() || rows[0].empty() ? std::string() : rows[0][0];
}

std::uint64_t NodeAdmin::Number(const std::string& sql) {
  const std::string text = Scalar(sql);
  try {
    return std::stoull(text);
  } catch (const std::exception&) {
    throw std::runtime_error(name_ + ": " + sql.substr(0, 200) + ": not a number: '" + text + "'");
  }
}

void WaitAllApplied(const std::string& database) {
  // Each admin connection's reads wait for its node to catch up (wsrep_sync_wait).
  for (const ClusterNode& node : ClusterNodes()) NodeAdmin(node, database).Scalar("SELECT COUNT(*) FROM Application");
}

int NodePid(const ClusterNode& node) {
  std::ifstream file(node.pidFile);
  int pid = 0;
  return file >> pid ? pid : 0;
}

bool KillNode(const ClusterNode& node) {
  const int pid = NodePid(node);
  return pid > 0 && kill(pid, SIGKILL) == 0;
}

// Waits (bounded) until the node answers as Synced in a cluster of all three nodes.
bool WaitSynced(const ClusterNode& node, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    try {
      NodeAdmin admin(node, "");
      if (admin.Scalar("SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE "
                       "VARIABLE_NAME='WSREP_LOCAL_STATE_COMMENT'") == "Synced" &&
          admin.Scalar("SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE "
                       "VARIABLE_NAME='WSREP_CLUSTER_SIZE'") == std::to_string(ClusterNodes().size()))
        return true;
    } catch (const std::exception&) {
      // Not answering yet.
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return false;
}

}  // namespace qbnotify::test
