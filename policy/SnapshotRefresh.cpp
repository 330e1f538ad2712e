#include "policy/SnapshotRefresh.h"

#include "store/Database.h"

namespace qbnotify {
namespace {

std::string OneLine(std::string text) {
  if (text.size() > kMaxRefreshReasonBytes) text.resize(kMaxRefreshReasonBytes);
  for (char& c : text)
    if (c == '\n' || c == '\r' || c == '\0') c = ' ';
  return text;
}

// "YYYY-MM-DD hh:mm:ss" exactly, every field in its range.
std::optional<DateTime> ParseTime(std::string_view text) {
  if (text.size() != 19) return std::nullopt;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    const char separator = i == 4 || i == 7 ? '-' : i == 10 ? ' ' : i == 13 || i == 16 ? ':' : 0;
    if (separator ? text[i] != separator : !digit) return std::nullopt;
  }
  const auto field = [&](std::size_t at, std::size_t width) {
    int value = 0;
    for (std::size_t i = at; i < at + width; ++i) value = value * 10 + (text[i] - '0');
    return value;
  };
  DateTime t{field(0, 4), field(5, 2), field(8, 2), field(11, 2), field(14, 2), field(17, 2)};
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour > 23 || t.minute > 59 || t.second > 59)
    return std::nullopt;
  return t;
}

}  // namespace

std::string EncodeRefreshRecord(const RefreshRecord& record) {
  std::string text = "outcome " + OneLine(record.outcome) + "\nat " + FormatDateTime(record.at) + "\n";
  if (record.lastStored) text += "stored " + FormatDateTime(*record.lastStored) + "\n";
  if (!record.why.empty()) text += "why " + OneLine(record.why) + "\n";
  return text;
}

std::optional<RefreshRecord> DecodeRefreshRecord(std::string_view content) {
  RefreshRecord record;
  bool outcome = false, at = false;
  while (!content.empty()) {
    const std::size_t end = content.find('\n');
    if (end == std::string_view::npos) return std::nullopt;  // every line ends with one
    const std::string_view line = content.substr(0, end);
    content.remove_prefix(end + 1);
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    const std::string_view key = line.substr(0, space);
    const std::string_view value = line.substr(space + 1);
    // Values as the encoder writes them: one line, no NUL, within the bound.
    if (value.size() > kMaxRefreshReasonBytes || value.find_first_of(std::string_view("\r\0", 2)) != std::string_view::npos)
      return std::nullopt;
    if (key == "outcome" && !outcome) {
      outcome = true;
      record.outcome = std::string(value);
    } else if (key == "at" && !at) {
      const std::optional<DateTime> time = ParseTime(value);
      if (!time) return std::nullopt;
      at = true;
      record.at = *time;
    } else if (key == "stored" && !record.lastStored) {
      record.lastStored = ParseTime(value);
      if (!record.lastStored) return std::nullopt;
    } else if (key == "why" && record.why.empty() && !value.empty()) {
      record.why = std::string(value);
    } else {
      return std::nullopt;
    }
  }
  if (!outcome || !at || record.outcome.empty()) return std::nullopt;
  return record;
}

RefreshRecord NextRefreshRecord(const std::optional<RefreshRecord>& previous, const std::string& outcome, bool stored,
                                const std::string& why, const DateTime& at) {
  RefreshRecord record;
  record.outcome = outcome;
  record.at = at;
  if (stored) record.lastStored = at;
  else if (previous) record.lastStored = previous->lastStored;
  if (!stored) record.why = OneLine(why);
  return record;
}

}  // namespace qbnotify
