// The Windows DLL's platform. It is made at the first notification and lives as long as the
// logon process; the library defines no DllMain of its own, so loading and unloading run
// none of its code.
#include "notify/LibraryPlatform.h"
#include "platform/win32/Win32Platform.h"

namespace qbnotify {

Platform* LibraryPlatform() {
  static win32::Win32Platform platform;
  return &platform;
}

}  // namespace qbnotify
