#include "Rows.h"

#include <algorithm>
#include <cctype>
#include <set>

namespace qbnotify::faults {
namespace {

// Printable bytes as they are, others as \xNN, cut to a readable length.
std::string Printable(const std::string& text) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += digits[c >> 4];
      out += digits[c & 15];
    }
    if (out.size() > 40) return out + "...";
  }
  return out;
}

bool SameRow(const Row& a, const Row& b) { return a.table == b.table && a.values == b.values; }

// Takes the first unused row of `pool` equal to `row`; false when there is none.
bool Take(const Row& row, const std::vector<Row>& pool, std::vector<bool>& used) {
  for (std::size_t i = 0; i < pool.size(); ++i) {
    if (!used[i] && SameRow(row, pool[i])) {
      used[i] = true;
      return true;
    }
  }
  return false;
}

bool WellFormedIdentifier(const Row& row, long seedNumber) {
  const std::string head = HeadOf(row.table);
  if (head.empty() || row.id.size() != head.size() + 8 || row.id.compare(0, head.size(), head) != 0) return false;
  const std::string digits = row.id.substr(head.size());
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
    return false;
  return std::stol(digits) > seedNumber;
}

}  // namespace

std::string Row::Describe() const {
  std::string out = table + "(";
  for (std::size_t i = 0; i < values.size(); ++i) out += (i ? "," : "") + Printable(values[i]);
  return out + ")";
}

std::string HeadOf(const std::string& table) {
  if (table == "log") return "Log";
  if (table == "appshenji") return "lap";
  return {};
}

RowCheck CheckRows(const std::vector<Row>& found, const Expectation& expectation, long seedNumber) {
  RowCheck check;
  check.expected = expectation.required.size();
  check.written = found.size();

  std::set<std::pair<std::string, std::string>> identifiers;
  for (const Row& row : found) {
    if (!identifiers.insert({row.table, row.id}).second)
      check.problems.push_back("identifier " + row.id + " used twice in " + row.table);
    if (!WellFormedIdentifier(row, seedNumber))
      check.problems.push_back("identifier '" + Printable(row.id) + "' is not a new " + HeadOf(row.table) +
                               " identifier");
  }

  std::vector<bool> requiredUsed(expectation.required.size(), false);
  std::vector<bool> optionalUsed(expectation.optional.size(), false);
  for (const Row& row : found) {
    if (Take(row, expectation.required, requiredUsed) || Take(row, expectation.optional, optionalUsed)) continue;
    check.problems.push_back("unexpected row " + row.id + " " + row.Describe());
  }
  for (std::size_t i = 0; i < expectation.required.size(); ++i)
    if (!requiredUsed[i]) check.problems.push_back("missing row " + expectation.required[i].Describe());
  return check;
}

}  // namespace qbnotify::faults
