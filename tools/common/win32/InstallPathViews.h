// The product's InstallPath in both registry views, as a tool of either bitness sees them.
// QBNotify.dll reads the view of its own bitness, so a value written only by a 32-bit
// installer is not seen by the 64-bit DLL.
#pragma once

#include "platform/win32/RegistryViews.h"

namespace qbnotify::win32 {

struct InstallPathViews {
  bool wow64 = false;   // this Windows has two views (x64 edition)
  RegistryValue view64; // the 64-bit view (the only one on 32-bit Windows: see below)
  RegistryValue view32; // the 32-bit view; on 32-bit Windows the same as view64
};

// Reads HKLM\<product key>\InstallPath in each view with read access only.
InstallPathViews ReadInstallPathViews();

// The view a QBNotify.dll of the given bitness reads.
inline const RegistryValue& ViewOfDll(const InstallPathViews& views, bool dll64) {
  return dll64 ? views.view64 : views.view32;
}

}  // namespace qbnotify::win32
