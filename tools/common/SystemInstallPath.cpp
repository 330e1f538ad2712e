// Where the tools find the install path by themselves, on the hosted platform: nowhere. The
// session host and the tests always say where it is (the Windows build has its own).
#include "tools/common/ToolSupport.h"

namespace qbnotify::tools {

std::optional<std::string> SystemInstallPath() { return std::nullopt; }

}  // namespace qbnotify::tools
