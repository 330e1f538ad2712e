// The checks' result as it is printed, and the checks that the entry points add to it.
#include <nlohmann/json.hpp>
#include <ostream>

#include "tools/common/ToolSupport.h"
#include "tools/qbnotify-doctor/Doctor.h"

namespace qbnotify::tools {

const char* StatusName(Status status) {
  switch (status) {
    case Status::Ok: return "ok";
    case Status::Warning: return "warn";
    case Status::Failed: return "FAIL";
    case Status::Skipped: return "skip";
  }
  return "";
}

std::optional<Check> OtherRegistryView(const RegistryValue& own, const RegistryValue& other, bool dll64) {
  if (other.status != RegistryStatus::Text) return std::nullopt;
  const std::string ownView = dll64 ? "64-bit view" : "32-bit view (Wow6432Node)";
  const std::string otherView = dll64 ? "32-bit view (Wow6432Node)" : "64-bit view";
  const std::string bitness = dll64 ? "64-bit" : "32-bit";
  if (own.status != RegistryStatus::Text)
    return Check{"install path", "registry view", Status::Failed,
                 Shown("only the " + otherView + " holds InstallPath ('" + other.text + "'); the " + bitness +
                       " QBNotify.dll reads the " + ownView),
                 "write InstallPath in the " + ownView + " (reg add ... /reg:" + (dll64 ? "64" : "32") +
                     "), or install the QBNotify.dll of the other bitness"};
  if (own.text != other.text)
    return Check{"install path", "registry view", Status::Warning,
                 Shown("the " + otherView + " holds another InstallPath ('" + other.text +
                       "'); the " + bitness + " QBNotify.dll reads '" + own.text + "'"),
                 "keep one install path: give both views the same value, or remove the other one"};
  return std::nullopt;
}

void InsertAfterSection(std::vector<Check>& checks, const std::string& section, Check check) {
  auto at = checks.begin();
  for (auto i = checks.begin(); i != checks.end(); ++i)
    if (i->section == section) at = i + 1;
  checks.insert(at, std::move(check));
}

bool AnyFailed(const std::vector<Check>& checks) {
  for (const Check& check : checks)
    if (check.status == Status::Failed) return true;
  return false;
}

void PrintChecks(std::ostream& out, const std::vector<Check>& checks, bool asJson) {
  const bool failed = AnyFailed(checks);
  if (asJson) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Check& c : checks)
      list.push_back({{"section", c.section}, {"check", c.name}, {"status", StatusName(c.status)},
                      {"detail", c.detail}, {"fix", c.fix}});
    out << nlohmann::ordered_json{{"checks", list}, {"failed", failed}}.dump(2) << '\n';
    return;
  }
  std::string section;
  for (const Check& c : checks) {
    if (c.section != section) out << (section.empty() ? "" : "\n") << (section = c.section) << '\n';
    out << "  [" << Padded(StatusName(c.status), 4) << "] " << Padded(c.name, 22) << ' ' << c.detail << '\n';
    if (!c.fix.empty()) out << "         " << Padded("", 22) << " fix: " << c.fix << '\n';
  }
  out << '\n' << (failed ? "some checks failed" : "every check passed") << '\n';
}

}  // namespace qbnotify::tools
