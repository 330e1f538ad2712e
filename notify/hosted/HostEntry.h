// The hosted library's hosting entry point, as the session host looks it up.
#pragma once

namespace qbnotify {
class Platform;
}

inline constexpr const char* kHostAttachSymbol = "qbnotifyHostAttach";
using HostAttachFunction = void (*)(qbnotify::Platform*);
