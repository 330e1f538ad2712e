#include <charconv>
#include <cmath>
#include <cstdio>

#include "store/Database.h"
#include "store/SqlParameters.h"

// Statements: named parameters rendered into SQL text, and the copied rows read as text,
// integers and times.
namespace qbnotify {
namespace {

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

Statement::Statement(Connection* connection) : connection_(connection) {
  if (!connection_) throw DatabaseError("the database connection has been released");
}

void Statement::SetSql(std::string sql) {
  Close();
  sql_ = std::move(sql);
  parameters_.clear();
  // Scanned once: a statement is rendered at every sending, and the identifier draw's text
  // is long. A parameter piece keeps its name folded, as the bindings are kept.
  pieces_ = ScanSqlParameters(sql_);
  for (SqlPiece& piece : pieces_)
    if (piece.isParameter) {
      piece.text = FoldName(piece.text);
      parameters_.try_emplace(piece.text);
    }
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
  out.reserve(sql_.size() + 64);
  for (const SqlPiece& piece : pieces_) {
    if (!piece.isParameter) {
      out += piece.text;
      continue;
    }
    const Value& value = parameters_.at(piece.text);
    if (const auto* text = std::get_if<std::string>(&value)) out += connection_->QuoteText(*text);
    else if (const auto* number = std::get_if<std::int32_t>(&value)) out += std::to_string(*number);
    else if (const auto* when = std::get_if<DateTime>(&value)) out += "'" + FormatDateTime(*when) + "'";
    else out += "NULL";
  }
  return out;
}

void Statement::Open(Connection::Resend resend) {
  Close();
  result_ = connection_->Query(Render(), resend);
  current_ = 0;
}

void Statement::Execute(Connection::Resend resend) {
  Close();
  result_ = connection_->Query(Render(), resend);
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

bool Statement::ColumnIsNull(std::size_t position) const {
  const std::optional<std::string>* cell = Cell(position);
  return !cell || !*cell;
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

}  // namespace qbnotify
