#include "tests/AdminDatabase.h"

#include <mysql.h>

#include <stdexcept>

#include "tests/StoredRows.h"

namespace qbnotify::test {

AdminSession::AdminSession(const ServerInfo& server, const std::string& database, std::string nullText)
    : handle_(mysql_init(nullptr)), nullText_(std::move(nullText)) {
  mysql_options(handle_, MYSQL_SET_CHARSET_NAME, "gbk");
  if (!mysql_real_connect(handle_, "localhost", "root", nullptr, database.c_str(), 0, server.socket.c_str(),
                          CLIENT_MULTI_STATEMENTS)) {
    const std::string message = mysql_error(handle_);
    mysql_close(handle_);
    throw std::runtime_error("admin connection: " + message);
  }
}

AdminSession::~AdminSession() { mysql_close(handle_); }

void AdminSession::Exec(const std::string& sql) {
  if (mysql_real_query(handle_, sql.data(), sql.size()) != 0)
    throw std::runtime_error(sql.substr(0, 200) + ": " + mysql_error(handle_));
  int status = 0;
  do {
    if (MYSQL_RES* result = mysql_store_result(handle_)) mysql_free_result(result);
  } while ((status = mysql_next_result(handle_)) == 0);
  if (status > 0) throw std::runtime_error(sql.substr(0, 200) + ": " + mysql_error(handle_));
}

std::vector<std::vector<std::string>> AdminSession::Rows(const std::string& sql, std::vector<std::string>* columns) {
  if (mysql_real_query(handle_, sql.data(), sql.size()) != 0)
    throw std::runtime_error(sql.substr(0, 200) + ": " + mysql_error(handle_));
  MYSQL_RES* result = mysql_store_result(handle_);
  if (!result) return {};
  return TakeStoredRows(result, nullText_, columns);
}

std::string AdminSession::Scalar(const std::string& sql) {
  const auto rows = Rows(sql);
  return rows.empty() || rows[0].empty() ? std::string() : rows[0][0];
}

std::unique_ptr<Connection> LibraryConnection(const ServerInfo& server, const std::string& database) {
  auto connection = std::make_unique<Connection>(database);
  connection->host = server.host;
  connection->port = server.port;
  connection->user = server.user;
  connection->password = server.password;
  connection->database = database;
  return connection;
}

}  // namespace qbnotify::test
