#include "store/spool/Spool.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <vector>

#include "environment/ConnectionSettings.h"
#include "store/Database.h"
#include "store/OwnDirectory.h"
#include "store/spool/SpoolCounts.h"
#include "store/spool/SpoolNames.h"
#include "store/SystemEventLog.h"

namespace qbnotify {
namespace {

using namespace spool;

// Tries at new names for one row before giving up; only a process that has already written
// this many rows stamped with the same second can need more.
constexpr int kNameAttempts = 1000;

// The <n> of new entries' names, for the whole process, so that Spool objects made one after
// another do not try the same names again.
std::atomic<std::uint32_t> entrySequence{0};

// A settings file that is missing or cannot be read leaves the defaults: rows are kept
// before the settings exist, and written back once they do.
std::uint64_t ReadSetting(Platform& platform, const char* key, std::uint64_t fallback, std::uint64_t highest) {
  try {
    const auto value = ParseCount(ReadPlainSetting(platform, kSpoolSection, key));
    return value && *value <= highest ? *value : fallback;
  } catch (const std::exception&) {
    return fallback;
  }
}

}  // namespace

std::optional<std::string> SpoolDirectory(Platform& platform) { return OwnDirectoryPath(platform, kSpoolLeaf); }

SpoolSettings ReadSpoolSettings(Platform& platform) {
  SpoolSettings settings;
  settings.MaxRows = ReadSetting(platform, "MaxRows", settings.MaxRows, UINT64_MAX);
  settings.MaxBytes = ReadSetting(platform, "MaxBytes", settings.MaxBytes, UINT64_MAX);
  settings.DrainBudgetMs =
      static_cast<std::uint32_t>(ReadSetting(platform, "DrainBudgetMs", settings.DrainBudgetMs, 600000));
  settings.StaleClaimSeconds = std::max(kMinStaleClaimSeconds, static_cast<std::uint32_t>(ReadSetting(
      platform, "StaleClaimSeconds", settings.StaleClaimSeconds, 7 * 24 * 3600)));
  return settings;
}

Spool::Spool(Platform& platform, std::string directory, SpoolSettings settings)
    : platform_(platform),
      directory_(std::move(directory)),
      settings_(settings),
      process_(platform.CurrentProcessId()),
      processStart_(platform.QueryProcess(process_).startTime) {}

std::optional<Spool> Spool::Locate(Platform& platform) {
  std::optional<std::string> directory = SpoolDirectory(platform);
  if (!directory) return std::nullopt;
  return Spool(platform, std::move(*directory), ReadSpoolSettings(platform));
}

SpoolAddResult Spool::Add(const SpooledRow& row) {
  try {
    const std::optional<std::string> bytes = EncodeSpoolEntry(row);
    if (!bytes) {
      CountDropped();
      return SpoolAddResult::Dropped;
    }
    if (!EnsureOwn(true)) return SpoolAddResult::Failed;  // nowhere to count it either
    const std::uint64_t room = bytes->size() - RowIdentifier(row).size() + kIdentifierRoom;
    const auto full = [&]() -> std::optional<bool> {
      const std::optional<Usage> usage = RowsWaiting();
      if (!usage) return std::nullopt;
      const bool over = usage->rows > settings_.MaxRows || usage->bytes > settings_.MaxBytes;
      if (!over) ReportUsage(*usage);
      return over;
    };
    // The row is written first and the spool looked at with it in place: one look at the
    // directory per row. Past its limits the spool gives the row up again, so that the limits
    // hold exactly also when processes add at once (two rows added at the very last place may
    // both give up; none is ever over).
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
      const std::string name = WaitingRowName(RowTime(row), process_, entrySequence.fetch_add(1) + 1, room);
      const FileResult written = platform_.WriteFileDurably(PathOf(name), *bytes, false);
      if (written == FileResult::Ok) {
        if (full().value_or(false) && platform_.RemoveFile(PathOf(name)) == FileResult::Ok) {
          CountDropped();
          ReportTrouble(platform_, Trouble::SpoolFull,
                        "The spool " + directory_ + " is full (MaxRows " + std::to_string(settings_.MaxRows) + ", MaxBytes " +
                            std::to_string(settings_.MaxBytes) + "): new rows are dropped and counted.");
          return SpoolAddResult::Dropped;
        }
        return SpoolAddResult::Spooled;
      }
      if (written != FileResult::AlreadyExists) break;
    }
    CountDropped();
    return SpoolAddResult::Failed;
  } catch (...) {
    // Out of memory, at worst: the row is lost, as it would have been without a spool.
    return SpoolAddResult::Failed;
  }
}

