// Database connections and statements with named parameters.
//
// Each statement is rendered in the client into one plain text query: every parameter
// reference becomes the literal of its bound value (a text through the client library's
// own escaping for the connection's character set, an integer in decimal, a date-time as
// 'YYYY-MM-DD HH:MM:SS', an unbound parameter as NULL). Results are fetched whole. Every
// failure is raised as DatabaseError carrying the client library's or the server's message.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/Platform.h"

struct st_mysql;

namespace qbnotify {

struct MysqlApi;

class DatabaseError : public std::runtime_error {
 public:
  explicit DatabaseError(const std::string& message, unsigned code = 0) : std::runtime_error(message), code_(code) {}
  // The client library's or server's error number; 0 for errors raised by the library itself.
  unsigned Code() const { return code_; }

 private:
  unsigned code_;
};

// The texts travel as code-page-936 bytes, so every connection states that character set
// before it connects: that keeps the bytes unchanged on the server and the escaping right.
inline constexpr const char* kConnectionCharset = "gbk";

class Connection {
 public:
  explicit Connection(std::string name) : name_(std::move(name)) {}
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const std::string& Name() const { return name_; }
  bool IsOpen() const { return handle_ != nullptr; }

  // Connection values; the port is handed on as it was converted.
  std::string host;  // empty: the local machine
  std::int32_t port = 3306;
  std::string user;
  std::string password;
  std::string database;
  unsigned connectTimeoutSeconds = 30;

  // Connects with the values above. Throws DatabaseError on failure (the connection stays
  // closed). Does nothing when already open.
  void Open();
  // Disconnects; does nothing when closed.
  void Close();

  // Runs one query (opening the connection first when it is closed) and returns its whole
  // result, or an empty result for a statement without one. Throws DatabaseError; a lost
  // connection is closed so that the next statement connects again.
  struct Result {
    std::vector<std::string> columns;
    std::vector<std::vector<std::optional<std::string>>> rows;
  };
  Result Query(const std::string& sql);

  // Renders a text as a quoted literal for this connection (opening it first when closed).
  std::string QuoteText(std::string_view text);

  // How many queries this connection has sent, for measurements.
  std::uint64_t QueriesSent() const { return queriesSent_; }

 private:
  [[noreturn]] void Fail(const char* what);

  std::string name_;
  st_mysql* handle_ = nullptr;
  std::uint64_t queriesSent_ = 0;
};

// A statement on one connection: SQL text with named parameters, bound values and, after
// Open, the whole fetched result with a current row.
class Statement {
 public:
  // Throws DatabaseError when there is no connection (never opened, or released).
  explicit Statement(Connection* connection);

  // Discards the fetched result and takes a new text; the parameters are those it names.
  void SetSql(std::string sql);
  // Bind the parameter of that name (matched without regard to case). Throws DatabaseError
  // for a name the text does not hold.
  void BindText(std::string_view name, std::string value);
  void BindInteger(std::string_view name, std::int32_t value);
  void BindDateTime(std::string_view name, const DateTime& value);

  // Runs a statement that returns rows and fetches them all; the current row is the first.
  void Open();
  // Runs a statement that returns no rows.
  void Execute();
  // Discards the fetched result; the text and bindings stay.
  void Close();

  std::size_t RowCount() const { return result_.rows.size(); }
  bool IsEmpty() const { return result_.rows.empty(); }
  void First() { current_ = 0; }
  // Makes the row with that index (counted from 0) the current row.
  void Seek(std::size_t row) { current_ = row; }

  // The current row's value of a column, by name (without regard to case) or position.
  // NULL, and any column of an empty result, read as "" and 0. Throws DatabaseError for a
  // column the result does not have, or a value that does not read as an integer.
  std::string ColumnText(std::string_view column) const;
  std::string ColumnText(std::size_t position) const;
  std::int32_t ColumnInteger(std::string_view column) const;
  std::int32_t ColumnInteger(std::size_t position) const;

  // The query text as it is sent to the server.
  std::string Render() const;

 private:
  using Value = std::variant<std::monostate, std::string, std::int32_t, DateTime>;
  Value* Parameter(std::string_view name);
  std::size_t ColumnPosition(std::string_view column) const;
  const std::optional<std::string>* Cell(std::size_t position) const;

  Connection* connection_;
  std::string sql_;
  std::map<std::string, Value> parameters_;  // by folded name
  Connection::Result result_;
  std::size_t current_ = 0;
};

// Renders a date-time as the server reads it; the zero value gives "0000-00-00 00:00:00".
std::string FormatDateTime(const DateTime& value);

// The three process-wide connections. A null pointer: not created yet, or released.
struct Connections {
  std::unique_ptr<Connection> DS;
  std::unique_ptr<Connection> DC;
  std::unique_ptr<Connection> Log;
};

// Splits a "host:port" value: the host before the first ":", the port after it (the whole
// value when there is no ":"). nullopt when the port text is not a decimal integer.
struct HostPort {
  std::string host;
  std::int32_t port;
};
std::optional<HostPort> SplitHostPort(const std::string& value);

// Creates the three connections, configures them from the connection settings and opens
// them in the order DS, DC, Log. False at the first failure: the connections opened so far
// stay open, the rest keep the values they had. Never throws.
bool OpenConnections(Platform& platform, Connections& connections);

}  // namespace qbnotify
