// The local spool: event and audit rows that the database could not take, kept on the
// terminal server's own disk under "<InstallPath>\Data\Spool\" and written back later,
// oldest first (as far as one look at the directory sees: kBudgetedDrainRows), each exactly
// once.
//
// One file per row (SpoolEntry.h gives its bytes), so that every step on a row is one
// atomic file operation of the platform:
//
//   <time>-<process>-<n>-<bytes>.row    a row waiting; <time> is the row's own time as
//                                       YYYYMMDDhhmmss, so names sort oldest first; <bytes>
//                                       the room the limits count for it (SpoolNames.h;
//                                       rows of earlier versions have none)
//   <...>.<identifier>.idrow            a row whose identifier has been drawn: in its name,
//                                       and in its content when drawn for it alone (rows of
//                                       the previous version: "<...>.<identifier>.row")
//   <...>.<claimer>-<start>.claim
//   <...>.<identifier>.<claimer>-<start>.idclaim
//                                       the same rows claimed by process <claimer> (8 hex
//                                       digits) that started at <start> (16 hex digits, the
//                                       platform's process start time) while it writes the
//                                       row back
//   <...>.bad                           a file that is not an intact entry, set aside
//   <...>.refused                       a row the server refused for its content, set aside
//   counts-<process>.cnt                the dropped and refused rows counted by a process
//   <...>.<process>-<n>.tmp             a write that never finished (removed once <process>
//                                       no longer runs)
//
// Earlier versions claim every ".row" and take back every ".claim", and read a row's
// identifier from its content only: a row with its identifier in the name, given a new one
// by them after this version's insert had landed, would be inserted twice. Rows with an
// identifier therefore wear ".idrow" and ".idclaim", which earlier versions never touch;
// this version reads both forms.
//
// A row is written whole under a temporary name and renamed into place, so a crash leaves
// either a whole entry or none; an entry file that still fails its checks is set aside,
// never taken for a row. Writing back claims an entry by renaming it to a name of the
// claimer's (of several processes exactly one rename succeeds), gives it its identifier
// and rewrites it BEFORE the insert (durably: a power cut may undo the claim, never the
// identifier), inserts it, and only then removes it. A crash after the insert leaves the
// claimed entry with its identifier: it is taken back later, inserted again and answered
// "already there" by the identifier's key (the row under it read back and found the same in
// every column), so no row is written twice. Another row under the key (a counter restarted)
// gives the row a new identifier, rewritten on disk first. A claim is taken back only when
// its claimer no longer runs (no process has its id, or one that started at another time):
// never by its age, since a claimer that was merely stalled (a paused machine, a resume from
// sleep) would insert the row a second time. A row given its identifier alone is first
// renamed to carry it (the identified suffixes), then rewritten with it.
//
// Rows go back in batches where the callbacks allow it: the identifiers of a batch are drawn
// at once and put on the disk in the claims' names (a rename each, then one flush of the
// directory), and the batch goes in one insert that the server takes whole or not at all;
// otherwise each row goes on its own as above. The row's identifier in its entry, when it has
// one, is the latest and wins over its name's.
//
// Nothing here throws: every failure shows in the answer.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "store/spool/SpoolEntry.h"

namespace qbnotify {

inline constexpr const char* kSpoolLeaf = "Spool";
inline constexpr const char* kSpoolSection = "Spool";
inline constexpr std::uint32_t kMinStaleClaimSeconds = 60;

// Limits and timings, from section [Spool] of the connection-settings file (keys of the
// same names, plain decimal numbers; a missing or unreadable value keeps the default).
struct SpoolSettings {
  // Rows waiting. A busy terminal server writes some 12 rows per session (startup, check,
  // logon, disconnect, reconnect and logoff events, four audit rows): 100,000 rows hold
  // about 8,000 sessions, several days of a busy server.
  std::uint64_t MaxRows = 100000;
  // Bytes of the rows waiting (the files set aside and the counts are bounded apart). An
  // entry is typically 100 to 600 bytes; 64 MiB leaves room for rows with long client texts.
  std::uint64_t MaxBytes = 64ull << 20;
  // Time that one handler spends writing rows back.
  std::uint32_t DrainBudgetMs = 200;
  // Read for the settings files of earlier versions (no value below kMinStaleClaimSeconds
  // is taken), but no longer used: a claim or a temporary file is taken back when the
  // process that made it has ended, whatever its age.
  std::uint32_t StaleClaimSeconds = 600;

