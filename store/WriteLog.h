// The library's records: identifiers, the event log and the application audit, and the two
// lookups that fill the audit record at startup.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Platform.h"
#include "store/Database.h"

namespace qbnotify {

// Identifier heads.
inline constexpr const char* kHeadEvent = "Log";
inline constexpr const char* kHeadAudit = "lap";
// The number of a head's first identifier, when it has no counter row yet.
inline constexpr std::int32_t kFirstIdentifierNumber = 1;

// The session's record of application use, stored as rows of appshenji. Each text keeps at
// most the bytes its column takes (a double-byte character may be cut in two at the limit).
struct AuditRecord {
  static constexpr std::size_t kSessionIdBytes = 11;
  static constexpr std::size_t kFarmUserBytes = 255;
  static constexpr std::size_t kAppIdBytes = 11;
  static constexpr std::size_t kAppShowNameBytes = 255;
  static constexpr std::size_t kClientMacBytes = 50;

  std::string sessionid;
  std::string farmuser;
  std::string appid;
  std::string appshowname;
  std::string clientmac;
  DateTime starttime;
  DateTime stoptime;  // zero until a disconnect or logoff
};

// The first `capacity` bytes of a text.
std::string FirstBytes(const std::string& text, std::size_t capacity);

// The head followed by the number, zero-padded to (11 - length of the head) digits; a
// longer number is written in full: ("Log", 124) -> "Log00000124",
// ("Log", 100000000) -> "Log100000000".
std::string FormatIdentifier(const std::string& head, std::int32_t number);

// Draws the next identifier of a head from the counter table GloabolInc, on a statement of
// the DS connection that the caller owns (it is left closed). One autocommitted UPDATE
// advances the counter and hands the number back; two sessions never receive the same
// identifier, on one server or across a cluster's nodes. A first draw creates the head's row
// (number 1). Conflicts (deadlock, lock-wait time-out, a cluster node not ready, a race to
// create the row) are tried again for at most 2 s; a connection lost before the answer is
// tried once more on a new connection (a number may then be skipped, never given twice).
// A stored identifier whose tail (after the head's length) is not a number, a NULL one, or
// one whose next number would not fit 32 bits raises DatabaseError and changes nothing; so
// does any other failure of the server. Two counter rows of one head (a table without a key
// on Head): the first row decides and both receive the new identifier.
std::string NextIdentifier(Statement& statement, const std::string& head);

// Writes one row of the event log on the Log connection, under an identifier drawn on DS.
// When the server cannot be reached or stops answering, the row is kept in the local spool
// with the time of its event (and its identifier, if one was drawn) and written back later;
// that counts as written. Raises DatabaseError when the row is lost: the server refused it
// for its content (it is counted with the spool), or the spool could not keep it.
void WriteEvent(Platform& platform, Connections& connections, std::int32_t typeId, std::int32_t sourceId,
                std::int32_t eventId, const std::string& userId, const std::string& appId,
                const std::string& computerName, const std::string& parameter1, const std::string& parameter2);

// Inserts the audit record as a new row of appshenji under a new "lap" identifier, which
// replaces `auditRowId` as soon as it is drawn; kept in the spool as an event row is.
// Contains every failure.
void WriteAudit(Platform& platform, Connections& connections, std::string& auditRowId, const AuditRecord& record);

// The User_ID of the user named by the session's "/U:" switch; empty when there is none.
// Raises DatabaseError.
std::string LookupUserId(Platform& platform, Connections& connections);

// The display name of an application; empty when it has no row or no name. Raises
// DatabaseError.
std::string LookupAppShowName(Connections& connections, const std::string& appId);

}  // namespace qbnotify
