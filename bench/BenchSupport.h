// Shared by the benchmarks: the private server that scripts/bench starts, an administrator's
// connection for setting tables up, sessions of our protocol pointed at the server, and
// plain-text tables of figures.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/hosted/HostedPlatform.h"
#include "store/Database.h"
#include "tests/AdminDatabase.h"
#include "tests/TestSupport.h"

namespace qbnotify::bench {

// Where the server is (QB_DB_*, exported by scripts/bench). Exits the program with a
// message when no server was started.
using ServerInfo = test::ServerInfo;
const ServerInfo& Server();

// Runs a benchmark's body; a failure it raises is printed after `what` and gives status 1.
int RunReporting(const char* what, int (*run)());

// An administrator's connection (root, over the socket), character set gbk, NULL read as
// "NULL"; on a cluster, its reads wait for what the other nodes committed. Every failure
// throws std::runtime_error with the statement and the server's message.
class Admin : public test::AdminSession {
 public:
  explicit Admin(const std::string& database);
  std::uint64_t ScalarNumber(const std::string& sql) { return std::stoull(Scalar(sql)); }
};

// A connection of the library's own kind to one of the three databases, as the library
// would configure it from the settings file (TCP, the library's account).
std::unique_ptr<Connection> LibraryConnection(const std::string& database);

// An install directory holding a settings file that points at the server; removed at exit.
class InstallDir {
 public:
  InstallDir();
  ~InstallDir();
  InstallDir(const InstallDir&) = delete;
  InstallDir& operator=(const InstallDir&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// A remote session of our protocol whose registry points at the install directory.
hosted::Session KevSessionAt(const InstallDir& install,
                             const std::string& initialProgram =
                                 "\"C:\\TAV\\kevshell.exe\" /N:APP00000012 /U:alice /M:00-11-22-33-44-55 /E:S0001");

// Empties every table the library reads or writes.
void EmptyAllTables();

// Gives dc_sessionload the indexed switch columns (db/migrations/sessionload-index-add.sql)
// or takes them away again; does nothing when the table is already so.
void SetSessionLoadColumns(Admin& dc, bool wanted);

// Fills dc_sessionload with `count` running sessions besides those it holds whose client is
// PC-A: 200 applications (APP00000001 to APP00000200), 5,000 users (user00000 to user04999),
// 3,000 client computers, one session in ten over another protocol.
void SetRunningSessions(Admin& dc, int count);

// Waits (at most `limit`) until the server has written its changed pages and purged what
// earlier changes left behind, so that a figure measured next does not share the machine
// with the background work of the set-up before it. False when the limit passed first.
bool WaitForQuietServer(Admin& admin, std::chrono::seconds limit);

// A counter of the server's global status (0 when the server has none of that name).
inline std::uint64_t GlobalStatus(Admin& admin, const std::string& name) {
  const auto rows = admin.Rows("SHOW GLOBAL STATUS LIKE '" + name + "'");
  return rows.empty() ? 0 : std::stoull(rows.at(0).at(1));
}

// The rows the server has read so far (status Rows_read: all statements, all connections).
inline std::uint64_t RowsRead(Admin& admin) { return GlobalStatus(admin, "Rows_read"); }

// Microseconds between two instants.
using Clock = std::chrono::steady_clock;
inline double Micros(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::micro>(to - from).count();
}

// Order statistics of a sample (it is sorted in place). `q` in [0, 1].
double Quantile(std::vector<double>& sample, double q);
double Mean(const std::vector<double>& sample);

// A table printed with aligned columns: the first column left-aligned, the rest right.
class Table {
 public:
  explicit Table(std::vector<std::string> header) : header_(std::move(header)) {}
  void Add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
  void Print() const;

 private:
  std::vector<std::string> header_;
  std::vector<std::vector<std::string>> rows_;
};

// Fixed-point text of a number.
std::string Fixed(double value, int decimals);

// A heading line for a benchmark's section.
void Heading(const std::string& text);

// Writes or reads exactly `size` bytes on a pipe between a benchmark and its child
// processes; false when the other end has gone.
bool WriteAll(int fd, const void* data, std::size_t size);
bool ReadAll(int fd, void* data, std::size_t size);

}  // namespace qbnotify::bench
