// The six notification handlers, the startup admission sequence and the window restore.
//
// Every handler first passes the session gate: the session must be remote and its protocol
// label "TAV KEV"; every other session is left untouched. winLogon, winStartShell,
// winDisconnect and winReconnect contain every failure of their bodies; winStartup and
// winLogoff stop at a failing step and let the failure leave (the exported entry points
// swallow it, so that the logon process never sees one).
#pragma once

#include <cstdint>

#include "notify/SessionContext.h"
#include "policy/Startup.h"
#include "session/Decisions.h"

namespace qbnotify {

void HandleStartup(Instance& instance);
void HandleLogon(Instance& instance);
void HandleStartShell(Instance& instance);
void HandleDisconnect(Instance& instance);
void HandleReconnect(Instance& instance);
void HandleLogoff(Instance& instance);

// Hides and shows again every visible top-level window without a parent, then stops the
// reconnect timer.
void RestoreWindows(Instance& instance);

}  // namespace qbnotify
