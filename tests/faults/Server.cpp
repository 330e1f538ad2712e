#include "Server.h"

#include "tests/StoredRows.h"

#include <fcntl.h>
#include <mysql.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace qbnotify::faults {
namespace {

using Clock = std::chrono::steady_clock;

// In a child: die with the parent, send output to the log, run the program.
[[noreturn]] void ExecChild(const std::vector<std::string>& argv, const std::filesystem::path& logPath) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  signal(SIGPIPE, SIG_DFL);
  const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  const int null = open("/dev/null", O_RDONLY);
  if (log >= 0) {
    dup2(log, STDOUT_FILENO);
    dup2(log, STDERR_FILENO);
  }
  if (null >= 0) dup2(null, STDIN_FILENO);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

// Waits for a child at most `limit`; kills it past that. Its exit status, or -1.
int Reap(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (done < 0) return -1;
    if (Clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Connects as root over the socket; nullptr when the server does not answer.
MYSQL* ConnectRoot(const std::string& socket, const std::string& database, std::string* error) {
  MYSQL* handle = mysql_init(nullptr);
  if (!handle) return nullptr;
  unsigned connectTimeout = 5, readTimeout = 60, writeTimeout = 60;
  mysql_options(handle, MYSQL_OPT_CONNECT_TIMEOUT, &connectTimeout);
  mysql_options(handle, MYSQL_OPT_READ_TIMEOUT, &readTimeout);
  mysql_options(handle, MYSQL_OPT_WRITE_TIMEOUT, &writeTimeout);
  mysql_options(handle, MYSQL_SET_CHARSET_NAME, "gbk");
  if (!mysql_real_connect(handle, "localhost", "root", nullptr, database.empty() ? nullptr : database.c_str(), 0,
                          socket.c_str(), CLIENT_MULTI_STATEMENTS)) {
    if (error) *error = mysql_error(handle);
    mysql_close(handle);
    return nullptr;
  }
  return handle;
}

}  // namespace

// Below 32768, where the kernel takes no local ports for outgoing connections (its range here
// starts there): a port chosen there stays free for the server's restarts on the same port.
int FreePort() {
  std::random_device random;
  for (int attempt = 0; attempt < 200; ++attempt) {
    const int port = 10000 + static_cast<int>(random() % 22768);
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool taken = connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(probe);
    if (!taken) return port;
  }
  throw ServerError("no free loopback port");
}

int RunProgram(const std::vector<std::string>& argv, const std::filesystem::path& logPath, int limitSeconds) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) ExecChild(argv, logPath);
  return Reap(pid, std::chrono::seconds(limitSeconds));
}

// --- PrivateServer ---

PrivateServer::PrivateServer(std::filesystem::path dir, std::filesystem::path schemaDir)
    : dir_(std::move(dir)), schemaDir_(std::move(schemaDir)), socket_((dir_ / "mysqld.sock").string()) {}

PrivateServer::~PrivateServer() { Stop(); }

void PrivateServer::Create() {
  std::filesystem::create_directories(dir_ / "data");
  const std::vector<std::string> install = {"mariadb-install-db",
                                            "--no-defaults",
                                            "--datadir=" + (dir_ / "data").string(),
                                            "--user=root",
                                            "--skip-name-resolve",
                                            "--lower-case-table-names=1",
                                            "--innodb-log-file-size=8M",
                                            "--auth-root-authentication-method=socket",
                                            "--skip-test-db"};
  if (RunProgram(install, dir_ / "install.log", 120) != 0)
    throw ServerError("mariadb-install-db failed:\n" + ReadFile(dir_ / "install.log"));
  // A port taken between its choice and the server's bind: another port.
  for (int attempt = 1;; ++attempt) {
    port_ = FreePort();
    try {
      Start();
      break;
    } catch (const ServerError& failure) {
      if (attempt == 5 || std::string(failure.what()).find("Address already in use") == std::string::npos) throw;
    }
  }

  Admin admin(*this);
  std::string accounts;
  for (const char* database : {kDsDatabase, kDcDatabase, kLogDatabase})
    accounts += std::string("CREATE DATABASE ") + database + " CHARACTER SET gbk;";
  for (const char* host : {"127.0.0.1", "localhost"})
    accounts += std::string("CREATE USER '") + kAccount + "'@'" + host + "' IDENTIFIED BY '" + kPassword + "';";
  admin.Exec(accounts);
  for (const auto& [database, file] : {std::pair{kDsDatabase, "ds.sql"}, std::pair{kDcDatabase, "dc.sql"},
                                       std::pair{kLogDatabase, "log.sql"}}) {
    Admin schema(*this, database);
    schema.Exec(ReadFile(schemaDir_ / file));
  }
  admin.Exec(RoleStatements());
  admin.Exec(ReadFile(schemaDir_ / "sample.sql"));
}

