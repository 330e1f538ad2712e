#include "TestDatabase.h"

#include "StoredRows.h"

#include <mysql.h>

#include "environment/ConnectionSettings.h"

namespace qbnotify::test {
AdminConnection::AdminConnection(const std::string& database) {
  handle_ = mysql_init(nullptr);
  mysql_options(handle_, MYSQL_SET_CHARSET_NAME, "gbk");
  if (!mysql_real_connect(handle_, "localhost", "root", nullptr, database.c_str(), 0, Server()->socket.c_str(),
                          CLIENT_MULTI_STATEMENTS))
    ADD_FAILURE() << "admin connection: " << mysql_error(handle_);
}

AdminConnection::~AdminConnection() { mysql_close(handle_); }

void AdminConnection::Exec(const std::string& sql) {
  if (mysql_real_query(handle_, sql.data(), sql.size()) != 0) {
    ADD_FAILURE() << sql << ": " << mysql_error(handle_);
    return;
  }
  do {
    if (MYSQL_RES* result = mysql_store_result(handle_)) mysql_free_result(result);
  } while (mysql_next_result(handle_) == 0);
  if (mysql_errno(handle_) != 0) ADD_FAILURE() << sql << ": " << mysql_error(handle_);
}

std::vector<std::vector<std::string>> AdminConnection::Rows(const std::string& sql) {
  std::vector<std::vector<std::string>> rows;
  if (mysql_real_query(handle_, sql.data(), sql.size()) != 0) {
    ADD_FAILURE() << sql << ": " << mysql_error(handle_);
    return rows;
  }
  MYSQL_RES* result = mysql_store_result(handle_);
  if (!result) return rows;
  return TakeStoredRows(result);
}

std::string AdminConnection::Scalar(const std::string& sql) {
  const auto rows = Rows(sql);
  return rows.empty() || rows[0].empty() ? std::string() : rows[0][0];
}

void SetServerClock(AdminConnection& admin, const std::string& localTime) {
  if (localTime.empty()) admin.Exec("SET GLOBAL init_connect = ''");
  else admin.Exec("SET GLOBAL init_connect = 'SET timestamp = UNIX_TIMESTAMP(''" + localTime + "'')'");
}

void DatabaseTest::SetUp() {
  if (!Server()) GTEST_SKIP() << "no database server: run the tests through scripts/test";
  ds_ = std::make_unique<AdminConnection>(server().ds);
  dc_ = std::make_unique<AdminConnection>(server().dc);
  log_ = std::make_unique<AdminConnection>(server().log);
  for (const char* table : {"GloabolInc", "Cuser", "Application", "securitypolicy_sub", "addressgroup", "timegroup"})
    ds().Exec(std::string("TRUNCATE TABLE ") + table);
  dc().Exec("TRUNCATE TABLE dc_sessionload");
  log().Exec("TRUNCATE TABLE log; TRUNCATE TABLE appshenji");
  SetServerClock(ds(), "");
  WriteSettingsFile(installPath(), SettingsText(server()));
}

void DatabaseTest::TearDown() {
  if (ds_) SetServerClock(ds(), "");
}

hosted::Session DatabaseTest::Session(const std::string& initialProgram) {
  hosted::Session session = KevSession(initialProgram);
  SetInstallPath(session, installPath().string());
  return session;
}

void DatabaseTest::Play(Instance& instance, const std::vector<void (*)(Instance&)>& handlers) {
  auto* platform = dynamic_cast<hosted::HostedPlatform*>(&instance.platform);
  for (auto handler : handlers) {
    if (platform && platform->SessionEnded()) return;
    Deliver(handler, instance);
    if (platform) platform->AdvanceClock(60);
  }
}

}  // namespace qbnotify::test
