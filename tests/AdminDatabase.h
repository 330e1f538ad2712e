// The private server as the tests, the benchmarks and the integration programs set it up
// and read it back: an administrator's connection, the statements that empty the library's
// tables, and connections of the library's own kind.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "store/Database.h"
#include "tests/TestSupport.h"

struct st_mysql;

namespace qbnotify::test {

// An administrator's connection (root, over the server's socket), character set gbk; one
// call may run several statements separated by ";". Every failure throws
// std::runtime_error with the statement and the server's message.
class AdminSession {
 public:
  // `nullText` is how a NULL reads in Rows.
  AdminSession(const ServerInfo& server, const std::string& database, std::string nullText = "<NULL>");
  ~AdminSession();
  AdminSession(const AdminSession&) = delete;
  AdminSession& operator=(const AdminSession&) = delete;

  void Exec(const std::string& sql);
  // Rows of a query, with the column names in `columns` when given.
  std::vector<std::vector<std::string>> Rows(const std::string& sql, std::vector<std::string>* columns = nullptr);
  std::string Scalar(const std::string& sql);

 private:
  st_mysql* handle_ = nullptr;
  std::string nullText_;
};

// The statements that empty every table the library reads or writes, by database.
inline constexpr const char* kEmptyDsTables =
    "TRUNCATE TABLE GloabolInc; TRUNCATE TABLE Cuser; TRUNCATE TABLE Application; "
    "TRUNCATE TABLE securitypolicy_sub; TRUNCATE TABLE addressgroup; TRUNCATE TABLE timegroup";
inline constexpr const char* kEmptyDcTables = "TRUNCATE TABLE dc_sessionload";
inline constexpr const char* kEmptyLogTables = "TRUNCATE TABLE log; TRUNCATE TABLE appshenji";

// A connection of the library's own kind (TCP, the library's account, under the role
// qbnotify_library: a statement the role does not allow fails) to one of the
// server's databases, configured and not yet open.
std::unique_ptr<Connection> LibraryConnection(const ServerInfo& server, const std::string& database);

}  // namespace qbnotify::test
