// Registry values as a given view of the registry holds them. On x64 editions the registry
// has a 64-bit and a 32-bit view (Wow6432Node): a process reads the view of its own bitness
// unless it asks for the other one.
#pragma once

#include "platform/Platform.h"
#include "platform/win32/WindowsApi.h"

namespace qbnotify::win32 {

// The string value `valueName` of `keyPath` under `root`, the key opened with `access`
// (which may carry KEY_WOW64_64KEY or KEY_WOW64_32KEY to choose a view).
RegistryValue ReadRegistryString(HKEY root, const char* keyPath, const char* valueName, REGSAM access);

// Whether this system has a 32-bit and a 64-bit registry view (an x64 edition, seen from a
// process of either bitness).
bool HasTwoRegistryViews();

}  // namespace qbnotify::win32