std::string PrivateServer::RoleStatements() const {
  std::string sql = "DROP ROLE IF EXISTS qbnotify_library; DROP ROLE IF EXISTS qbnotify_reader;";
  for (const char* host : {"127.0.0.1", "localhost"})
    sql += std::string("REVOKE ALL PRIVILEGES, GRANT OPTION FROM '") + kAccount + "'@'" + host + "';";
  sql += ReadFile(schemaDir_ / "grants.sql");
  for (const char* host : {"127.0.0.1", "localhost"})
    sql += std::string("GRANT qbnotify_library TO '") + kAccount + "'@'" + host + "'; SET DEFAULT ROLE qbnotify_library FOR '" +
           kAccount + "'@'" + host + "';";
  return sql;
}

void PrivateServer::Start() {
  if (pid_ > 0) return;
  const std::string data = (dir_ / "data").string();
  const std::vector<std::string> argv = {"mariadbd",
                                         "--no-defaults",
                                         "--datadir=" + data,
                                         "--user=root",
                                         "--skip-name-resolve",
                                         "--lower-case-table-names=1",
                                         "--innodb-log-file-size=8M",
                                         "--socket=" + socket_,
                                         "--port=" + std::to_string(port_),
                                         "--bind-address=127.0.0.1",
                                         "--pid-file=" + (dir_ / "mysqld.pid").string(),
                                         "--log-error=" + (dir_ / "error.log").string(),
                                         "--character-set-server=gbk",
                                         "--collation-server=gbk_chinese_ci",
                                         "--max-connections=500"};
  std::vector<std::string> args = argv;
  args.insert(args.end(), extraOptions_.begin(), extraOptions_.end());
  if (clusterNode_) {
    // A cluster of one node, bootstrapped anew, with its group port on loopback.
    const std::string group = std::to_string(FreePort());
    for (const std::string& option :
         {std::string("--binlog-format=ROW"), std::string("--innodb-autoinc-lock-mode=2"), std::string("--wsrep-on=ON"),
          std::string("--wsrep-provider=/usr/lib/galera/libgalera_smm.so"), std::string("--wsrep-cluster-address=gcomm://"),
          "--wsrep-node-address=127.0.0.1:" + group, "--wsrep-provider-options=base_port=" + group,
          std::string("--wsrep-new-cluster")})
      args.push_back(option);
  }
  pid_ = fork();
  if (pid_ < 0) throw ServerError("cannot start mariadbd");
  if (pid_ == 0) ExecChild(args, dir_ / "stderr.log");
  paused_ = false;

  const auto deadline = Clock::now() + std::chrono::seconds(60);
  std::string error;
  while (Clock::now() < deadline) {
    if (MYSQL* handle = ConnectRoot(socket_, {}, &error)) {
      mysql_close(handle);
      return;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw ServerError("mariadbd ended at start:\n" + ReadFile(dir_ / "stderr.log") + ReadFile(dir_ / "error.log"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  Kill();
  throw ServerError("mariadbd did not answer within 60 s: " + error);
}

void PrivateServer::Stop() {
  if (pid_ <= 0) return;
  if (paused_) Resume();
  kill(pid_, SIGTERM);
  Reap(pid_, std::chrono::seconds(30));
  pid_ = -1;
}

void PrivateServer::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  Reap(pid_, std::chrono::seconds(30));
  pid_ = -1;
  paused_ = false;
}

void PrivateServer::Pause() {
  if (pid_ > 0 && kill(pid_, SIGSTOP) == 0) paused_ = true;
}

void PrivateServer::Resume() {
  if (pid_ > 0) kill(pid_, SIGCONT);
  paused_ = false;
}

// --- Admin ---

Admin::Admin(const PrivateServer& server, const std::string& database) {
  std::string error;
  handle_ = ConnectRoot(server.Socket(), database, &error);
  if (!handle_) throw ServerError("administrator's connection: " + error);
}

Admin::~Admin() {
  if (handle_) mysql_close(handle_);
}

void Admin::Exec(const std::string& sql) {
  if (mysql_real_query(handle_, sql.data(), sql.size()) != 0)
    throw ServerError(sql.substr(0, 200) + ": " + mysql_error(handle_));
  int next = 0;
  do {
    if (MYSQL_RES* result = mysql_store_result(handle_)) mysql_free_result(result);
    if (mysql_errno(handle_) != 0) break;
    next = mysql_next_result(handle_);
  } while (next == 0);
  if (mysql_errno(handle_) != 0) throw ServerError(sql.substr(0, 200) + ": " + mysql_error(handle_));
}

std::vector<std::vector<std::string>> Admin::Rows(const std::string& sql) {
  if (mysql_real_query(handle_, sql.data(), sql.size()) != 0)
    throw ServerError(sql.substr(0, 200) + ": " + mysql_error(handle_));
  std::vector<std::vector<std::string>> rows;
  MYSQL_RES* result = mysql_store_result(handle_);
  if (!result) {
    if (mysql_field_count(handle_) != 0) throw ServerError(sql.substr(0, 200) + ": " + mysql_error(handle_));
    return rows;
  }
  return test::TakeStoredRows(result);
}

}  // namespace qbnotify::faults
