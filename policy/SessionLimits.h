// Application and user session limits, counted in the session-load table dc_sessionload.
#pragma once

#include <cstdint>
#include <string>

#include "session/Decisions.h"
#include "session/SessionContext.h"

namespace qbnotify {

// The checks read the session's application, user and client computer from the context
// that startup filled.
//
// The application's limits (table application): at most app_session_count running
// sessions of the application (0: no limit; a negative limit refuses every session), and
// with each_user_one_session = 1 at most one per user. `admits` tells whether they admit
// the session. Raises DatabaseError.
AppLimitsDecision CheckAppSessionLimits(Instance& instance);

// The user's RunAppNum (table cuser): at most that many sessions of our protocol from the
// client computer. result 6 when it refuses, else 0. Never raises: a failure admits.
UserLimitDecision CheckUserSessionLimit(Instance& instance);

// The user's RunAppNum; 0 when it cannot be read.
std::int32_t GetUserRunAppNum(Instance& instance, const std::string& userName);

// Running sessions of our protocol from the client computer; 0 when they cannot be counted.
std::int32_t CountClientProtocolSessions(Instance& instance, const std::string& clientName);

}  // namespace qbnotify
