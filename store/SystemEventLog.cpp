#include "store/SystemEventLog.h"

#include <algorithm>
#include <array>
#include <atomic>

#include "environment/Calendar.h"
#include "environment/ConnectionSettings.h"
#include "store/Database.h"
#include "store/spool/SpoolCounts.h"
#include "store/spool/SpoolNames.h"
#include "store/StateDirectory.h"

namespace qbnotify {
namespace {

using Level = SystemEventLevel;
using Category = TroubleCategory;

const std::vector<TroubleKind> kKinds = {
    {Trouble::DatabaseUnreachable, 1001, Category::Database, Level::Error, "database_unreachable"},
    {Trouble::RowsKept, 1002, Category::Spool, Level::Warning, "rows_kept"},
    {Trouble::RowsWrittenBack, 1003, Category::Spool, Level::Information, "rows_written_back"},
    {Trouble::SpoolNearLimit, 1004, Category::Spool, Level::Warning, "spool_near_limit"},
    {Trouble::SpoolFull, 1005, Category::Spool, Level::Error, "spool_full"},
    {Trouble::FolderRefused, 1006, Category::Folders, Level::Error, "folder_refused"},
    {Trouble::SnapshotUnusable, 1007, Category::Offline, Level::Warning, "snapshot_unusable"},
    {Trouble::OfflineDecision, 1008, Category::Offline, Level::Warning, "offline_decision"},
    {Trouble::SettingsUnreadable, 1009, Category::Settings, Level::Error, "settings_unreadable"},
};
constexpr std::size_t kKindCount = 9;

// The interval each kind was last dealt with in this process (written or left to another
// process), plus one (0: never): the per-process limit, and what spares the state directory
// a look per trouble.
std::array<std::atomic<std::int64_t>, kKindCount> lastInterval{};

std::atomic<bool> reporting{false};

// Set while this thread raises a trouble: a trouble found on the way (the state directory
// refused) is limited per process and does not look at the state directory again.
thread_local bool raising = false;

class Raising {
 public:
  Raising() { raising = true; }
  ~Raising() { raising = false; }
  Raising(const Raising&) = delete;
  Raising& operator=(const Raising&) = delete;
};

constexpr std::string_view kClaimPrefix = "event-";

// "event-<id>-<interval>"
std::string ClaimName(std::uint32_t id, std::int64_t interval) {
  return std::string(kClaimPrefix) + std::to_string(id) + "-" + std::to_string(interval);
}

// The id and interval of a claim file's name ("event-1001-1967.state").
std::optional<std::pair<std::uint32_t, std::int64_t>> ParseClaimName(std::string_view name) {
  if (!spool::StartsWith(name, kClaimPrefix) || !spool::EndsWith(name, kStateSuffix)) return std::nullopt;
  name.remove_prefix(kClaimPrefix.size());
  name.remove_suffix(kStateSuffix.size());
  const std::size_t dash = name.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  const std::optional<std::uint64_t> id = spool::ParseCount(name.substr(0, dash));
  const std::optional<std::uint64_t> interval = spool::ParseCount(name.substr(dash + 1));
  if (!id || !interval || *id > 0xFFFFFFFFu || *interval > (1ull << 40)) return std::nullopt;
  return std::pair{static_cast<std::uint32_t>(*id), static_cast<std::int64_t>(*interval)};
}

// The value of "key=" in a claim's content ("text" runs to the end).
std::string Field(std::string_view content, std::string_view key) {
  const std::string prefix = std::string(key) + "=";
  std::size_t at = 0;
  while (at < content.size()) {
    const std::size_t end = std::min(content.find('\n', at), content.size());
    const std::string_view line = content.substr(at, end - at);
    if (spool::StartsWith(line, prefix)) {
      if (key == "text") return std::string(content.substr(at + prefix.size()));
      return std::string(line.substr(prefix.size()));
    }
    at = end + 1;
  }
  return {};
}

std::uint32_t IntervalMinutes(Platform& platform) {
  try {
    const std::string value = ReadPlainSetting(platform, "Events", "IntervalMinutes");
    const std::optional<std::uint64_t> minutes = spool::ParseCount(value);
    if (minutes && *minutes >= 1 && *minutes <= 1440) return static_cast<std::uint32_t>(*minutes);
  } catch (...) {
    // An unreadable setting leaves the default.
  }
  return kDefaultTroubleIntervalMinutes;
}

// The claims of every kind in the state directory: (id, interval) by name.
std::vector<std::pair<std::string, std::pair<std::uint32_t, std::int64_t>>> ListClaims(Platform& platform,
                                                                                        const StateDirectory& state) {
  std::vector<std::pair<std::string, std::pair<std::uint32_t, std::int64_t>>> claims;
  platform.ListNames(state.Directory(), [&](std::string_view name) {
    if (const auto parsed = ParseClaimName(name)) claims.emplace_back(std::string(name), *parsed);
    return claims.size() < 256;
  });
  return claims;
}

// Claims the interval for the kind in the state directory. True: this process writes the
// entry (it won the claim, or the directory cannot be used); false: another process did.
// `since` is carried over from the claim of the interval before, when there is one.
bool ClaimInterval(Platform& platform, const TroubleKind& kind, std::int64_t interval, const std::string& now,
                   std::string& since, std::string_view text) {
  std::optional<StateDirectory> state = StateDirectory::Locate(platform);
  if (!state) return true;
  const auto claims = ListClaims(platform, *state);
  for (const auto& [name, parsed] : claims)
    if (parsed.first == kind.id && parsed.second == interval - 1)
      if (const std::optional<std::string> content = state->Read(name.substr(0, name.size() - kStateSuffix.size()))) {
        const std::string earlier = Field(*content, "since");
        if (!earlier.empty()) since = earlier;
      }
  const std::string content = "kind=" + std::string(kind.name) + "\ntime=" + now + "\nsince=" + since + "\ntext=" +
                              std::string(text.substr(0, 4096));
  const FileResult created = state->Create(ClaimName(kind.id, interval), content);
  if (created == FileResult::AlreadyExists) return false;
  if (created == FileResult::Ok)
    for (const auto& [name, parsed] : claims)
      if (parsed.first == kind.id && parsed.second != interval) platform.RemoveFile(state->Directory() + "\\" + name);
  return true;
}

}  // namespace

const std::vector<TroubleKind>& TroubleKinds() { return kKinds; }

const TroubleKind& KindOf(Trouble trouble) { return kKinds[static_cast<std::size_t>(trouble)]; }

std::int64_t TroubleInterval(const DateTime& time, std::uint32_t intervalMinutes) {
  const std::int64_t seconds =
      DaysFromCivil(time.year, time.month, time.day) * 86400 + time.hour * 3600 + time.minute * 60 + time.second;
  const std::int64_t length = static_cast<std::int64_t>(std::max<std::uint32_t>(intervalMinutes, 1)) * 60;
  return seconds < 0 ? 0 : seconds / length;
}

void EnableTroubleReports() { reporting = true; }

void ReportTrouble(Platform& platform, Trouble trouble, std::string_view text) {
  if (!reporting) return;
  try {
    const TroubleKind& kind = KindOf(trouble);
    const DateTime now = platform.LocalNow();
    const std::uint32_t minutes = IntervalMinutes(platform);
    const std::int64_t interval = TroubleInterval(now, minutes);
    if (lastInterval[static_cast<std::size_t>(trouble)].exchange(interval + 1) == interval + 1) return;
    const std::string nowText = FormatDateTime(now);
    std::string since = nowText;
    if (!raising) {
      Raising guard;
      if (!ClaimInterval(platform, kind, interval, nowText, since, text)) return;
    }
    platform.WriteSystemEvent(SystemEvent{kind.id, static_cast<std::uint16_t>(kind.category), kind.level,
                                          std::string(text) + " (first seen " + since + "; written at most once every " +
                                              std::to_string(minutes) + " minutes)"});
  } catch (...) {
    // The log is advice: a trouble that cannot be reported is left out.
  }
}

std::vector<RememberedTrouble> RememberedTroubles(Platform& platform) {
  std::vector<RememberedTrouble> remembered;
  try {
    std::optional<StateDirectory> state = StateDirectory::Locate(platform);
    if (!state) return remembered;
    for (const auto& [name, parsed] : ListClaims(platform, *state)) {
      const std::optional<std::string> content = state->Read(name.substr(0, name.size() - kStateSuffix.size()));
      if (!content) continue;
      remembered.push_back(
          RememberedTrouble{parsed.first, Field(*content, "kind"), Field(*content, "time"), Field(*content, "since"), Field(*content, "text")});
    }
    std::sort(remembered.begin(), remembered.end(),
              [](const RememberedTrouble& a, const RememberedTrouble& b) { return a.time > b.time; });
  } catch (...) {
    // Whatever was read so far.
  }
  return remembered;
}

}  // namespace qbnotify
