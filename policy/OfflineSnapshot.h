// The local copy of the rules that a session is decided from while the database is away
// ([Offline] Admission=cached): the applications and their policies, the policies' rules,
// every address and time group, and the users' identifiers that the records carry.
//
// It is one state file, "offline-snapshot" (store/StateDirectory.h: written whole under a
// temporary name and renamed, a CRC-32 over all of it, read as absent when anything about it
// is wrong), taken after a startup that reached the database, at most once every
// RefreshSeconds. Of the handlers that find it due at once, the one that creates the claim
// file "offline-refresh.claim" takes it; the others leave it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "environment/Calendar.h"
#include "platform/Platform.h"
#include "session/SessionContext.h"

namespace qbnotify {

inline constexpr const char* kSnapshotStateName = "offline-snapshot";
inline constexpr const char* kRefreshClaimName = "offline-refresh.claim";
// The largest snapshot kept; a farm whose rows do not fit keeps the older snapshot, which
// then ages out.
inline constexpr std::size_t kMaxSnapshotBytes = 8u * 1024 * 1024;
// A claim older than this is left over by a handler that ended while refreshing.
inline constexpr std::uint64_t kStaleRefreshClaimSeconds = 120;

struct SnapshotApplication {
  std::string appId;
  std::string name;      // NULL reads as ""
  std::string policyId;  // NULL reads as ""
};

struct SnapshotRule {
  std::int32_t ruleId = 0;
  std::string secPid;
  std::int32_t sortId = 0;
  std::string clientName;
  std::string mac;
  std::int32_t clientProtocol = 0;
  std::string addressGroupId;
  std::string timeId;
  std::int32_t action = 0;  // NULL reads as 0, as the rule query's reader takes it
};

struct SnapshotAddressGroup {
  std::string addressId;
  std::string addressType;
  std::string ip1;
  std::string ip2;
};

struct SnapshotTimeGroup {
  std::string timeId;
  std::int32_t dayType = 0;
  std::string dayFlags;
  std::optional<std::int32_t> startDay;  // YYYYMMDD; 0 for the zero date; none for NULL
  std::optional<std::int32_t> endDay;
  std::optional<std::int32_t> startTime;  // seconds, signed (TIME may pass 24 h or be negative)
  std::optional<std::int32_t> endTime;
};

struct SnapshotUser {
  std::string name;
  std::string userId;
};

struct OfflineSnapshot {
  DateTime takenAt;  // this machine's local time when it was taken
  std::vector<SnapshotApplication> applications;
  std::vector<SnapshotRule> rules;  // by SecPID, SortID, RuleID
  std::vector<SnapshotAddressGroup> addressGroups;
  std::vector<SnapshotTimeGroup> timeGroups;
  std::vector<SnapshotUser> users;  // by name, User_ID
};

std::string EncodeSnapshot(const OfflineSnapshot& snapshot);
// nullopt unless `content` is exactly what EncodeSnapshot writes.
std::optional<OfflineSnapshot> DecodeSnapshot(const std::string& content);

// Text forms of the server's DATE and TIME values ("" for NULL): nullopt for NULL or a text
// that is neither.
std::optional<std::int32_t> ParseSqlDate(const std::string& text);
std::optional<std::int32_t> ParseSqlTime(const std::string& text);
std::string FormatSqlDate(std::optional<std::int32_t> date);
std::string FormatSqlTime(std::optional<std::int32_t> seconds);

// Reads the rows from the database (the DS connection). Raises DatabaseError.
OfflineSnapshot TakeSnapshot(Instance& instance);

// The stored snapshot as it was read, for the decision and the doctor.
struct StoredSnapshot {
  bool present = false;  // a file is there
  std::uint64_t bytes = 0;
  std::optional<OfflineSnapshot> snapshot;  // none when it failed its check
};
StoredSnapshot ReadStoredSnapshot(Platform& platform);

// What a refresh did.
enum class RefreshOutcome { NotDue, Claimed, Stored, TooLarge, Failed };
const char* RefreshOutcomeName(RefreshOutcome outcome);

// After a startup that reached the database: takes and stores a new snapshot when the one
// kept is older than `refreshSeconds` (0: at every call) and no other handler is taking one.
// Contains every failure.
RefreshOutcome RefreshSnapshotIfDue(Instance& instance, std::uint32_t refreshSeconds);

}  // namespace qbnotify
