// What the administrators' tools share: where the settings file is, the farm's connections
// opened for reading only, texts for people and scripts, and the exit statuses.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "platform/Platform.h"
#include "platform/hosted/HostedPlatform.h"
#include "store/Database.h"

namespace qbnotify::tools {

// Exit statuses of every tool.
inline constexpr int kExitGood = 0;      // admitted, or every check passed
inline constexpr int kExitProblem = 1;   // refused, or a check failed
inline constexpr int kExitUsage = 2;     // the command line cannot be used

// The install path that the library would find the settings file below. Given a settings
// file (--settings), the file is copied below a temporary install path that lives as long
// as this object, so the library's own reader takes it exactly as it would on the server.
class InstallPath {
 public:
  // Throws std::runtime_error when the settings file cannot be read.
  InstallPath(const std::string& settingsFile, const std::string& installPath);
  ~InstallPath();
  InstallPath(const InstallPath&) = delete;
  InstallPath& operator=(const InstallPath&) = delete;

  // The install path (a path of this machine, as the hosted platform reads it).
  const std::string& Path() const { return path_; }
  // The settings file the library reads below it.
  std::filesystem::path SettingsFile() const;

 private:
  std::string path_;
  std::optional<std::filesystem::path> temporary_;
};

// --credentials FILE of the tools that only read (qbnotify-report, qbnotify-explain): the
// account of a settings file of their own (DSUID, DSPSW, in the settings file's format, as
// `qbnotify-settings write` makes it), used in place of the library's account of the install's
// settings file; servers and databases still come from there. Never a password on the command
// line, where every user's process list shows it. Throws std::invalid_argument when the file
// cannot be read or names no account; a file other accounts may read is named on `warnings`.
void UseCredentials(hosted::Session& session, const std::string& credentialsFile, std::ostream& warnings);

// The install path that the library of this program's bitness finds on this system by itself:
// on Windows the registry's InstallPath in the view that library reads; none on a system
// where the tools are always told where it is.
std::optional<std::string> SystemInstallPath();

// Sends one statement that returns no rows on a connection; throws DatabaseError.
void RunStatement(Connection& connection, const std::string& sql);

// Makes the tool's own sessions read-only, so that no statement of a tool can change a
// row even by mistake: SET SESSION TRANSACTION READ ONLY on each open connection.
void MakeReadOnly(Connections& connections);

// Freezes the server's clock for this tool's connections only (SET timestamp), to a local
// time "YYYY-MM-DD HH:MM:SS". Throws DatabaseError, or std::invalid_argument for a text
// that is not such a time.
void FreezeServerClock(Connections& connections, const std::string& localTime);

// Whether a text is written "YYYY-MM-DD HH:MM:SS" with plausible fields.
bool IsLocalTimeText(std::string_view text);

// Code-page-936 bytes as UTF-8 for printing; UTF-8 arguments as code-page-936 bytes
// (std::invalid_argument when a character has none).
std::string Shown(std::string_view cp936);
std::string FromArgument(std::string_view utf8, const char* what);

// A text followed by spaces up to `width` bytes (as printf's %-Ns pads), for aligned columns;
// written to a stream, so that on every platform a line reaches the console the same way.
std::string Padded(const std::string& text, std::size_t width);

// A path given in UTF-8, whatever the system's own code page for file names.
std::filesystem::path FilePath(const std::string& utf8);

// Cuts a text for a line of aligned output: at most `width` characters, "..." marking a cut.
std::string Shortened(const std::string& utf8, std::size_t width);

}  // namespace qbnotify::tools
