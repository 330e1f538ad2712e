#include "policy/SessionLoad.h"

#include "environment/Switches.h"

namespace qbnotify {

std::string ContainsPattern(std::string_view text) {
  std::string pattern = "%";
  for (char c : text) {
    if (c == '%' || c == '_' || c == '\\') pattern += '\\';
    pattern += c;
  }
  pattern += '%';
  return pattern;
}

bool SwitchValueEquals(const Platform& platform, const std::string& initialProgram, const std::string& switchName,
                       const std::string& expected) {
  std::string value = FindSwitchValue(platform, initialProgram, switchName);
  if (value.size() != expected.size()) return false;
  std::string wanted = expected;
  platform.UpperCaseBuffer(value.data(), value.size());
  platform.UpperCaseBuffer(wanted.data(), wanted.size());
  return value == wanted;
}

}  // namespace qbnotify
