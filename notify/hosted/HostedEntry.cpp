// The hosted build's one extra export: the session host hands the library its platform
// right after loading it, before the first notification.
#include "notify/LibraryPlatform.h"

namespace {
qbnotify::Platform* g_platform = nullptr;
}

namespace qbnotify {
Platform* LibraryPlatform() { return g_platform; }
}  // namespace qbnotify

extern "C" QBNOTIFY_EXPORT void qbnotifyHostAttach(qbnotify::Platform* platform) { g_platform = platform; }
