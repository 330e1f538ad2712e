// The private MariaDB server that scripts/test starts, seen from the tests: an
// administrator's connection for setting tables up and reading them back, settings files
// that point the library at the server, and a fixture that starts every test from empty
// tables.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "notify/SessionContext.h"
#include "tests/AdminDatabase.h"

namespace qbnotify::test {

// An administrator's connection (root, over the socket), character set gbk, whose failures
// fail the test instead of raising.
class AdminConnection {
 public:
  explicit AdminConnection(const std::string& database);
  ~AdminConnection();
  AdminConnection(const AdminConnection&) = delete;
  AdminConnection& operator=(const AdminConnection&) = delete;

  // Runs statements (several may be separated by ";"; none for an empty text); fails the
  // test on an error.
  void Exec(const std::string& sql);
  // Rows of a query; NULL reads as "<NULL>".
  std::vector<std::vector<std::string>> Rows(const std::string& sql);
  std::string Scalar(const std::string& sql);
  // Ends a connection; one that ended meanwhile (listed a moment ago, closing since) is no
  // failure.
  void KillConnection(const std::string& id);

 private:
  std::unique_ptr<AdminSession> session_;
};

// Sets the database server's clock for the library's connections opened from now on (the
// connections of an account without administrative rights run init_connect): NOW(),
// CURDATE() and CURTIME() read the given local time. An empty text gives the real clock back.
void SetServerClock(AdminConnection& admin, const std::string& localTime);

// Every test starts from empty tables and a settings file that points at the server.
class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A session of our protocol whose registry points at the settings file.
  hosted::Session Session(const std::string& initialProgram =
                              "\"C:\\TAV\\kevshell.exe\" /N:APP00000012 /U:alice /M:00-11-22-33-44-55 /E:S0001");
  // Runs the handlers in order on one library instance, the way the exported entry points
  // deliver them (nothing leaves); stops after the session has been ended.
  void Play(Instance& instance, const std::vector<void (*)(Instance&)>& handlers);

  const ServerInfo& server() const { return *Server(); }
  AdminConnection& ds() { return *ds_; }
  AdminConnection& dc() { return *dc_; }
  AdminConnection& log() { return *log_; }
  const std::filesystem::path& installPath() const { return install_.Path(); }

 private:
  TempDir install_;
  std::unique_ptr<AdminConnection> ds_, dc_, log_;
};

}  // namespace qbnotify::test
