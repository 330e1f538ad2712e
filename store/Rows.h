// The rows that the library records: a row of the event log and a row of the application
// audit, as they are written, kept in the spool and written back.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "platform/Platform.h"

namespace qbnotify {

// The heads of the rows' identifiers: event-log rows and audit rows.
inline constexpr const char* kHeadEvent = "Log";
inline constexpr const char* kHeadAudit = "lap";

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
inline std::string FirstBytes(const std::string& text, std::size_t capacity) { return text.substr(0, capacity); }

// One row of table log, with the event's own time.
struct EventRow {
  std::string id;  // empty until an identifier is drawn for it
  DateTime time;
  std::int32_t typeId = 0;
  std::int32_t sourceId = 0;
  std::string userId;
  std::string appId;
  std::string computerName;
  std::int32_t eventId = 0;
  std::string parameter1;
  std::string parameter2;

  friend bool operator==(const EventRow&, const EventRow&) = default;
};

// One row of table appshenji.
struct AuditRow {
  std::string logid;  // empty until an identifier is drawn for it
  AuditRecord record;

  friend bool operator==(const AuditRow& a, const AuditRow& b) {
    const AuditRecord& x = a.record;
    const AuditRecord& y = b.record;
    return a.logid == b.logid && x.sessionid == y.sessionid && x.farmuser == y.farmuser && x.appid == y.appid &&
           x.appshowname == y.appshowname && x.clientmac == y.clientmac && x.starttime == y.starttime &&
           x.stoptime == y.stoptime;
  }
};

using SpooledRow = std::variant<EventRow, AuditRow>;

}  // namespace qbnotify
