// The session context as the handlers use it, and the one writer of the session's event
// records.
#pragma once

#include <cstdint>
#include <string>

#include "session/SessionContext.h"

namespace qbnotify {

// Writes an event record with the session's three values (UserId, AppId, ClientName). Never
// raises: a record that cannot be written is lost on its own and stops nothing.
void WriteSessionEvent(Instance& instance, std::int32_t typeId, std::int32_t eventId, const std::string& parameter1 = {},
                       const std::string& parameter2 = {});

}  // namespace qbnotify
