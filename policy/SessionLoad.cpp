#include "policy/SessionLoad.h"

#include "environment/Switches.h"

namespace qbnotify {

std::string ContainsPattern(const Platform& platform, const std::string& text) {
  std::string pattern = "%";
  const char* at = text.c_str();
  const char* const end = at + text.size();
  while (at < end) {
    const char* next = platform.NextChar(at);
    if (next <= at || next > end) next = at + 1;  // an embedded NUL
    if (next == at + 1 && (*at == '%' || *at == '_' || *at == '\\')) pattern += '\\';
    pattern.append(at, next);
    at = next;
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
