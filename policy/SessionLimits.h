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
// Whether the decision read the application's running rows: always in the LIKE form; with the
// switch columns only when the server's count reached a limit that is not 0.
bool ApplicationRowsRead(const AppLimitsDecision& decision);

// The user's RunAppNum (table cuser): at most that many sessions of our protocol from the
// client computer. result 6 when it refuses, else 0. Never raises: a failure admits.
UserLimitDecision CheckUserSessionLimit(Instance& instance);

// The user's RunAppNum, or the failure that left it unread. `record`, when given, receives
// the statement as sent and the rows it read.
Result<std::int32_t> GetUserRunAppNum(Instance& instance, const std::string& userName, QueryStep* record = nullptr);

// Running sessions of our protocol from the client computer, or the failure that left them
// uncounted; `record` as above.
Result<std::int32_t> CountClientProtocolSessions(Instance& instance, const std::string& clientName,
                                                 QueryStep* record = nullptr);

}  // namespace qbnotify
