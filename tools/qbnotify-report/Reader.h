// Reads what a report needs from the farm's databases, read-only: the audit's rows streamed
// in the order sessions are put together in (the server sorts), the event log's records
// counted as they stream, and the applications' names and session limits.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "session/SessionContext.h"
#include "tools/qbnotify-report/ReportModel.h"

namespace qbnotify::report {

struct Request {
  std::string from, to;  // "YYYY-MM-DD", or empty for the default (the last 30 days)
  std::string app;       // an application identifier, or empty for all
  std::string user;      // a farm user's name (code-page-936 bytes), or empty for all
  int lookBackDays = 31;  // how long before the period sessions in use during it are looked for
};

// Within this many seconds of an audit row's stop, a disconnect or logoff record of the event
// log of the same user and application tells what the stop was.
inline constexpr Seconds kStopMatchSeconds = 5;

struct Report {
  Request request;
  Period period;
  Usage usage;
  Refusals refusals;
};

// Reads the audit rows that start or stop from the look-back's beginning up to and including
// the period's end (so also the row after the period that tells whether a session stopped at
// its end was only disconnected), and the event log's records of the period (and its
// disconnects and logoffs from the look-back on). With the report's indexes
// (db/migrations/report-index-add.sql) the server reads only those rows; without them it reads
// each table once, whole. Throws DatabaseError, or std::invalid_argument for dates that cannot
// be used. `session`, when given, receives each session in use during the period (for the
// history table).
Report ReadReport(Instance& instance, const Request& request,
                  const std::function<void(const Session&, const Period&)>& session = {});

}  // namespace qbnotify::report
