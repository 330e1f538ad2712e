// The session context as the handlers use it.
#pragma once

#include <cstdint>
#include <string>

#include "session/SessionContext.h"

namespace qbnotify {

}  // namespace qbnotify
