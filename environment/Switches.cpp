#include "environment/Switches.h"

#include "environment/SessionQueries.h"

namespace qbnotify {
namespace {

bool IsSeparator(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 1 && byte <= 32;
}

bool IsParameterByte(char c) { return static_cast<unsigned char>(c) > 32; }

// Steps over one character at `position`, appending it to `out` when given.
std::size_t StepChar(const Platform& platform, const std::string& text, std::size_t position, std::string* out) {
  const char* start = text.c_str() + position;
  const char* next = platform.NextChar(start);
  if (next == start) return position;  // at the terminating NUL
  if (out) out->append(start, next);
  return static_cast<std::size_t>(next - text.c_str());
}

}  // namespace

Param NextParam(const Platform& platform, const std::string& text, std::size_t position) {
  const auto at = [&](std::size_t i) { return i < text.size() ? text[i] : '\0'; };

  for (;;) {
    while (IsSeparator(at(position))) position = StepChar(platform, text, position, nullptr);
    if (at(position) == '"' && at(position + 1) == '"') {
      position += 2;
      continue;
    }
    break;
  }

  std::string collected;
  while (IsParameterByte(at(position))) {
    if (at(position) == '"') {
      ++position;
      while (at(position) != '\0' && at(position) != '"') position = StepChar(platform, text, position, &collected);
      if (at(position) == '"') ++position;
    } else {
      position = StepChar(platform, text, position, &collected);
    }
  }
  return {std::move(collected), position};
}

std::string GetParam(const Platform& platform, const std::string& text, std::size_t index) {
  Param param{{}, 0};
  for (std::size_t i = 0; i <= index; ++i) {
    param = NextParam(platform, text, param.next);
    if (param.text.empty()) break;
  }
  return std::move(param.text);
}

std::size_t GetParamCount(const Platform& platform, const std::string& text) {
  Param param = NextParam(platform, text, 0);
  std::size_t count = 0;
  for (;;) {
    param = NextParam(platform, text, param.next);
    if (param.text.empty()) return count;
    ++count;
  }
}

std::string FindSwitchValue(const Platform& platform, const std::string& initialProgram, const std::string& switchName) {
  // Every parameter counts, the program name included; the first match wins.
  const std::size_t last = GetParamCount(platform, initialProgram);
  std::size_t position = 0;
  for (std::size_t index = 0; index <= last; ++index) {
    Param param = NextParam(platform, initialProgram, position);
    position = param.next;
    std::string prefix = param.text.substr(0, 3);
    platform.UpperCaseBuffer(prefix.data(), prefix.size());
    if (prefix == switchName) return param.text.substr(prefix.size());
  }
  return {};
}

std::string GetSwitchValue(Platform& platform, const std::string& switchName) {
  return FindSwitchValue(platform, GetInitialProgram(platform, kCurrentSession), switchName);
}

}  // namespace qbnotify
