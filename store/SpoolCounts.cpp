#include "store/SpoolCounts.h"

#include <charconv>

#include "store/Spool.h"
#include "store/SpoolNames.h"

namespace qbnotify {
namespace spool {

std::optional<std::uint64_t> ParseCount(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string EncodeCounts(const Counts& counts) {
  return std::string(kCountsMagic) + "\ndropped " + std::to_string(counts.dropped) + "\nrefused " +
         std::to_string(counts.refused) + "\n";
}

std::optional<Counts> DecodeCounts(std::string_view text) {
  const auto line = [&text](std::string_view label) -> std::optional<std::uint64_t> {
    if (!StartsWith(text, label)) return std::nullopt;
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;
    const auto value = ParseCount(text.substr(label.size(), end - label.size()));
    text.remove_prefix(end + 1);
    return value;
  };
  if (!StartsWith(text, std::string(kCountsMagic) + "\n")) return std::nullopt;
  text.remove_prefix(kCountsMagic.size() + 1);
  const auto dropped = line("dropped ");
  const auto refused = line("refused ");
  if (!dropped || !refused || !text.empty()) return std::nullopt;
  return Counts{*dropped, *refused};
}

}  // namespace spool

using namespace spool;

void Spool::CountRefused(std::uint64_t rows) { AddCounts(0, rows); }
void Spool::CountDropped(std::uint64_t rows) { AddCounts(rows, 0); }

// A counts file that does not read is set aside before it is replaced.
bool Spool::AddCounts(std::uint64_t dropped, std::uint64_t refused) {
  try {
    if (!EnsureOwn(true)) return false;
    const std::string name = std::string(kCountsPrefix) + Hex8(process_) + std::string(kCountsSuffix);
    Counts counts;
    const FileContent content = platform_.ReadWholeFile(PathOf(name), kCountsFileLimit);
    if (content.result == FileResult::Ok || content.result == FileResult::TooLarge) {
      const std::optional<Counts> stored =
          content.result == FileResult::Ok ? DecodeCounts(content.bytes) : std::nullopt;
      if (stored) counts = *stored;
      else platform_.RenameWithoutReplacing(PathOf(name), PathOf(name + std::string(kBadSuffix)));
    } else if (content.result != FileResult::NotFound) {
      return false;
    }
    counts.dropped += dropped;
    counts.refused += refused;
    return platform_.WriteFileDurably(PathOf(name), EncodeCounts(counts), true) == FileResult::Ok;
  } catch (...) {
    return false;
  }
}

}  // namespace qbnotify
