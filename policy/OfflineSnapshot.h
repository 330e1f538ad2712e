// The local copy of the rules that a session is decided from while the database is away
// ([Offline] Admission=cached): the applications and their policies, the policies' rules,
// every address and time group, and the users' identifiers that the records carry.
//
// It is one state file, "offline-snapshot" (store/StateDirectory.h: written whole under a
// temporary name and renamed, a CRC-32 over all of it, read as absent when anything about it
// is wrong), taken after a startup that reached the database, at most once every
// RefreshSeconds, in one consistent, read-only transaction. Of the handlers that find it due
// at once, the one that creates the claim file "offline-refresh.claim" takes it; the others
// leave it. A refresher removes only its own claim, and never replaces a snapshot taken
// after its own.
//
// Every column keeps NULL apart from 0 and the empty text (std::nullopt), so that the
// offline decision compares as the server does: a comparison with NULL never holds.
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
// A UTC clock here that is behind the refresh's by more than this (it was set back) makes
// the snapshot count as none.
inline constexpr long long kClockBehindSeconds = 5 * 60;
// A claim older than this is left over by a handler that ended while refreshing.
inline constexpr std::uint64_t kStaleRefreshClaimSeconds = 120;

using SnapshotText = std::optional<std::string>;   // nullopt: NULL
using SnapshotNumber = std::optional<std::int32_t>;

struct SnapshotApplication {
  SnapshotText appId;
  SnapshotText name;
  SnapshotText policyId;
};

struct SnapshotRule {
  SnapshotText secPid;
  SnapshotNumber sortId;
  SnapshotText clientName;
  SnapshotText mac;
  SnapshotNumber clientProtocol;
  SnapshotText addressGroupId;
  SnapshotText timeId;
  SnapshotNumber action;  // NULL reads as 0 where the rule query's reader takes it
};

struct SnapshotAddressGroup {
  SnapshotText addressId;
  SnapshotText addressType;
  SnapshotText ip1;
  SnapshotText ip2;
};

struct SnapshotTimeGroup {
  SnapshotText timeId;
  SnapshotNumber dayType;
  SnapshotText dayFlags;
  SnapshotNumber startDay;  // YYYYMMDD; 0 for the zero date; nullopt for NULL
  SnapshotNumber endDay;
  SnapshotNumber startTime;  // seconds, signed (TIME may pass 24 h or be negative)
  SnapshotNumber endTime;
};

struct SnapshotUser {
  SnapshotText name;
  SnapshotText userId;
};

// The farm a snapshot came from: the DS database's name and the set of its servers (a hash
// of the servers of DSHost, in any order).
struct SnapshotFarm {
  std::string database;
  std::string servers;  // 16 hexadecimal digits
  bool operator==(const SnapshotFarm&) const = default;
};
// The farm that the settings name now.
SnapshotFarm CurrentFarm(Platform& platform);
// The hash of a DSHost value's servers: the same for the same servers in any order.
std::string ServerSetHash(const std::string& dsHost);

struct OfflineSnapshot {
  DateTime serverTime;  // the database server's local time when it was taken (its NOW())
  DateTime serverUtc;   // and its UTC time (its UTC_TIMESTAMP()): which of two is newer
  DateTime takenUtc;    // this machine's UTC time then
  SnapshotFarm farm;
  std::vector<SnapshotApplication> applications;
  std::vector<SnapshotRule> rules;  // by SecPID, SortID, as the server gives them
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

// Reads the rows from the database (the DS connection), in one consistent, read-only
// transaction, naming only the columns that the rule query and the lookups name. Raises
// DatabaseError.
OfflineSnapshot TakeSnapshot(Instance& instance);

// The stored snapshot as it was read, for the decision and the doctor.
struct StoredSnapshot {
  bool present = false;  // a file is there
  std::uint64_t bytes = 0;
  std::optional<OfflineSnapshot> snapshot;  // none when it failed its check
};
StoredSnapshot ReadStoredSnapshot(Platform& platform);

// What a refresh did.
enum class RefreshOutcome { NotDue, Claimed, Stored, TooLarge, Failed, Superseded };
const char* RefreshOutcomeName(RefreshOutcome outcome);

// After a startup that reached the database: takes and stores a new snapshot when the one
// kept is older than `refreshSeconds` (0: at every call), is not of the farm the settings
// name or cannot be read, and no other handler is taking one. Contains every failure. Each
// refresh that took the rows, or tried to, leaves its outcome in the refresh record beside the
// snapshot (policy/SnapshotRefresh.h), read by the doctor.
RefreshOutcome RefreshSnapshotIfDue(Instance& instance, std::uint32_t refreshSeconds);

}  // namespace qbnotify
