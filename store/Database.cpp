#include "store/Database.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "environment/ConnectionSettings.h"
#include "store/MysqlApi.h"
#include "store/SqlParameters.h"

#include <errmsg.h>

namespace qbnotify {
namespace {

const MysqlApi& Client() {
  const MysqlApi* api = MysqlClient();
  if (!api) throw DatabaseError("the MySQL client library is not available");
  return *api;
}

// Owns a stored result until the rows have been copied out.
struct ResultDeleter {
  void operator()(MYSQL_RES* result) const { Client().free_result(result); }
};
using ResultHandle = std::unique_ptr<MYSQL_RES, ResultDeleter>;

bool ParseInt32(std::string_view text, std::int32_t& out) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::string FormatDateTime(const DateTime& value) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", value.year, value.month, value.day, value.hour,
                value.minute, value.second);
  return text;
}

// --- Connection ---

Connection::~Connection() { Close(); }

void Connection::Fail(const char* what) {
  const MysqlApi& api = Client();
  const unsigned code = api.errno_(handle_);
  std::string message = api.error(handle_);
  if (message.empty()) message = what;
  // A connection the server dropped is closed, so that the next statement connects anew.
  if (code == CR_SERVER_GONE_ERROR || code == CR_SERVER_LOST) Close();
  throw DatabaseError(message, code);
}

