// The spool's counts of lost rows. Each process keeps its own file, "counts-<process>.cnt",
// and only ever rewrites that one, so that two processes never race on a count: the totals
// are the sum over the files. A file holds exactly:
//
//   QBSPOOL-COUNTS 1
//   dropped <n>
//   refused <n>
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qbnotify::spool {

inline constexpr std::string_view kCountsPrefix = "counts-";
inline constexpr std::string_view kCountsSuffix = ".cnt";
inline constexpr std::string_view kFoldSuffix = ".fold";  // a counts file being folded into another
inline constexpr std::string_view kCountsMagic = "QBSPOOL-COUNTS 1";
inline constexpr std::size_t kCountsFileLimit = 4096;

// A plain decimal number, nothing before or after it.
std::optional<std::uint64_t> ParseCount(std::string_view text);

struct Counts {
  std::uint64_t dropped = 0;
  std::uint64_t refused = 0;
};

std::string EncodeCounts(const Counts& counts);
// The counts of one file; nullopt unless the file is exactly what EncodeCounts writes.
std::optional<Counts> DecodeCounts(std::string_view text);

}  // namespace qbnotify::spool
