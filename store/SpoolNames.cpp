#include "store/SpoolNames.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace qbnotify::spool {

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}
bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

std::string Hex8(std::uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

std::string TimeStamp(const DateTime& time) {
  const auto clamp = [](int value, int high) { return std::clamp(value, 0, high); };
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", clamp(time.year, 9999), clamp(time.month, 99),
                clamp(time.day, 99), clamp(time.hour, 99), clamp(time.minute, 99), clamp(time.second, 99));
  return text;
}

std::optional<DateTime> ParseTimeStamp(std::string_view name) {
  if (name.size() < 14) return std::nullopt;
  int fields[6];
  const int widths[6] = {4, 2, 2, 2, 2, 2};
  std::size_t at = 0;
  for (int i = 0; i < 6; ++i) {
    const char* begin = name.data() + at;
    const auto [end, error] = std::from_chars(begin, begin + widths[i], fields[i]);
    if (error != std::errc() || end != begin + widths[i]) return std::nullopt;
    at += static_cast<std::size_t>(widths[i]);
  }
  return DateTime{fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]};
}

std::optional<ClaimName> ParseClaimName(std::string_view name) {
  if (!EndsWith(name, kClaimSuffix)) return std::nullopt;
  name.remove_suffix(kClaimSuffix.size());
  constexpr std::size_t kTagBytes = 8 + 1 + 8;
  if (name.size() < kTagBytes + 1 || name[name.size() - kTagBytes - 1] != '.' || name[name.size() - 9] != '-')
    return std::nullopt;
  ClaimName claim;
  const char* tag = name.data() + name.size() - kTagBytes;
  for (auto [at, value] : {std::pair{tag, &claim.claimer}, std::pair{tag + 9, &claim.tick}}) {
    const auto [end, error] = std::from_chars(at, at + 8, *value, 16);
    if (error != std::errc() || end != at + 8) return std::nullopt;
  }
  claim.base = std::string(name.substr(0, name.size() - kTagBytes - 1));
  return claim;
}

}  // namespace qbnotify::spool
