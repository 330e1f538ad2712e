// Explains the startup admission of one session: runs the library's own checks against the
// farm's databases, read-only, and reports every step, the rows that decided it and what
// the library would write and send. Nothing is written.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "platform/hosted/HostedPlatform.h"

namespace qbnotify::tools {

struct ExplainRequest {
  hosted::Session session;  // what the platform reports about the session, with InstallPath
  std::string at;           // "YYYY-MM-DD HH:MM:SS": the server time for the time rules; empty: now
  // The decision the library would take while the database is away, from the local snapshot
  // (under cached; as configured under closed), on `at` as this machine's clock. No
  // connection is opened.
  bool offline = false;
};

struct ExplainResult {
  nlohmann::ordered_json report;  // texts in UTF-8
  int status = 0;                 // kExitGood (admitted, also unchecked) or kExitProblem (refused)
};

// Never throws for a problem of the farm (no server, a failing check): the report says
// where the library would stop. Throws std::invalid_argument for an unusable `at`.
ExplainResult Explain(ExplainRequest request);

// The report as aligned text for a person; `fullSql` prints statements unshortened.
std::string ExplainText(const nlohmann::ordered_json& report, bool fullSql);

}  // namespace qbnotify::tools
