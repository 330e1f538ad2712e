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
};

struct Report {
  Request request;
  Period period;
  Usage usage;
  Refusals refusals;
};

// Throws DatabaseError, or std::invalid_argument for dates that cannot be used. `session`,
// when given, receives each session in use during the period (for the history table).
Report ReadReport(Instance& instance, const Request& request,
                  const std::function<void(const Session&, const Period&)>& session = {});

}  // namespace qbnotify::report
