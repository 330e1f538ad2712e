// How the library will search the session-load table: by the switch columns (an index
// lookup) or by LIKE (reading every row), and, for the latter, what a search costs now.
#include <chrono>
#include <mysqld_error.h>

#include "policy/SessionLoad.h"
#include "tools/qbnotify-doctor/DoctorChecks.h"
#include "tools/qbnotify-report/ReportIndexes.h"

namespace qbnotify::tools {
namespace {

// How many keys of the session-load table begin with the whole AppSwitch (not a prefix).
constexpr const char* kWholeAppSwitchKeySql =
    "select count(*) from information_schema.STATISTICS where TABLE_SCHEMA = DATABASE() and "
    "TABLE_NAME = 'dc_sessionload' and SEQ_IN_INDEX = 1 and COLUMN_NAME = 'AppSwitch' and SUB_PART is null";

}  // namespace

void Doctor::SessionLoadSearches() {
  const char* const kName = "dc_sessionload searches";
  if (!dc_) return Skip("tables", kName, "the DC connection is not open");
  // A value no session carries: the search returns nothing, and costs what a startup's does.
  const SessionLoadSearch search = ApplicationSessionsSearch("qbnotify-doctor", 0);
  try {
    Statement statement(dc_.get());
    try {
      // The library learns the form the same way: a search with the columns either runs or
      // is refused for an unknown column.
      OpenSessionLoadSearchIn(SessionLoadForm::SwitchColumns, platform_, statement, search);
      // The application's count reads a key alone only where the key holds AppSwitch whole;
      // the migration's first version keyed a prefix of it.
      statement.SetSql(kWholeAppSwitchKeySql);
      statement.Open();
      if (statement.ColumnInteger(std::size_t{0}) > 0)
        return Add("tables", kName, Status::Ok,
                   "the library searches by the switch columns AppSwitch and UserSwitch (index lookups)");
      return Add("tables", kName, Status::Warning,
                 "the library searches by the switch columns, but no key begins with AppSwitch whole: each startup's "
                 "count of an application's sessions reads every row of that application",
                 "on " + dc_->database + ": ALTER TABLE dc_sessionload DROP KEY ix_dc_sessionload_app, ADD KEY "
                 "ix_dc_sessionload_app (AppSwitch, UserSwitch(255))");
    } catch (const DatabaseError& error) {
      if (error.Code() != ER_BAD_FIELD_ERROR) throw;
    }
    const auto start = std::chrono::steady_clock::now();
    OpenSessionLoadSearchIn(SessionLoadForm::Like, platform_, statement, search);
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
    statement.SetSql("select count(*) from dc_sessionload");
    statement.Open();
    const std::int64_t rows = statement.ColumnInteger(std::size_t{0});
    const std::string detail = "the library searches with LIKE, reading all " + std::to_string(rows) +
                               " rows: one search took " + std::to_string(micros / 1000) + "." +
                               std::to_string(micros / 100 % 10) + " ms, and a startup runs up to three";
    if (rows > kSessionLoadRowsWorthIndexing)
      Add("tables", kName, Status::Warning, detail,
          "add the indexed switch columns: run db/migrations/sessionload-index-add.sql on " + dc_->database);
    else
      Add("tables", kName, Status::Ok, detail);
  } catch (const std::exception& error) {
    Add("tables", kName, Status::Failed, error.what());
  }
}

// Whether the audit and the event log have the usage report's indexes (an optional migration).
void Doctor::ReportIndexes() {
  if (!log_) return Skip("tables", "report indexes", "the Log connection is not open");
  try {
    Statement statement(log_.get());
    statement.SetSql(report::kReportIndexesSql);
    statement.Open();
    const bool present = static_cast<std::size_t>(statement.ColumnInteger(std::size_t{0})) == std::size(report::kReportIndexes);
    Add("tables", "report indexes", Status::Ok,
        present ? "in place: qbnotify-report reads only the rows of its period"
                : "not in place: qbnotify-report reads the whole audit and event log (db/migrations/report-index-add.sql, "
                  "in a maintenance window)");
  } catch (const std::exception& error) {
    Add("tables", "report indexes", Status::Failed, error.what());
  }
}

}  // namespace qbnotify::tools
