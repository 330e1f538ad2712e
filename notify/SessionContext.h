// The session context: what startup learns about the session, kept for the later handlers,
// and the library instance that holds it with the platform and the connections.
#pragma once

#include <string>

#include "platform/Platform.h"
#include "store/Database.h"
#include "store/WriteLog.h"

namespace qbnotify {

struct SessionContext {
  std::string WinStationName;  // first stage, also for sessions of other protocols
  std::string InitialProgram;
  std::string ClientName;
  std::string AppId;  // second stage, once the database connections are open
  std::string ClientMac;
  std::string UserId;
  AuditRecord Audit;
  std::string AuditRowId;
  TimerId ReconnectTimer = 0;
};

// One per loaded library: Winlogon loads the library once into each session's logon
// process and delivers that session's notifications one at a time.
struct Instance {
  explicit Instance(Platform& p) : platform(p) {}
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  Platform& platform;
  SessionContext context;
  Connections connections;

  void Trace(std::string_view text) { platform.Trace(text); }
};

// Writes an event record with the session's three values (UserId, AppId, ClientName). Never
// raises: a record that cannot be written is lost on its own and stops nothing.
void WriteSessionEvent(Instance& instance, std::int32_t typeId, std::int32_t eventId, const std::string& parameter1 = {});

}  // namespace qbnotify
