#include "store/spool/SpoolCounts.h"

#include <charconv>
#include <vector>

#include "store/spool/Spool.h"
#include "store/spool/SpoolNames.h"

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
    const std::string_view digits = text.substr(label.size(), end - label.size());
    // As EncodeCounts writes it: no leading zero.
    const auto value = digits.size() > 1 && digits[0] == '0' ? std::nullopt : ParseCount(digits);
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
    // The counts of processes that have ended are folded into this one's, so that there are
    // never more counts files than processes running. A file being folded is named
    // "<counts file>.<process>.fold" and still counted, so that a crash in between counts
    // its rows twice, never loses them.
    std::vector<std::string> folded;
    const DirectoryListing listing = platform_.ListDirectory(directory_);
    for (const DirectoryEntry& entry : listing.entries) {
      if (entry.name == name || !StartsWith(entry.name, kCountsPrefix) || !EndsWith(entry.name, kCountsSuffix) ||
          folded.size() >= 64)
        continue;
      const std::string digits =
          entry.name.substr(kCountsPrefix.size(), entry.name.size() - kCountsPrefix.size() - kCountsSuffix.size());
      std::uint32_t owner = 0;
      const auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), owner, 16);
      if (digits.size() != 8 || parsed.ec != std::errc() || parsed.ptr != digits.data() + digits.size() ||
          platform_.QueryProcess(owner).state != ProcessState::Gone)
        continue;
      // Taken by a rename first, so that of two processes folding at once only one adds it.
      const std::string taken = entry.name + "." + Hex8(process_) + std::string(kFoldSuffix);
      if (platform_.RenameWithoutReplacing(PathOf(entry.name), PathOf(taken)) != FileResult::Ok) continue;
      const FileContent other = platform_.ReadWholeFile(PathOf(taken), kCountsFileLimit);
      const std::optional<Counts> theirs = other.result == FileResult::Ok ? DecodeCounts(other.bytes) : std::nullopt;
      if (!theirs) {
        platform_.RenameWithoutReplacing(PathOf(taken), PathOf(entry.name));
        continue;
      }
      counts.dropped += theirs->dropped;
      counts.refused += theirs->refused;
      folded.push_back(taken);
    }
    if (platform_.WriteFileDurably(PathOf(name), EncodeCounts(counts), true) != FileResult::Ok) return false;
    for (const std::string& other : folded) platform_.RemoveFile(PathOf(other));
    return true;
  } catch (...) {
    // A count that cannot be kept is only a count: it never stops the row work around it.
    return false;
  }
}

}  // namespace qbnotify
