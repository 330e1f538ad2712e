// Who may read the settings file: the settings tool writes it so that only the system and the
// administrators can (Windows; its owner on other systems), and narrows an existing install.
#pragma once

#include <ostream>
#include <string>

namespace qbnotify::tools {

// Writes `text` as the settings file `path` (UTF-8), whole and durably, creating it private:
// on Windows an explicit access list (the system and the administrators, protected from what
// the folder passes on), elsewhere owner-only. A file that was open to others is replaced by
// a private one. Folders named "Data" or "CONFIG" that the file's path needs are made private
// as well. Throws std::runtime_error when the file cannot be written or made private.
void WritePrivateSettingsFile(const std::string& path, const std::string& text);

// Narrows an install whose settings file is `installPath`\Data\CONFIG\TavDbCnn.dat (UTF-8):
// the file, Data, Data\CONFIG, Data\State and Data\Spool, each through a handle that never
// follows a link. Then says, for each, whether another account could still reach it through a
// folder above (which protect does not change). One line each on `out`; the number of
// problems left.
int ProtectInstall(const std::string& installPath, std::ostream& out);

}  // namespace qbnotify::tools
