// The report written for people and programs: JSON (UTF-8) on a stream, one CSV file per
// table (UTF-8 with a byte-order mark, so that spreadsheet programs take it as UTF-8), and
// one self-contained HTML page. Texts of the database are converted from code page 936.
#pragma once

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <ostream>

#include "tools/qbnotify-report/Reader.h"

namespace qbnotify::report {

// The summary; with `series`, also the sessions in use per minute of every application and
// of the farm (for the page's charts).
nlohmann::ordered_json ReportJson(const Report& report, bool series);

// Writes the tables as files of `directory` (created when missing): applications.csv,
// days.csv, concurrency.csv, refusals_by_reason.csv, refusals_by_application.csv,
// refusals_by_client.csv, offline_decisions.csv, starts_by_weekday_hour.csv, top_users.csv,
// top_clients.csv, anomalies.csv. Throws std::runtime_error when a file cannot be written.
void WriteCsvTables(const Report& report, const std::filesystem::path& directory);

// The history of sessions, one line each, written while the rows are read (sessions.csv).
class SessionHistoryCsv {
 public:
  explicit SessionHistoryCsv(const std::filesystem::path& file);
  void Add(const Session& session, const Period& period);

 private:
  std::ofstream out_;
};

// One CSV field, quoted when it holds a comma, a quote or a line break; a text that begins
// with '=', '+', '-', '@', a tab or a carriage return gets a leading apostrophe, so that a
// spreadsheet reads it as text and never runs it as a formula.
std::string CsvField(const std::string& text);

// The page: uPlot and its style sheet, the report's data and the page's own script in one
// file. Throws std::runtime_error when it cannot be written.
void WriteHtmlPage(const Report& report, const std::filesystem::path& file);

}  // namespace qbnotify::report
