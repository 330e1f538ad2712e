// Where the tools find the install path on Windows: the registry's InstallPath, read with
// query access only, in the view that a QBNotify.dll of this program's bitness reads.
#include "tools/common/win32/InstallPathViews.h"
#include "tools/common/ToolSupport.h"

namespace qbnotify::tools {

std::optional<std::string> SystemInstallPath() {
  const win32::InstallPathViews views = win32::ReadInstallPathViews();
  const RegistryValue& value = win32::ViewOfDll(views, sizeof(void*) == 8);
  if (value.status != RegistryStatus::Text) return std::nullopt;
  return value.text;
}

}  // namespace qbnotify::tools