  friend bool operator==(const SpoolSettings&, const SpoolSettings&) = default;
};

// The spool's directory, "<InstallPath>\Data\Spool" in the form the platform takes; nullopt
// without an "InstallPath" (OwnDirectoryPath): then no row is kept at all. The directory is
// used only while it is the library's own (OwnDirectory.h).
std::optional<std::string> SpoolDirectory(Platform& platform);

// The settings of section [Spool]; the defaults where the file says nothing usable.
SpoolSettings ReadSpoolSettings(Platform& platform);

enum class SpoolAddResult {
  Spooled,  // the row is on the disk
  Dropped,  // the spool is full, or the row too large: counted as dropped
  Failed,   // the spool could not be written (no directory, disk full, ...): counted as
            // dropped when even the count can be written
};

// What the insert of a spooled row answered.
enum class InsertOutcome {
  Written,         // the row is in its table now
  AlreadyWritten,  // the same row, in every column, is under its key: an earlier insert landed
  KeyTaken,        // another row holds the identifier (a counter restarted, say): the row
                   // receives a new one, rewritten on disk first, and is inserted again
  Refused,         // the server refused the row for its content: it would fail again
  Declined,        // the server answered but did not take the row for another reason (a
                   // missing privilege or table, a failing trigger): the row stays and the
                   // next rows are tried, since one row must never hold up all the others
  Unavailable,     // the server could not be reached or stopped answering
};

// Declined rows in a row after which draining stops: the cause is then likely the server's,
// not the rows'.
inline constexpr int kDeclinedInARowLimit = 3;

// New identifiers drawn for one row whose identifier was held by another row, before the
// row is left waiting as declined.
inline constexpr int kKeyTakenDrawLimit = 3;

// Files set aside (.bad, .refused) kept at most; past it a file set aside is removed and only
// counted.
inline constexpr std::uint64_t kMaxSetAsideFiles = 1000;

// The waiting rows that one look at the directory takes, oldest first: a drain without a
// budget takes the oldest kDrainBatchRows of a whole listing and looks again after them; a
// drain within a budget stops listing at the first kBudgetedDrainRows it meets (far more than
// any budget writes back), so that a large backlog costs a handler no more than a small one.
// The file systems that list names in order (NTFS) meet the oldest first; others meet them in
// their own order, and the oldest rows then wait for a later drain.
inline constexpr std::size_t kDrainBatchRows = 4096;
inline constexpr std::size_t kBudgetedDrainRows = 512;

struct DrainCallbacks {
  // Draws a new identifier of the head ("Log" or "lap"). Raises anything when it cannot:
  // the row goes back to the spool untouched and draining stops.
  std::function<std::string(const std::string& head)> drawIdentifier;
  // Inserts the row, identifier included. Raising anything counts as Unavailable.
  std::function<InsertOutcome(const SpooledRow& row)> insert;

  // For writing rows back in batches; without both, rows go one at a time.
  // Draws `count` identifiers of the head at once; fewer, or raising: the batch's rows go
  // back untouched and draining stops.
  std::function<std::vector<std::string>(const std::string& head, int count)> drawIdentifiers;
  // Inserts rows of one head, identifiers included, in one statement that the server takes
  // whole or not at all: true when every row is in its table now. False or raising: nothing
  // is known, and each row is then inserted on its own with `insert`.
  std::function<bool(const std::vector<const SpooledRow*>& rows)> insertAll;
};

// Rows written back in one batch (one draw of identifiers, one wait for the disk, one
// insert), within a budget and without one.
inline constexpr std::size_t kBudgetedBatchRows = 16;
inline constexpr std::size_t kBatchRows = 64;

struct DrainReport {
  std::uint64_t written = 0;
  std::uint64_t alreadyWritten = 0;
  std::uint64_t refused = 0;    // set aside as .refused and counted
  std::uint64_t setAside = 0;   // files that were no intact entry
  std::uint64_t declined = 0;   // left waiting
  std::uint64_t takenBack = 0;  // claims of ended processes returned to the spool
  std::uint64_t redrawn = 0;    // rows whose identifier another row held, given a new one
  std::uint64_t deferred = 0;   // rows to be set aside left waiting for a drain that sees the
                                // whole directory (only such a drain counts the files set aside)
  bool outOfTime = false;       // stopped by the time budget with rows still waiting
  bool serverUnavailable = false;  // also: kDeclinedInARowLimit rows declined in a row
  bool diskFailed = false;
  bool directoryRefused = false;  // the directory was not the library's own: moved aside or refused
};

struct SpoolState {
  std::string directory;          // empty when the spool cannot be located
  std::uint64_t rowsWaiting = 0;  // entries waiting, claimed ones included
  std::uint64_t rowsClaimed = 0;
  std::uint64_t bytes = 0;        // all files of the directory
  std::optional<DateTime> oldest; // the time of the oldest waiting row
  std::uint64_t dropped = 0;
  std::uint64_t refused = 0;
  std::uint64_t setAside = 0;     // unreadable files set aside (.bad)
  std::uint64_t refusedAside = 0; // refused rows set aside (.refused)
  SpoolSettings settings;
  std::string directoryProblem;   // why the directory is not the library's own; nothing else
                                  // is read then
};

// The state as the administrators' tools show it, one "key: value" line each:
//   spool: C:\TAV\Data\Spool
//   spool refused: owned by another account  (only when the directory is not the library's own)
//   rows waiting: 3 (1 being written back)
//   oldest row: 2026-12-07 10:00:00           ("none" when no row waits)
//   bytes: 1234 of 67108864
//   row limit: 100000
//   dropped rows: 0
//   refused rows: 1 (1 set aside)
//   unreadable files set aside: 0
std::string DescribeSpoolState(const SpoolState& state);

class Spool {
 public:
  // A spool in `directory` (a Windows path; created when the first row is added).
  Spool(Platform& platform, std::string directory, SpoolSettings settings);

