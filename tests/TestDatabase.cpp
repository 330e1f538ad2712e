#include "TestDatabase.h"

#include <stdexcept>

namespace qbnotify::test {
AdminConnection::AdminConnection(const std::string& database) {
  try {
    session_ = std::make_unique<AdminSession>(*Server(), database);
  } catch (const std::exception& error) {
    ADD_FAILURE() << error.what();
  }
}

AdminConnection::~AdminConnection() = default;

void AdminConnection::Exec(const std::string& sql) {
  if (sql.empty()) return;
  try {
    if (!session_) throw std::runtime_error("no admin connection");
    session_->Exec(sql);
  } catch (const std::exception& error) {
    ADD_FAILURE() << error.what();
  }
}

void AdminConnection::KillConnection(const std::string& id) {
  try {
    if (!session_) throw std::runtime_error("no admin connection");
    session_->Exec("KILL CONNECTION " + id);
  } catch (const std::exception& error) {
    if (std::string(error.what()).find("Unknown thread id") == std::string::npos) ADD_FAILURE() << error.what();
  }
}

std::vector<std::vector<std::string>> AdminConnection::Rows(const std::string& sql) {
  try {
    if (!session_) throw std::runtime_error("no admin connection");
    return session_->Rows(sql);
  } catch (const std::exception& error) {
    ADD_FAILURE() << error.what();
  }
  return {};
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
  ds().Exec(kEmptyDsTables);
  dc().Exec(kEmptyDcTables);
  log().Exec(kEmptyLogTables);
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
