#include "tools/common/ToolSupport.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <stdexcept>

#include "environment/ConnectionSettings.h"
#include "platform/hosted/CodePage.h"

namespace qbnotify::tools {

InstallPath::InstallPath(const std::string& settingsFile, const std::string& installPath) : path_(installPath) {
  if (settingsFile.empty()) return;
  std::ifstream in(FilePath(settingsFile), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read the settings file " + settingsFile);
  std::random_device random;
  temporary_ = std::filesystem::temp_directory_path() / ("qbnotify-tool-" + std::to_string(random()));
  // The copy holds a password: its folder is this user's alone before anything is put there.
  if (!std::filesystem::create_directory(*temporary_))
    throw std::runtime_error("cannot create a private folder for the settings file");
  std::filesystem::permissions(*temporary_, std::filesystem::perms::owner_all, std::filesystem::perm_options::replace);
  const std::filesystem::path config = *temporary_ / "Data" / "CONFIG";
  std::filesystem::create_directories(config);
  std::ofstream out(config / "TavDbCnn.dat", std::ios::binary);
  out << in.rdbuf();
  if (!out) throw std::runtime_error("cannot copy the settings file " + settingsFile);
  path_ = temporary_->string();
}

InstallPath::~InstallPath() {
  if (!temporary_) return;
  std::error_code ignored;
  std::filesystem::remove_all(*temporary_, ignored);
}

std::filesystem::path InstallPath::SettingsFile() const {
  return std::filesystem::path(path_) / "Data" / "CONFIG" / "TavDbCnn.dat";
}

void UseCredentials(hosted::Session& session, const std::string& credentialsFile, std::ostream& warnings) {
  const std::filesystem::path path = FilePath(credentialsFile);
  if (!std::ifstream(path, std::ios::binary)) throw std::invalid_argument("cannot read the credentials file " + credentialsFile);
  // Read as the library reads its settings file: the values as stored (Base64 and "#").
  hosted::HostedPlatform reader{hosted::Session{}};
  const std::string file = path.string();
  std::map<std::string, std::string>& account = session.profileOverrides["DSConnection"];
  for (const char* key : {"DSUID", "DSPSW"}) account[key] = reader.ReadProfileString("DSConnection", key, "", file, 1024);
  if (account["DSUID"].empty()) throw std::invalid_argument("the credentials file " + credentialsFile + " names no DSUID");
#ifndef _WIN32
  using std::filesystem::perms;
  const perms mode = std::filesystem::status(path).permissions();
  if ((mode & (perms::group_all | perms::others_all)) != perms::none)
    warnings << "warning: other accounts may read or change the credentials file " << credentialsFile
             << " (make it readable by its owner only: chmod 600)\n";
#else
  (void)warnings;
#endif
}

void RunStatement(Connection& connection, const std::string& sql) { connection.Query(sql); }

void MakeReadOnly(Connections& connections) {
  for (Connection* connection : {connections.DS.get(), connections.DC.get(), connections.Log.get()})
    if (connection) {
      // Kept for every later connect too (a server left for the next listed one).
      connection->afterConnect.push_back("SET SESSION TRANSACTION READ ONLY");
      if (connection->IsOpen()) RunStatement(*connection, "SET SESSION TRANSACTION READ ONLY");
    }
}

bool IsLocalTimeText(std::string_view text) {
  int year, month, day, hour, minute, second;
  char tail;
  const std::string copy(text);
  return text.size() == 19 &&
         std::sscanf(copy.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &year, &month, &day, &hour, &minute, &second, &tail) == 6 &&
         year >= 1970 && month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour <= 23 && minute <= 59 &&
         second <= 59;
}

void FreezeServerClock(Connections& connections, const std::string& localTime) {
  if (!IsLocalTimeText(localTime)) throw std::invalid_argument("not a time written YYYY-MM-DD HH:MM:SS: " + localTime);
  for (Connection* connection : {connections.DS.get(), connections.DC.get()}) {
    if (!connection) continue;
    Statement statement(connection);
    statement.SetSql("SET timestamp = UNIX_TIMESTAMP(:at)");
    statement.BindText("at", localTime);
    statement.Execute();
    // A time the server cannot place (before its epoch, or a day that does not exist) leaves
    // UNIX_TIMESTAMP NULL or 0, and the clock would silently stay real.
    statement.SetSql("SELECT NOW() = :at");
    statement.BindText("at", localTime);
    statement.Open();
    if (statement.ColumnInteger(std::size_t{0}) != 1)
      throw std::invalid_argument("the server cannot set its clock to " + localTime);
    // The text is checked above: a connection made later (on another server) sets it too.
    connection->afterConnect.push_back("SET timestamp = UNIX_TIMESTAMP('" + localTime + "')");
  }
}

std::string Shown(std::string_view cp936) { return hosted::Cp936ToUtf8(cp936); }

std::string FromArgument(std::string_view utf8, const char* what) {
  std::optional<std::string> bytes = hosted::Utf8ToCp936(utf8);
  if (!bytes) throw std::invalid_argument(std::string(what) + " holds a character that code page 936 lacks");
  return *bytes;
}

std::string Padded(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::filesystem::path FilePath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Shortened(const std::string& utf8, std::size_t width) {
  // Characters, not bytes: a UTF-8 continuation byte starts with the bits 10.
  const auto starts = [&](std::size_t i) { return (static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80; };
  std::size_t characters = 0;
  for (std::size_t i = 0; i < utf8.size(); ++i) characters += starts(i) ? 1 : 0;
  if (characters <= width || width < 4) return utf8;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    if (starts(i) && kept++ == width - 3) return utf8.substr(0, i) + "...";
  }
  return utf8;
}

}  // namespace qbnotify::tools
