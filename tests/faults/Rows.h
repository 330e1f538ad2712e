// The rows a session leaves in the event log and the audit, and the check of what a session
// played under a fault wrote against what the same session writes on a healthy server.
#pragma once

#include <string>
#include <vector>

namespace qbnotify::faults {

// One row of the event log (table "log") or of the audit ("appshenji"): its identifier and
// the values of every other column, in a fixed column order.
struct Row {
  std::string table;
  std::string id;
  std::vector<std::string> values;

  // "log" or "appshenji" with the values, for messages.
  std::string Describe() const;
};

// The identifier head of a table's rows ("Log", "lap").
std::string HeadOf(const std::string& table);

// What a fault run must have written: rows that must each be there once, and rows that may be
// there at most once (their handler met the fault while its statements were in flight).
// Identifiers are not compared: a run draws its own.
struct Expectation {
  std::vector<Row> required;
  std::vector<Row> optional;
};

struct RowCheck {
  std::size_t expected = 0;  // required rows
  std::size_t written = 0;   // rows found
  std::vector<std::string> problems;
  bool Passed() const { return problems.empty(); }
};

// Checks the rows found: every required row is there with all its values, no row is there that
// neither list holds (a row written twice, or with a value changed, is such a row), every
// identifier is its head followed by eight digits, numbered above `seedNumber` (the counter's
// value before the run), and no identifier is used twice.
RowCheck CheckRows(const std::vector<Row>& found, const Expectation& expectation, long seedNumber);

}  // namespace qbnotify::faults
