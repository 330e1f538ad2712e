#include "store/spool/SpoolNames.h"

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

std::string Hex16(std::uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

std::string ClaimTag(std::uint32_t claimer, std::uint64_t start) { return "." + Hex8(claimer) + "-" + Hex16(start); }

// "<base>.<claimer>-<start>.claim" (16 hex digits of start time) or the older
// "<base>.<claimer>-<tick>.claim" (8 hex digits of tick); ".idclaim" alike.
std::optional<ClaimName> ParseClaimName(std::string_view name) {
  if (EndsWith(name, kIdentifiedClaimSuffix)) name.remove_suffix(kIdentifiedClaimSuffix.size());
  else if (EndsWith(name, kClaimSuffix)) name.remove_suffix(kClaimSuffix.size());
  else return std::nullopt;
  for (const std::size_t digits : {std::size_t{16}, std::size_t{8}}) {
    const std::size_t tagBytes = 8 + 1 + digits;
    if (name.size() < tagBytes + 1 || name[name.size() - tagBytes - 1] != '.' ||
        name[name.size() - digits - 1] != '-')
      continue;
    ClaimName claim;
    const char* tag = name.data() + name.size() - tagBytes;
    const auto claimer = std::from_chars(tag, tag + 8, claim.claimer, 16);
    if (claimer.ec != std::errc() || claimer.ptr != tag + 8) continue;
    std::uint64_t value = 0;
    const auto second = std::from_chars(tag + 9, tag + 9 + digits, value, 16);
    if (second.ec != std::errc() || second.ptr != tag + 9 + digits) continue;
    if (digits == 16) claim.start = value;
    claim.base = std::string(name.substr(0, name.size() - tagBytes - 1));
    return claim;
  }
  return std::nullopt;
}

std::string WaitingRowName(const DateTime& time, std::uint32_t process, std::uint32_t n, std::uint64_t bytes) {
  return TimeStamp(time) + "-" + Hex8(process) + "-" + Hex8(n) + "-" + std::to_string(bytes) + std::string(kRowSuffix);
}

// "<time>-<process>-<n>-<bytes>" is the part of the name before its first '.'.
std::optional<std::uint64_t> BytesInName(std::string_view name) {
  name = name.substr(0, name.find('.'));
  if (name.size() < 14 + 1 + 8 + 1 + 8 + 2 || name[14] != '-' || name[23] != '-' || name[32] != '-') return std::nullopt;
  const std::string_view digits = name.substr(33);
  std::uint64_t bytes = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), bytes);
  if (error != std::errc() || end != digits.data() + digits.size() || digits.size() > 12) return std::nullopt;
  return bytes;
}

bool IsNameIdentifier(std::string_view identifier) {
  const std::size_t letters = identifier.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  if (letters == 0 || letters == std::string_view::npos || letters > 10) return false;
  const std::string_view digits = identifier.substr(letters);
  return digits.size() <= 12 && digits.find_first_not_of("0123456789") == std::string_view::npos;
}

std::optional<std::string> IdentifierInBase(std::string_view base) {
  const std::size_t dot = base.rfind('.');
  if (dot == std::string_view::npos || !IsNameIdentifier(base.substr(dot + 1))) return std::nullopt;
  return std::string(base.substr(dot + 1));
}

std::optional<std::string> WaitingRowBase(std::string_view name) {
  for (const std::string_view suffix : {kIdentifiedRowSuffix, kRowSuffix})
    if (EndsWith(name, suffix)) return std::string(name.substr(0, name.size() - suffix.size()));
  return std::nullopt;
}

std::string RowNameOf(std::string_view base) {
  return std::string(base) + std::string(IdentifierInBase(base) ? kIdentifiedRowSuffix : kRowSuffix);
}

std::string ClaimNameOf(std::string_view base, std::string_view tag) {
  return std::string(base) + std::string(tag) +
         std::string(IdentifierInBase(base) ? kIdentifiedClaimSuffix : kClaimSuffix);
}

}  // namespace qbnotify::spool
