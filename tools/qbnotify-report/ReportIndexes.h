// The indexes that db/migrations/report-index-add.sql gives the audit and the event log, by
// name: with all three the report reads only the rows of its period.
#pragma once

namespace qbnotify::report {

inline constexpr const char* kReportIndexes[] = {"ix_appshenji_starttime", "ix_appshenji_stoptime", "ix_log_event_time"};
inline constexpr const char* kReportIndexesSql =
    "SELECT COUNT(DISTINCT INDEX_NAME) FROM information_schema.STATISTICS WHERE TABLE_SCHEMA = DATABASE() AND "
    "((TABLE_NAME = 'appshenji' AND INDEX_NAME IN ('ix_appshenji_starttime', 'ix_appshenji_stoptime')) OR "
    "(TABLE_NAME = 'log' AND INDEX_NAME = 'ix_log_event_time'))";

}  // namespace qbnotify::report
