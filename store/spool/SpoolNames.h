// The names of the spool's files and the times they carry (Spool.h describes the
// directory): "<time>-<process>-<n>-<bytes>.row" for a waiting row,
// "<...>.<claimer>-<start>.claim" for a claimed one, ".idrow" and ".idclaim" for the same
// with the row's identifier in the name, and the suffixes of the files set aside.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace qbnotify::spool {

inline constexpr std::string_view kRowSuffix = ".row";
inline constexpr std::string_view kClaimSuffix = ".claim";
// A row whose identifier lives in its name only ("<base>.<identifier>.idrow", claimed
// "<base>.<identifier>.<claimer>-<start>.idclaim"). Earlier versions take every ".row" and
// every ".claim" for a row without an identifier and would draw it another one, inserting a
// row a second time when this version's insert had landed; they never look at these names.
inline constexpr std::string_view kIdentifiedRowSuffix = ".idrow";
inline constexpr std::string_view kIdentifiedClaimSuffix = ".idclaim";
inline constexpr std::string_view kBadSuffix = ".bad";
inline constexpr std::string_view kRefusedSuffix = ".refused";
inline constexpr std::string_view kTemporarySuffix = ".tmp";

bool EndsWith(std::string_view text, std::string_view suffix);
bool StartsWith(std::string_view text, std::string_view prefix);

// Eight lower-case hex digits.
std::string Hex8(std::uint32_t value);

// "YYYYMMDDhhmmss", each field forced into its width so that every name has one shape.
std::string TimeStamp(const DateTime& time);
// The time at the start of a name; nullopt when it does not start with one.
std::optional<DateTime> ParseTimeStamp(std::string_view name);

// Sixteen lower-case hex digits.
std::string Hex16(std::uint64_t value);

// "<base>.<claimer>-<start>.claim" (or ".idclaim") -> base, claimer and the claimer's start
// time (as the platform's QueryProcess gives it, 16 hex digits); nullopt for any other shape.
// Claims of earlier versions carry an 8-digit tick instead of the start time: they parse with
// no start.
struct ClaimName {
  std::string base;
  std::uint32_t claimer = 0;
  std::optional<std::uint64_t> start;
};
std::optional<ClaimName> ParseClaimName(std::string_view name);
// ".<claimer>-<start>", the part of a claim's name between its base and ".claim".
std::string ClaimTag(std::uint32_t claimer, std::uint64_t start);

// A row whose identifier was drawn in a batch carries it in its name, after the base it was
// kept under: "<time>-<process>-<n>-<bytes>.<identifier>.idrow" (and so in its claims and
// files set aside), since renames put a batch's identifiers on the disk with one wait for it
// all. The previous version named such rows ".row" and their claims ".claim"; they are still
// read, and leave under the new names. An identifier fit for a name is 1 to 10 letters
// followed by 1 to 12 digits.
bool IsNameIdentifier(std::string_view identifier);
// The identifier a base carries; nullopt when it carries none.
std::optional<std::string> IdentifierInBase(std::string_view base);
// The base of a waiting row's name (either suffix); nullopt for any other name.
std::optional<std::string> WaitingRowBase(std::string_view name);
// The name of the waiting row of a base, and of its claim by `tag` (ClaimTag): the
// identified suffixes when the base carries an identifier.
std::string RowNameOf(std::string_view base);
std::string ClaimNameOf(std::string_view base, std::string_view tag);

// The name of a new waiting row: "<time>-<process>-<n>-<bytes>.row", where <bytes> (in
// decimal) is room for the entry file whatever identifier it is given: its size without an
// identifier plus kIdentifierRoom. The limits count that room, so that the rows waiting are
// counted from their names alone. Rows kept by earlier versions have names without <bytes>.
inline constexpr std::uint64_t kIdentifierRoom = 24;
std::string WaitingRowName(const DateTime& time, std::uint32_t process, std::uint32_t n, std::uint64_t bytes);
// The <bytes> of a waiting row's name (claimed or not, an identifier in it or not); nullopt
// for a name without them.
std::optional<std::uint64_t> BytesInName(std::string_view name);

// Whether a file holds a row waiting to be written back, unclaimed (a row) or claimed.
inline bool IsUnclaimedRow(std::string_view name) {
  return EndsWith(name, kRowSuffix) || EndsWith(name, kIdentifiedRowSuffix);
}
inline bool IsClaimedRow(std::string_view name) {
  return EndsWith(name, kClaimSuffix) || EndsWith(name, kIdentifiedClaimSuffix);
}
inline bool IsWaitingRow(std::string_view name) { return IsUnclaimedRow(name) || IsClaimedRow(name); }

}  // namespace qbnotify::spool
