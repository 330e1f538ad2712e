// The duplicate-account rule: an account whose cuser row has RepeatLoginEnable = 1 may not
// run sessions from two client computers at once.
#pragma once

#include <string>

#include "session/Decisions.h"
#include "session/SessionContext.h"

namespace qbnotify {

// Whether the session's "/U:" user has the rule set (`forbidden`). Never raises: a failure
// leaves the rule unset.
RepeatLoginDecision CheckRepeatLoginSetting(Instance& instance);
// The same for a given user; the statement, its answer and any failure go to `record` when
// one is given.
bool IsRepeatLoginForbidden(Instance& instance, const std::string& userName, RepeatLoginDecision* record = nullptr);

// result 5 when the user already runs a session from a client computer of another name,
// else 0. Never raises: a failure admits.
DuplicateAccountDecision CheckDuplicateAccount(Instance& instance);
// The same for a given user and client computer; the statement, the sessions found and any
// failure go to `record` when one is given. A failure before the count admits; one after it
// keeps the answer.
bool HasSessionOnOtherClient(Instance& instance, const std::string& userName, const std::string& clientName,
                             DuplicateAccountDecision* record = nullptr);

}  // namespace qbnotify