// Counted from the names alone while every row's name tells its bytes; the sizes of the
// files are looked at only when rows of earlier versions wait.
std::optional<Spool::Usage> Spool::RowsWaiting() {
  Usage usage;
  bool named = true;
  const FileResult listed = platform_.ListNames(directory_, [&](std::string_view name) {
    if (!IsWaitingRow(name)) return true;
    const std::optional<std::uint64_t> bytes = BytesInName(name);
    named = bytes.has_value();
    ++usage.rows;
    usage.bytes += bytes.value_or(0);
    return named;
  });
  if (listed != FileResult::Ok) return std::nullopt;
  if (named) return usage;
  const DirectoryListing listing = platform_.ListDirectory(directory_);
  if (listing.result != FileResult::Ok) return std::nullopt;
  usage = Usage{};
  for (const DirectoryEntry& entry : listing.entries) {
    if (!IsWaitingRow(entry.name)) continue;
    ++usage.rows;
    usage.bytes += std::max(entry.size, BytesInName(entry.name).value_or(0));
  }
  return usage;
}

void Spool::ReportUsage(const Usage& usage) {
  const auto near = [](std::uint64_t used, std::uint64_t limit) { return limit > 0 && used >= limit / 5 * 4; };
  const std::string counts = std::to_string(usage.rows) + " rows, " + std::to_string(usage.bytes) + " bytes (MaxRows " +
                             std::to_string(settings_.MaxRows) + ", MaxBytes " + std::to_string(settings_.MaxBytes) + ")";
  if (near(usage.rows, settings_.MaxRows) || near(usage.bytes, settings_.MaxBytes))
    ReportTrouble(platform_, Trouble::SpoolNearLimit, "The spool " + directory_ + " holds " + counts + ": past its limits new rows are dropped.");
  else
    ReportTrouble(platform_, Trouble::RowsKept, "Rows are being kept in " + directory_ + " while the database is away: " + counts + ".");
}

bool Spool::EnsureOwn(bool create) {
  const OwnDirectoryCheck check = EnsureOwnDirectory(platform_, directory_, create);
  if (check.untrusted) ++untrustedDirectories_;
  return check.Usable();
}


SpoolState Spool::State() {
  SpoolState state;
  state.directory = directory_;
  state.settings = settings_;
  // Only looked at: the tools report a directory that is not the library's own, and read
  // nothing in it.
  state.directoryProblem = DescribeOwnDirectoryProblem(platform_, directory_);
  if (!state.directoryProblem.empty()) return state;
  const DirectoryListing listing = platform_.ListDirectory(directory_);
  std::optional<std::string> oldest;
  for (const DirectoryEntry& entry : listing.entries) {
    state.bytes += entry.size;
    const std::string_view name = entry.name;
    const bool claimed = IsClaimedRow(name);
    if (claimed || IsUnclaimedRow(name)) {
      ++state.rowsWaiting;
      if (claimed) ++state.rowsClaimed;
      if (!oldest || name < *oldest) oldest = entry.name;
    } else if (EndsWith(name, kBadSuffix)) {
      ++state.setAside;
    } else if (EndsWith(name, kRefusedSuffix)) {
      ++state.refusedAside;
    } else if (StartsWith(name, kCountsPrefix) && (EndsWith(name, kCountsSuffix) || EndsWith(name, kFoldSuffix))) {
      const FileContent content = platform_.ReadWholeFile(PathOf(entry.name), kCountsFileLimit);
      if (const std::optional<Counts> counts = content.result == FileResult::Ok ? DecodeCounts(content.bytes)
                                                                                  : std::nullopt) {
        state.dropped += counts->dropped;
        state.refused += counts->refused;
      }
    }
  }
  if (oldest) state.oldest = ParseTimeStamp(*oldest);
  return state;
}

bool Spool::HasWaitingRows() {
  if (!DescribeOwnDirectoryProblem(platform_, directory_).empty()) return false;
  bool found = false;
  platform_.ListNames(directory_, [&found](std::string_view name) {
    found = IsWaitingRow(name);
    return !found;
  });
  return found;
}

std::string DescribeSpoolState(const SpoolState& state) {
  const auto number = [](std::uint64_t value) { return std::to_string(value); };
  std::string text;
  text += "spool: " + (state.directory.empty() ? std::string("(not located)") : state.directory) + "\n";
  if (!state.directoryProblem.empty()) text += "spool refused: " + state.directoryProblem + "\n";
  text += "rows waiting: " + number(state.rowsWaiting) + " (" + number(state.rowsClaimed) + " being written back)\n";
  text += "oldest row: " + (state.oldest ? FormatDateTime(*state.oldest) : std::string("none")) + "\n";
  text += "bytes: " + number(state.bytes) + " of " + number(state.settings.MaxBytes) + "\n";
  text += "row limit: " + number(state.settings.MaxRows) + "\n";
  text += "dropped rows: " + number(state.dropped) + "\n";
  text += "refused rows: " + number(state.refused) + " (" + number(state.refusedAside) + " set aside)\n";
  text += "unreadable files set aside: " + number(state.setAside) + "\n";
  return text;
}

}  // namespace qbnotify