void Connection::Open() {
  if (handle_) return;
  const MysqlApi& api = Client();
  MYSQL* handle = api.init(nullptr);
  if (!handle) throw DatabaseError("out of memory creating the " + name_ + " connection");
  unsigned timeout = connectTimeoutSeconds;
  api.options(handle, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
  api.options(handle, MYSQL_SET_CHARSET_NAME, kConnectionCharset);
  if (!api.real_connect(handle, host.empty() ? nullptr : host.c_str(), user.c_str(), password.c_str(), database.c_str(),
                        static_cast<unsigned>(port), nullptr, 0)) {
    const unsigned code = api.errno_(handle);
    const std::string message = api.error(handle);
    api.close(handle);
    throw DatabaseError(message, code);
  }
  handle_ = handle;
}

void Connection::Close() {
  if (!handle_) return;
  Client().close(handle_);
  handle_ = nullptr;
}

Connection::Result Connection::Query(const std::string& sql) {
  Open();
  const MysqlApi& api = Client();
  ++queriesSent_;
  if (api.real_query(handle_, sql.data(), static_cast<unsigned long>(sql.size())) != 0) Fail("query failed");

  Result result;
  ResultHandle stored(api.store_result(handle_));
  if (!stored) {
    if (api.field_count(handle_) != 0) Fail("could not fetch the result");
    return result;  // a statement without a result
  }
  const unsigned columns = api.num_fields(stored.get());
  for (unsigned i = 0; i < columns; ++i) result.columns.emplace_back(api.fetch_field_direct(stored.get(), i)->name);
  result.rows.reserve(static_cast<std::size_t>(api.num_rows(stored.get())));
  while (MYSQL_ROW row = api.fetch_row(stored.get())) {
    const unsigned long* lengths = api.fetch_lengths(stored.get());
    auto& out = result.rows.emplace_back(columns);
    for (unsigned i = 0; i < columns; ++i)
      if (row[i]) out[i] = std::string(row[i], lengths[i]);
  }
  return result;
}

std::string Connection::QuoteText(std::string_view text) {
  Open();
  std::string escaped(text.size() * 2 + 1, '\0');
  const unsigned long length =
      Client().real_escape_string(handle_, escaped.data(), text.data(), static_cast<unsigned long>(text.size()));
  escaped.resize(length);
  return "'" + escaped + "'";
}

// --- Statement ---

Statement::Statement(Connection* connection) : connection_(connection) {
  if (!connection_) throw DatabaseError("the database connection has been released");
}

void Statement::SetSql(std::string sql) {
  Close();
  sql_ = std::move(sql);
  parameters_.clear();
  for (const SqlPiece& piece : ScanSqlParameters(sql_))
    if (piece.isParameter) parameters_.try_emplace(FoldName(piece.text));
}

Statement::Value* Statement::Parameter(std::string_view name) {
  auto it = parameters_.find(FoldName(name));
  if (it == parameters_.end()) throw DatabaseError("parameter '" + std::string(name) + "' not found");
  return &it->second;
}

void Statement::BindText(std::string_view name, std::string value) { *Parameter(name) = std::move(value); }
void Statement::BindInteger(std::string_view name, std::int32_t value) { *Parameter(name) = value; }
void Statement::BindDateTime(std::string_view name, const DateTime& value) { *Parameter(name) = value; }

std::string Statement::Render() const {
  std::string out;
  for (const SqlPiece& piece : ScanSqlParameters(sql_)) {
    if (!piece.isParameter) {
      out += piece.text;
      continue;
    }
    const Value& value = parameters_.at(FoldName(piece.text));
    if (const auto* text = std::get_if<std::string>(&value)) out += connection_->QuoteText(*text);
    else if (const auto* number = std::get_if<std::int32_t>(&value)) out += std::to_string(*number);
    else if (const auto* when = std::get_if<DateTime>(&value)) out += "'" + FormatDateTime(*when) + "'";
    else out += "NULL";
  }
  return out;
}

void Statement::Open() {
  Close();
  result_ = connection_->Query(Render());
  current_ = 0;
}

void Statement::Execute() {
  Close();
  connection_->Query(Render());
}

void Statement::Close() {
  result_ = {};
  current_ = 0;
}

std::size_t Statement::ColumnPosition(std::string_view column) const {
  const std::string folded = FoldName(column);
  for (std::size_t i = 0; i < result_.columns.size(); ++i)
    if (FoldName(result_.columns[i]) == folded) return i;
  throw DatabaseError("column '" + std::string(column) + "' not found");
}

const std::optional<std::string>* Statement::Cell(std::size_t position) const {
  if (position >= result_.columns.size()) throw DatabaseError("column " + std::to_string(position) + " not found");
  if (current_ >= result_.rows.size()) return nullptr;
  return &result_.rows[current_][position];
}

std::string Statement::ColumnText(std::size_t position) const {
  const std::optional<std::string>* cell = Cell(position);
  return cell && *cell ? **cell : std::string();
}

std::string Statement::ColumnText(std::string_view column) const { return ColumnText(ColumnPosition(column)); }

std::int32_t Statement::ColumnInteger(std::size_t position) const {
  const std::optional<std::string>* cell = Cell(position);
  if (!cell || !*cell) return 0;
  std::int32_t value = 0;
  if (ParseInt32(**cell, value)) return value;
  // A decimal number (a SUM or an average, say) reads as its integer part.
  char* end = nullptr;
  const double number = std::strtod((*cell)->c_str(), &end);
  if (!(*cell)->empty() && end == (*cell)->c_str() + (*cell)->size() && std::isfinite(number) &&
      std::fabs(number) < 2147483648.0)
    return static_cast<std::int32_t>(number);
  throw DatabaseError("'" + **cell + "' is not an integer value");
}

std::int32_t Statement::ColumnInteger(std::string_view column) const { return ColumnInteger(ColumnPosition(column)); }

// --- Opening the three connections ---

std::optional<HostPort> SplitHostPort(const std::string& value) {
  const std::size_t colon = value.find(':');
  HostPort result{colon == std::string::npos ? std::string() : value.substr(0, colon), 0};
  const std::string port = colon == std::string::npos ? value : value.substr(colon + 1);
  if (!ParseInt32(port, result.port)) return std::nullopt;
  return result;
}

namespace {

void ConfigureAndOpen(Platform& platform, Connection& connection, const std::string& dsHost, const char* section,
                      const char* databaseKey) {
  connection.user = ReadConnectionSetting(platform, "DSConnection", "DSUID");
  connection.password = ReadConnectionSetting(platform, "DSConnection", "DSPSW");
  const std::optional<HostPort> hostPort = SplitHostPort(dsHost);
  if (!hostPort) throw DatabaseError("'" + dsHost + "' is not a valid host:port value");
  connection.host = hostPort->host;
  connection.port = hostPort->port;
  connection.database = ReadConnectionSetting(platform, section, databaseKey);
  connection.Open();
}

}  // namespace

bool OpenConnections(Platform& platform, Connections& connections) {
  try {
    connections.DS = std::make_unique<Connection>("DS");
    connections.DC = std::make_unique<Connection>("DC");
    connections.Log = std::make_unique<Connection>("Log");
    const std::string dsHost = ReadConnectionSetting(platform, "DSConnection", "DSHost");
    ConfigureAndOpen(platform, *connections.DS, dsHost, "DSConnection", "DSDB");
    ConfigureAndOpen(platform, *connections.DC, dsHost, "DCConnection", "DCDB");
    ConfigureAndOpen(platform, *connections.Log, dsHost, "LogConnection", "LogDB");
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace qbnotify
