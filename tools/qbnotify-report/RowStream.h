// Rows read one at a time as the server sends them, so that a report over millions of rows
// never holds them all: a connection of the report's own, made read-only, whose query
// results are not fetched whole (the client library's "use result" reading).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "store/Database.h"

struct st_mysql;

namespace qbnotify::report {

class RowStream {
 public:
  // Connects with the values of `like` (host, port, account, database), character set gbk,
  // and makes the session read-only. Throws DatabaseError.
  explicit RowStream(const Connection& like);
  ~RowStream();
  RowStream(const RowStream&) = delete;
  RowStream& operator=(const RowStream&) = delete;

  // Runs a query and hands each row to `row` as it arrives (NULL as an empty text; the views
  // live until `row` returns). Throws DatabaseError, also for a row that fails midway.
  using Row = std::vector<std::string_view>;
  void Each(const std::string& sql, const std::function<void(const Row&)>& row);
  // The same in two steps: Send hands the query to the server and returns at once, so that
  // the server works on it (its reads and its sort) while this program reads another
  // connection's rows; EachSent then reads its rows as Each does. Nothing else may be sent on
  // this connection between the two.
  void Send(const std::string& sql);
  void EachSent(const std::function<void(const Row&)>& row);
  // Runs a statement without rows.
  void Run(const std::string& sql);
  // A text as a quoted literal for this connection.
  std::string Quote(std::string_view text);

 private:
  [[noreturn]] void Fail(const std::string& what);
  st_mysql* handle_ = nullptr;
};

}  // namespace qbnotify::report
