// The library's records: the event log and the application audit, and the two lookups that
// fill the audit record at startup.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Platform.h"
#include "store/Database.h"
#include "store/Rows.h"

namespace qbnotify {

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
