// The record of the last refreshes of the offline snapshot (policy/OfflineSnapshot.h): when
// a refresh last stored a snapshot, and how the latest one ended and why. The doctor reads
// it: a farm whose refresh keeps failing (a column the statement needs is missing, a
// privilege is missing, the snapshot is too large) says so instead of showing an old
// snapshot or none.
//
// One state file, "offline-refresh", beside the snapshot, written by each refresh that
// took the rows or tried to (not by one that found the snapshot fresh or another refresher
// at work). Its content is lines of "<key> <value>":
//
//   outcome <stored | too large | failed>
//   at <YYYY-MM-DD hh:mm:ss>       this machine's local time of that refresh
//   stored <YYYY-MM-DD hh:mm:ss>   the last refresh that stored a snapshot (absent: none yet)
//   why <text>                     one line: what failed (absent when stored)
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace qbnotify {

inline constexpr const char* kRefreshRecordName = "offline-refresh";
// The reason is cut to this many bytes (a server's message is far shorter).
inline constexpr std::size_t kMaxRefreshReasonBytes = 512;

struct RefreshRecord {
  std::string outcome;
  DateTime at;
  std::optional<DateTime> lastStored;
  std::string why;

  friend bool operator==(const RefreshRecord&, const RefreshRecord&) = default;
};

std::string EncodeRefreshRecord(const RefreshRecord& record);
// nullopt unless `content` is a record as EncodeRefreshRecord writes it.
std::optional<RefreshRecord> DecodeRefreshRecord(std::string_view content);

// The record after a refresh that ended with `outcome` (why: empty when it stored one),
// keeping the last success of the record before it (`previous`, as read; none when absent
// or bad).
RefreshRecord NextRefreshRecord(const std::optional<RefreshRecord>& previous, const std::string& outcome, bool stored,
                                const std::string& why, const DateTime& at);

}  // namespace qbnotify