  // The spool of this installation, with the settings of its settings file; nullopt when
  // its directory cannot be located.
  static std::optional<Spool> Locate(Platform& platform);

  const std::string& Directory() const { return directory_; }
  const SpoolSettings& Settings() const { return settings_; }

  // Keeps a row (with or without its identifier). Past MaxRows or MaxBytes the new row is
  // dropped and counted; rows already kept are never touched.
  SpoolAddResult Add(const SpooledRow& row);

  // Counts rows that the server refused for their content (they are not kept).
  void CountRefused(std::uint64_t rows = 1);
  void CountDropped(std::uint64_t rows = 1);

  // Writes waiting rows back, oldest first, until none is left, the server fails, or
  // `budgetMs` has passed (at least one row, or one batch, is tried per call). No budget: until the
  // spool is empty or the server fails. Returns at once, touching nothing, when the
  // directory does not exist.
  DrainReport Drain(const DrainCallbacks& callbacks, std::optional<std::uint32_t> budgetMs);
  // With the budget of the settings.
  DrainReport DrainWithinBudget(const DrainCallbacks& callbacks) { return Drain(callbacks, settings_.DrainBudgetMs); }

  SpoolState State();
  // Whether any row waits (claimed ones included): one look at the directory.
  bool HasWaitingRows();

 private:
  enum class Step { Next, Stop };
  // What one look at the directory found (names only).
  struct Survey {
    FileResult result = FileResult::Failed;
    std::vector<std::string> rows;  // waiting, unclaimed, oldest first
    std::vector<std::string> claims;
    std::vector<std::string> temporaries;
    std::uint64_t setAside = 0;  // .bad and .refused files
    bool complete = true;        // false when the look stopped early
  };
  // Keeps the oldest `keep` waiting rows not in `skip`; stops after `stopAfter` of them.
  Survey SurveyDirectory(const std::set<std::string>& skip, std::size_t keep, std::size_t stopAfter);
  // A row claimed by this process: its waiting name, the name's base, the claim's path and
  // the row read from it.
  struct Claimed {
    std::string name;
    std::string base;
    std::string claim;
    SpooledRow row;
  };
  // Claims and reads a waiting row; nullopt when another process has it or it was set aside.
  std::optional<Claimed> ClaimAndRead(const std::string& name, DrainReport& report);
  // Renames a claim to carry `identifier` in its name (the identified suffixes).
  bool NameIdentifier(Claimed& claimed, const std::string& identifier);
  void PutBack(const Claimed& claimed);
  bool SetAside(const Claimed& claimed, std::string_view suffix, DrainReport& report);
  // `putBackAs`: the name the row waits under if it was put back.
  Step DrainOne(const std::string& name, const DrainCallbacks& callbacks, DrainReport& report,
                std::string& putBackAs);
  Step WriteBackClaimed(Claimed& claimed, const DrainCallbacks& callbacks, DrainReport& report);
  Step DrainBatch(const std::vector<std::string>& names, const DrainCallbacks& callbacks, DrainReport& report,
                  std::set<std::string>& declined);
  void TakeBackOrphanedClaims(const Survey& survey, DrainReport& report);
  bool AddCounts(std::uint64_t dropped, std::uint64_t refused);
  // The rows waiting (claimed ones included) and the bytes the limits count for them;
  // nullopt when the directory cannot be listed.
  struct Usage {
    std::uint64_t rows = 0;
    std::uint64_t bytes = 0;
  };
  std::optional<Usage> RowsWaiting();
  // Reports a row kept to the system's event log, or the spool near its limits.
  void ReportUsage(const Usage& usage);
  // Whether the directory is the library's own (made when `create`); anything else there is
  // moved aside or refused (OwnDirectory.h) and counted in untrustedDirectories_.
  bool EnsureOwn(bool create);
  std::string PathOf(const std::string& name) const { return directory_ + "\\" + name; }

  Platform& platform_;
  std::string directory_;
  SpoolSettings settings_;
  std::uint32_t process_;
  std::uint64_t processStart_;  // this process's start time; 0 when the platform cannot tell
  std::uint64_t untrustedDirectories_ = 0;
  std::uint64_t setAsideFiles_ = 0;  // .bad and .refused files, as the drain last counted them
  bool setAsideKnown_ = false;       // whether that count saw the whole directory
};

}  // namespace qbnotify
