// Runs the session host on a session file, as an administrator would, and reads its output.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace qbnotify::test {

struct HostRun {
  int status = -1;                           // the host's exit status
  std::vector<nlohmann::ordered_json> lines;  // its JSON lines, in order
  std::string errors;                        // its standard error

  // The lines of one type ("channel", "trace", ...).
  std::vector<nlohmann::ordered_json> OfType(const std::string& type) const;
  // The status messages the client received, as (code, reason) pairs.
  std::vector<std::pair<int, int>> Messages() const;
  bool SessionEnded() const { return !OfType("end_session").empty(); }
};

// Writes the session (a JSON object) to a file and runs the built host on it with the
// built library. `extraArgs` go to the host's command line (e.g. "--trace").
HostRun RunHost(const nlohmann::ordered_json& session, const std::vector<std::string>& extraArgs = {});

// Runs the host on a session file's raw text.
HostRun RunHostOnText(const std::string& sessionText, const std::vector<std::string>& extraArgs = {});

}  // namespace qbnotify::test
