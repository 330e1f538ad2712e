// The library's own troubles in the system's event log (Windows: the Application log under
// the source "QBNotify"; hosted: lines of the session host's output).
//
// Raising one is one call, at the place where the trouble is found:
//
//   ReportTrouble(platform, Trouble::DatabaseUnreachable, "servers 10.0.0.5:3306: connect failed");
//
// Each kind has a stable event id and category: the message texts compiled into the library
// (notify/win32/QBNotifyEvents.mc) and the administrators' guide name them by these numbers,
// so they never change. The text is the detail (code page 936) inserted into the message.
//
// A kind is written at most once per interval (15 minutes; `[Events] IntervalMinutes` of the
// settings file, 1 to 1440) across all the server's processes: the first process to raise it
// in an interval creates the file "event-<id>-<interval number>.state" in the state directory
// (created only when absent, so exactly one process wins) and writes the entry; the others
// stay quiet until the next interval. A logon storm against a stopped server thus writes a
// few entries, not thousands. Where the state directory cannot be used (no InstallPath, the
// directory refused), the limit holds per process. Every entry ends with the time the
// trouble was first seen in the current run of intervals: a kind written in the previous
// interval carries that time on.
//
// Never throws and never blocks for long: the log is advice, and a handler goes on whatever
// happens here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Platform.h"

namespace qbnotify {

enum class Trouble : std::uint8_t {
  DatabaseUnreachable,  // 1001  no listed server could be connected to
  RowsKept,             // 1002  rows kept in the spool while the database is away
  RowsWrittenBack,      // 1003  kept rows written back to the database
  SpoolNearLimit,       // 1004  the spool holds 80 % of MaxRows or MaxBytes
  SpoolFull,            // 1005  the spool is full: new rows are dropped
  FolderRefused,        // 1006  the state or spool folder is not the library's own
  SnapshotUnusable,     // 1007  the rules' snapshot is too old (or not this farm's): closed
  OfflineDecision,      // 1008  sessions decided while the database is away
  SettingsUnreadable,   // 1009  the settings file is missing, unreadable or incomplete
};

// Event categories (the message table's first entries).
enum class TroubleCategory : std::uint16_t {
  Database = 1,
  Spool = 2,
  Folders = 3,
  Offline = 4,
  Settings = 5,
};

struct TroubleKind {
  Trouble trouble;
  std::uint32_t id;
  TroubleCategory category;
  SystemEventLevel level;
  const char* name;  // for the hosted output and the doctor
};

// Every kind, in the order of the enumeration.
const std::vector<TroubleKind>& TroubleKinds();
const TroubleKind& KindOf(Trouble trouble);

inline constexpr std::uint32_t kDefaultTroubleIntervalMinutes = 15;

// Writes the trouble to the system's event log unless it was written in this interval, or
// this process does not report troubles.
void ReportTrouble(Platform& platform, Trouble trouble, std::string_view text);

// Makes this process report troubles. The library's handlers do it when they first run; the
// tools, which run the library's code to show or check what it would do, never do, so that
// they write neither entries nor claims (a tool that promises to write nothing writes
// nothing).
void EnableTroubleReports();

// The last entry of each kind that the state directory remembers, newest first: for the
// doctor.
struct RememberedTrouble {
  std::uint32_t id = 0;
  std::string name;
  std::string time;   // "YYYY-MM-DD HH:MM:SS", local
  std::string since;  // first seen in this run of intervals
  std::string text;
};
std::vector<RememberedTrouble> RememberedTroubles(Platform& platform);

// The interval number of a local time (whole intervals since 1970, local clock).
std::int64_t TroubleInterval(const DateTime& time, std::uint32_t intervalMinutes);

}  // namespace qbnotify
