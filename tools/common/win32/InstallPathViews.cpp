#include "tools/common/win32/InstallPathViews.h"

#include "environment/ConnectionSettings.h"

namespace qbnotify::win32 {

InstallPathViews ReadInstallPathViews() {
  InstallPathViews views;
  views.wow64 = HasTwoRegistryViews();
  if (!views.wow64) {
    views.view64 = ReadRegistryString(HKEY_LOCAL_MACHINE, kProductKey, kInstallPathValue, KEY_QUERY_VALUE);
    views.view32 = views.view64;
    return views;
  }
  views.view64 =
      ReadRegistryString(HKEY_LOCAL_MACHINE, kProductKey, kInstallPathValue, KEY_QUERY_VALUE | KEY_WOW64_64KEY);
  views.view32 =
      ReadRegistryString(HKEY_LOCAL_MACHINE, kProductKey, kInstallPathValue, KEY_QUERY_VALUE | KEY_WOW64_32KEY);
  return views;
}

}  // namespace qbnotify::win32
