// Where the exported handlers find their platform. Each build supplies this one function:
// the Windows build its Win32 platform, the hosted build the platform that its host hands
// over when it loads the library.
#pragma once

#include "platform/Platform.h"

namespace qbnotify {

// The platform of this loaded library, or nullptr when none has been handed over yet.
Platform* LibraryPlatform();

}  // namespace qbnotify
