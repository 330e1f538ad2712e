// A private MariaDB server that the fault suite owns: it can stop it (SIGSTOP), let it go on,
// kill it and start it again on the same port and data directory. The server process dies
// with the suite's process, whatever ends it.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

struct st_mysql;

namespace qbnotify::faults {

class ServerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The names the library's settings file gives.
inline constexpr const char* kAccount = "qbnotify";
inline constexpr const char* kPassword = "qb-Fault-2026";
inline constexpr const char* kDsDatabase = "qbds";
inline constexpr const char* kDcDatabase = "qbdc";
inline constexpr const char* kLogDatabase = "qblog";

class PrivateServer {
 public:
  // `dir` is created and holds everything of the server; `schemaDir` holds ds.sql, dc.sql,
  // log.sql, grants.sql and sample.sql.
  PrivateServer(std::filesystem::path dir, std::filesystem::path schemaDir);
  ~PrivateServer();
  PrivateServer(const PrivateServer&) = delete;
  PrivateServer& operator=(const PrivateServer&) = delete;

  // Creates the data directory, starts the server on a free port, creates the three
  // databases, the library's account under the role qbnotify_library and the sample farm.
  // Throws ServerError.
  void Create();
  // Starts the server on the port and data directory it had; waits until it answers (at most
  // 60 s). Throws ServerError.
  void Start();
  // Stops it cleanly (SIGTERM), at most 30 s, then kills it.
  void Stop();
  // kill -9, then reaps it.
  void Kill();
  void Pause();   // SIGSTOP
  void Resume();  // SIGCONT
  bool Running() const { return pid_ > 0; }
  // Whether the next Start starts the server as a Galera cluster of one node (a node can
  // then be told to answer "not ready", 1047, to every statement).
  void SetClusterNode(bool clusterNode) { clusterNode_ = clusterNode; }
  // Options added to the server's command line at every Start (say, a certificate for TLS).
  void SetExtraOptions(std::vector<std::string> options) { extraOptions_ = std::move(options); }

  int Port() const { return port_; }
  const std::string& Socket() const { return socket_; }
  // The statements that give the role qbnotify_library (and the reader's) exactly their
  // privileges again, taking back whatever a case granted the role or the account beside them.
  std::string RoleStatements() const;

 private:
  std::filesystem::path dir_;
  std::filesystem::path schemaDir_;
  std::string socket_;
  int port_ = 0;
  pid_t pid_ = -1;
  bool paused_ = false;
  bool clusterNode_ = false;
  std::vector<std::string> extraOptions_;
};

// An administrator's connection (root over the socket), character set gbk, with bounded
// waits. Throws ServerError on every failure.
class Admin {
 public:
  explicit Admin(const PrivateServer& server, const std::string& database = {});
  ~Admin();
  Admin(const Admin&) = delete;
  Admin& operator=(const Admin&) = delete;

  // Runs statements separated by ";".
  void Exec(const std::string& sql);
  // The rows of a query; NULL reads as "<NULL>".
  std::vector<std::vector<std::string>> Rows(const std::string& sql);

 private:
  st_mysql* handle_ = nullptr;
};

// A loopback port that nothing listens on at the moment of asking.
int FreePort();

// Runs a program to its end (at most `limitSeconds`, then it is killed), its output appended
// to `logPath`. Returns its exit status, or -1 when it was killed or could not start.
int RunProgram(const std::vector<std::string>& argv, const std::filesystem::path& logPath, int limitSeconds);

}  // namespace qbnotify::faults
