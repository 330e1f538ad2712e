// Helpers shared by the tests: temporary install directories with settings files, and
// hosted sessions of our protocol.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "notify/QBNotifyMain.h"
#include "platform/hosted/HostedPlatform.h"

namespace qbnotify::test {

// A temporary directory, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Writes <installPath>/Data/CONFIG/TavDbCnn.dat with the given text.
void WriteSettingsFile(const std::filesystem::path& installPath, const std::string& text);

// Runs a shell command as the unprivileged account nobody (setpriv): its exit status. Empty
// with the reason when this process cannot (not root, or setpriv missing): the caller skips.
std::optional<std::string> CannotRunAsNobody();
int RunAsNobody(const std::string& command);

// Points the session's registry at an install path.
void SetInstallPath(hosted::Session& session, const std::string& installPath);

// A remote session of our protocol with a well-formed initial program.
hosted::Session KevSession(const std::string& initialProgram =
                               "\"C:\\TAV\\kevshell.exe\" /N:APP00000012 /U:alice /M:00-11-22-33-44-55 /E:S0001");

// The private MariaDB server that scripts/test and scripts/bench start, read from the
// environment they export (QB_DB_*): nullopt when no server was started for this run.
struct ServerInfo {
  std::string host;
  int port = 0;
  std::string socket;
  std::string user;      // the library's account (role qbnotify_library)
  std::string password;
  std::string ds, dc, log;
  std::string reader;    // the tools' reading account (role qbnotify_reader)
  std::string readerPassword;
};
const std::optional<ServerInfo>& Server();
// Whether the tests run on the minimal schema (QB_SCHEMA=minimal): tables with only the
// columns the library names, and no keys.
bool MinimalSchema();
// `sql` on the schema of db/*.sql, nothing on the minimal one (which has no keys to drop or
// add back).
inline std::string OnKeyedSchema(const std::string& sql) { return MinimalSchema() ? std::string() : sql; }

// The settings file's text for the private server, with the given DSHost value (the
// server's own host:port by default).
std::string SettingsText(const ServerInfo& server, const std::string& dsHost = {});

// The six handlers with the names of their events.
using Handler = void (*)(Instance&);
struct NamedHandler {
  const char* name;
  Handler handler;
};
inline constexpr NamedHandler kHandlers[] = {
    {"startup", HandleStartup},       {"logon", HandleLogon},         {"startshell", HandleStartShell},
    {"disconnect", HandleDisconnect}, {"reconnect", HandleReconnect}, {"logoff", HandleLogoff},
};

// Runs a handler the way the exported entry points do: nothing leaves it.
void Deliver(Handler handler, Instance& instance);

// Text of a channel write, when the effect is one.
std::string ChannelText(const hosted::Effect& effect);

}  // namespace qbnotify::test
