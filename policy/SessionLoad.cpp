#include "policy/SessionLoad.h"

#include "environment/Switches.h"

namespace qbnotify {

std::string ContainsPattern(const Platform& platform, const std::string& text) {
  std::string pattern = "%";
  ForEachLikeCharacter(platform, text, [&pattern](std::string_view character, bool special) {
    if (special) pattern += '\\';
    pattern += character;
  });
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
