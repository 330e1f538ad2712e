// Finds the traps in a farm's admission rules: what an administrator cannot see by reading
// the tables, each with the rows that cause it and a one-line fix. Reads only.
//
// Where a finding depends on how the library decides (an address inside a range, a rule
// that matches), the server evaluates the library's own rule-query conditions.
#pragma once

#include "environment/TlsSettings.h"
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "policy/Offline.h"
#include "session/SessionContext.h"

namespace qbnotify::tools {

enum class Severity { Error, Warning, Note };
const char* SeverityName(Severity severity);

struct Finding {
  Severity severity = Severity::Warning;
  std::string code;                // a stable name: "policy-without-rules", ...
  std::string message;             // UTF-8
  std::vector<std::string> rows;   // the rows that cause it, UTF-8
  std::string fix;                 // one line, UTF-8
};

// The findings on section [Offline] of the settings file: an Admission value that counts as
// closed, and a snapshot allowed to be older than a week under cached.
inline constexpr std::uint32_t kLongestSnapshotHours = 7 * 24;
std::vector<Finding> LintOfflineSettings(const OfflineSettings& settings);

// The findings on TLS and TLSCAFile of [DSConnection]: a value that counts as verify, verify
// without a CA file that can be read, a CA file that nothing uses, and encryption asked of a
// client library without TLS (no connection is then made).
std::vector<Finding> LintTlsSettings(const TlsSettings& settings, bool caFileReadable, bool clientCarriesTls);

// Runs every lint on the instance's open DS connection (the rules, and the account against the role
// qbnotify_library), and on section [Offline]. Raises DatabaseError when a table
// cannot be read at all.
std::vector<Finding> LintRules(Instance& instance);

// The first address of the candidates whose membership by text differs from membership
// by number, for a dotted range; exposed for tests. `insideByText` answers the server's view.
struct AddressSurprise {
  std::string address;
  bool insideByText = false;
};

// Dotted-quad parsing: nullopt unless four decimal octets 0..255 with nothing else.
std::optional<std::uint32_t> ParseDottedQuad(const std::string& text);
std::string FormatDottedQuad(std::uint32_t address);

// The addresses worth trying against a range: every value of each octet of both ends.
std::vector<std::uint32_t> RangeCandidates(std::uint32_t low, std::uint32_t high);

}  // namespace qbnotify::tools
