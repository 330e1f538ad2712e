// The session context: what startup learns about the session, kept for the later handlers,
// and the library instance that holds it with the platform and the connections.
//
// This layer sits below the handlers: the admission checks read it and answer decisions,
// and only the handlers act on those decisions (records, client messages, session end).
#pragma once

#include <optional>
#include <string>

#include "platform/Platform.h"
#include "store/Database.h"
#include "store/EventLog.h"

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
// process and delivers that session's notifications one at a time. A tool that explains a
// decision makes its own, over its own platform and connections.
struct Instance {
  explicit Instance(Platform& p) : platform(p) {}
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  Platform& platform;
  SessionContext context;
  Connections connections;
  // Whether dc_sessionload has the switch columns that its searches can use by index
  // (policy/SessionLoad.h); unknown until the first search learns it.
  std::optional<bool> sessionLoadSwitchColumns;
  // The LIKE form was taken from the state directory's note, and no search has checked the
  // table's shape since (policy/SessionLoad.h).
  bool sessionLoadFormFromNote = false;

  void Trace(std::string_view text) { platform.Trace(text); }
};

// The second stage of the context, once the database connections are open: the
// application ("/N:"), the client MAC ("/M:"), the user's identifier and the audit record.
// Reads the database only. Raises DatabaseError.
void FillSecondStage(Instance& instance);

}  // namespace qbnotify
