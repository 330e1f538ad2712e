#include "TestSupport.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>

#include "environment/ConnectionSettings.h"

namespace qbnotify::test {

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

const std::optional<ServerInfo>& Server() {
  static const std::optional<ServerInfo> server = []() -> std::optional<ServerInfo> {
    if (Env("QB_DB_SOCKET").empty()) return std::nullopt;
    // QB_SCHEMA=minimal: the databases whose tables hold only the columns the library names.
    const bool minimal = MinimalSchema();
    if (minimal && Env("QB_DB_MIN_DS").empty()) return std::nullopt;
    const auto database = [&](const char* name) { return Env((std::string(minimal ? "QB_DB_MIN_" : "QB_DB_") + name).c_str()); };
    return ServerInfo{Env("QB_DB_HOST"), std::atoi(Env("QB_DB_PORT").c_str()), Env("QB_DB_SOCKET"),
                      Env(minimal ? "QB_DB_MIN_USER" : "QB_DB_USER"),
                      Env("QB_DB_PASSWORD"), database("DS"), database("DC"), database("LOG"), Env("QB_DB_READER"),
                      Env("QB_DB_READER_PASSWORD")};
  }();
  return server;
}

bool MinimalSchema() { return Env("QB_SCHEMA") == "minimal"; }

std::string SettingsText(const ServerInfo& server, const std::string& dsHost) {
  return "[DSConnection]\r\nDSHost=" + (dsHost.empty() ? server.host + ":" + std::to_string(server.port) : dsHost) +
         "\r\nDSUID=" + EncodeSettingValue(server.user) + "\r\nDSPSW=" + EncodeSettingValue(server.password) +
         "\r\nDSDB=" + EncodeSettingValue(server.ds) + "\r\n[DCConnection]\r\nDCDB=" + EncodeSettingValue(server.dc) +
         "\r\n[LogConnection]\r\nLogDB=" + EncodeSettingValue(server.log) + "\r\n";
}

TempDir::TempDir() {
  std::random_device random;
  path_ = std::filesystem::temp_directory_path() / ("qbnotify-test-" + std::to_string(random()));
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

// Private, as qbnotify-settings writes it: Data and CONFIG the owner's only, the file too.
void WriteSettingsFile(const std::filesystem::path& installPath, const std::string& text) {
  namespace fs = std::filesystem;
  const fs::path dir = installPath / "Data" / "CONFIG";
  fs::create_directories(dir);
  for (const fs::path& folder : {dir.parent_path(), dir}) fs::permissions(folder, fs::perms::owner_all);
  const fs::path file = dir / "TavDbCnn.dat";
  std::ofstream(file, std::ios::binary) << text;
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
}

std::optional<std::string> CannotRunAsNobody() {
  if (::geteuid() != 0) return "running commands as the user nobody needs root";
  if (std::system("command -v setpriv >/dev/null 2>&1") != 0) return "setpriv (util-linux) is missing";
  return std::nullopt;
}

int RunAsNobody(const std::string& command) {
  const std::string line =
      "setpriv --reuid=nobody --regid=nogroup --clear-groups -- sh -c '" + command + "' >/dev/null 2>&1";
  return std::system(line.c_str());
}

void SetInstallPath(hosted::Session& session, const std::string& installPath) {
  session.registry[kProductKey][kInstallPathValue] = RegistryValue{RegistryStatus::Text, installPath};
}

hosted::Session KevSession(const std::string& initialProgram) {
  hosted::Session session;
  session.remote = true;
  session.protocolType = 2;
  session.winStation = "KEV-Tcp#3";
  session.initialProgram = initialProgram;
  session.clientName = "PC-A";
  session.clientAddress = hosted::AddressRecord{2, {0, 0, 10, 0, 0, 7}};
  return session;
}

void Deliver(Handler handler, Instance& instance) {
  try {
    handler(instance);
  } catch (...) {
  }
}

std::string ChannelText(const hosted::Effect& effect) {
  const auto* write = std::get_if<hosted::ChannelWrite>(&effect);
  return write ? write->bytes : std::string();
}

}  // namespace qbnotify::test
