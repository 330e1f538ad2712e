// qbnotify-settings: writes or shows a connection-settings file, so that nobody codes the
// Base64 values by hand.
//
//   qbnotify-settings write FILE --host 127.0.0.1:3306 --user qb --password pw
//                            --ds-db qbds --dc-db qbdc --log-db qblog
//                            [--server-connect-seconds 3]
//                            [--tls verify --tls-ca-file /etc/qbnotify/ca.pem]
//                            [--offline-admission cached --offline-refresh-seconds 300
//                             --offline-max-age-hours 24]
//   qbnotify-settings show FILE
//   qbnotify-settings protect FILE
//
// --host takes one server or several separated by commas ("db1:3306,db2:3306,[::1]:3306"),
// in the order of preference. Writing an existing file changes only the keys given and keeps
// every other section, key and line as it was; a new file needs every connection value. The
// file is written private (tools/qbnotify-settings/SettingsAccess.h); protect narrows an
// existing install the same way.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>

#include "environment/ConnectionSettings.h"
#include "environment/TlsSettings.h"
#include "policy/Offline.h"
#include "store/ServerList.h"
#include "tools/qbnotify-settings/IniEdit.h"
#include "tools/qbnotify-settings/SettingsAccess.h"
#include "platform/hosted/CodePage.h"
#include "platform/hosted/HostedPlatform.h"

namespace {

using namespace qbnotify;

struct Setting {
  const char* section;
  const char* key;
  const char* label;
};

constexpr Setting kSettings[] = {
    {"DSConnection", "DSHost", "servers (host:port, in order of preference)"},
    {"DSConnection", "DSUID", "user"},
    {"DSConnection", "DSPSW", "password"},
    {"DSConnection", "DSDB", "DS database"},
    {"DCConnection", "DCDB", "DC database"},
    {"LogConnection", "LogDB", "Log database"},
};

// A path given in UTF-8, whatever the system's own code page for file names.
std::filesystem::path FilePath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// File names compare without regard to ASCII letter case on Windows, exactly elsewhere.
bool SameName(const std::string& a, const std::string& b) {
#ifdef _WIN32
  const auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return fold(x) == fold(y); });
#else
  return a == b;
#endif
}

struct WriteValues {
  std::optional<std::string> host, user, password, ds, dc, log;
  std::optional<unsigned> serverConnectSeconds;
  std::optional<std::string> tls, tlsCaFile;
  std::optional<std::string> admission, refreshSeconds, maxAgeHours;
  bool newOnly = false;  // an existing file is kept as it is; a new one may lack the password
};

int Write(const std::string& path, const WriteValues& v) {
  const auto coded = [](const std::string& utf8, const char* what) {
    std::optional<std::string> bytes = hosted::Utf8ToCp936(utf8);
    if (!bytes) throw std::runtime_error(std::string("the ") + what + " holds a character that code page 936 lacks");
    return EncodeSettingValue(*bytes);
  };
  if (v.host) {
    std::vector<std::string> rejected;
    const std::vector<ListedServer> servers = ParseServerList(*v.host, &rejected);
    if (v.host->find(':') == std::string::npos || servers.empty() || !rejected.empty())
      throw std::runtime_error("--host must be written host:port, e.g. 127.0.0.1:3306, or several separated by commas" +
                               (rejected.empty() ? std::string() : " (not usable: '" + rejected.front() + "')"));
  }
  const std::filesystem::path file = FilePath(path);
  if (v.newOnly && std::filesystem::exists(file)) {
    std::cout << "kept " << path << " as it is: it exists\n";
    return 0;
  }
  std::string existing;
  if (std::filesystem::exists(file)) {
    std::ifstream in(file, std::ios::binary);
    existing.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) throw std::runtime_error("cannot read " + path);
  } else if (!v.host || !v.user || (!v.password && !v.newOnly) || !v.ds || !v.dc || !v.log) {
    throw std::runtime_error("a new settings file needs --host, --user, --password, --ds-db, --dc-db and --log-db");
  }
  std::vector<tools::IniValue> values;
  if (v.host) values.push_back({"DSConnection", "DSHost", *v.host});
  if (v.serverConnectSeconds)
    values.push_back({"DSConnection", kServerConnectSecondsKey, std::to_string(*v.serverConnectSeconds)});
  // Plain text, as ServerConnectSeconds is; the path in the code page of the file names.
  if (v.tls) values.push_back({"DSConnection", kTlsKey, *v.tls});
  if (v.tlsCaFile) {
    std::optional<std::string> bytes = hosted::Utf8ToCp936(*v.tlsCaFile);
    if (!bytes) throw std::runtime_error("the CA file's path holds a character that code page 936 lacks");
    values.push_back({"DSConnection", kTlsCaFileKey, *bytes});
  }
  if (v.user) values.push_back({"DSConnection", "DSUID", coded(*v.user, "user")});
  if (v.password) values.push_back({"DSConnection", "DSPSW", coded(*v.password, "password")});
  if (v.ds) values.push_back({"DSConnection", "DSDB", coded(*v.ds, "DS database")});
  if (v.dc) values.push_back({"DCConnection", "DCDB", coded(*v.dc, "DC database")});
  if (v.log) values.push_back({"LogConnection", "LogDB", coded(*v.log, "Log database")});
  // [Offline] is plain text, as [Spool] is.
  if (v.admission) values.push_back({kOfflineSection, "Admission", *v.admission});
  if (v.refreshSeconds) values.push_back({kOfflineSection, "RefreshSeconds", *v.refreshSeconds});
  if (v.maxAgeHours) values.push_back({kOfflineSection, "MaxAgeHours", *v.maxAgeHours});
  tools::WritePrivateSettingsFile(path, tools::SetIniValues(existing, values));
  return 0;
}

// The install path of a settings file "<install path>/Data/CONFIG/TavDbCnn.dat". The generic
// form has forward slashes on Windows too.
std::string InstallOf(const std::string& path) {
  if (!std::filesystem::exists(FilePath(path))) throw std::runtime_error("no such file: " + path);
  const std::string suffix = "/Data/CONFIG/TavDbCnn.dat";
  const std::string absolute = std::filesystem::absolute(FilePath(path)).generic_string();
  if (absolute.size() < suffix.size() || !SameName(absolute.substr(absolute.size() - suffix.size()), suffix))
    throw std::runtime_error("the settings file must be <install path>" + suffix);
  return absolute.substr(0, absolute.size() - suffix.size());
}

int Show(const std::string& path) {
  // Read through the same reader the library uses, from a registry that points at the file.
  hosted::Session session;
  session.registry[kProductKey][kInstallPathValue] = RegistryValue{RegistryStatus::Text, InstallOf(path)};
  hosted::HostedPlatform platform(std::move(session));
  for (const Setting& setting : kSettings) {
    const std::string value = ReadConnectionSetting(platform, setting.section, setting.key);
    std::cout << setting.section << '.' << setting.key << " (" << setting.label << "): "
              << (std::string(setting.key) == "DSPSW" ? std::string(value.size(), '*') : hosted::Cp936ToUtf8(value))
              << '\n';
  }
  std::vector<std::string> rejected;
  const std::vector<ListedServer> servers =
      ParseServerList(ReadConnectionSetting(platform, "DSConnection", "DSHost"), &rejected);
  for (std::size_t i = 0; i < servers.size(); ++i)
    std::cout << "  server " << i + 1 << ": " << hosted::Cp936ToUtf8(servers[i].entry) << '\n';
  for (const std::string& entry : rejected) std::cout << "  not usable: '" << hosted::Cp936ToUtf8(entry) << "'\n";
  std::cout << "DSConnection." << kServerConnectSecondsKey << " (connect time-out of each listed server, s): "
            << ReadServerConnectSeconds(platform) << (servers.size() >= 2 ? "" : " (not used: one server)") << '\n';
  const TlsSettings tls = ReadTlsSettings(platform);
  std::cout << "DSConnection." << kTlsKey << " (encryption of the three connections): "
            << (tls.modeText.empty() ? "(not set)" : hosted::Cp936ToUtf8(tls.modeText)) << " -> " << TlsModeName(tls.mode)
            << (tls.modeKnown ? "" : " (not a known value: counts as verify)") << '\n'
            << "DSConnection." << kTlsCaFileKey << " (certificate authority that verify trusts): "
            << (tls.caFile.empty() ? "(not set)" : hosted::Cp936ToUtf8(tls.caFile))
            << (tls.mode == TlsMode::Verify && tls.caFile.empty() ? " (verify needs it: no connection is made)" : "")
            << '\n';
  const OfflineSettings offline = ReadOfflineSettings(platform);
  std::cout << "Offline.Admission (while the database is away): "
            << (offline.admissionText.empty() ? "(not set)" : hosted::Cp936ToUtf8(offline.admissionText)) << " -> "
            << OfflineModeName(offline.mode) << (offline.admissionKnown ? "" : " (not a known value: counts as closed)")
            << "\nOffline.RefreshSeconds: " << offline.refreshSeconds << "\nOffline.MaxAgeHours: " << offline.maxAgeHours
            << '\n';
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Writes or shows the connection-settings file <install path>/Data/CONFIG/TavDbCnn.dat."};
  app.require_subcommand(1);
  std::string path;
  WriteValues values;

  CLI::App* write = app.add_subcommand(
      "write", "write a settings file (values in UTF-8); an existing file keeps every key not given");
  write->add_option("file", path, "settings file to write")->required();
  write->add_option("--host", values.host,
                    "MySQL server as host:port, or several separated by commas, in order of preference");
  write->add_option("--user", values.user, "account name");
  write->add_option("--password", values.password, "account password");
  write->add_option("--ds-db", values.ds, "database of the DS connection");
  write->add_option("--dc-db", values.dc, "database of the DC connection");
  write->add_option("--log-db", values.log, "database of the Log connection");
  write->add_option("--server-connect-seconds", values.serverConnectSeconds,
                    "connect time-out of each listed server, 1 to 30 s (default 3)")
      ->check(CLI::Range(1u, kMaxServerConnectSeconds));
  write->add_option("--tls", values.tls,
                    "encryption of the connections: off, required (encrypted or none) or verify (also the "
                    "server's certificate and host name, against --tls-ca-file)")
      ->check(CLI::IsMember({"off", "required", "verify"}));
  write->add_option("--tls-ca-file", values.tlsCaFile, "certificate authority (PEM) that --tls verify trusts");
  write->add_option("--offline-admission", values.admission, "while the database is away: open, closed or cached")
      ->check(CLI::IsMember({"open", "closed", "cached"}));
  write->add_option("--offline-refresh-seconds", values.refreshSeconds, "how often the snapshot is taken at most (0: always)")
      ->check(CLI::Range(0, 7 * 24 * 3600));
  write->add_option("--offline-max-age-hours", values.maxAgeHours, "age past which the snapshot counts as none")
      ->check(CLI::Range(0, 10 * 366 * 24));
  write->add_flag("--new-only", values.newOnly,
                  "leave an existing file as it is; a new file may be written without --password (the installer "
                  "package's way: the password is set afterwards)");

  CLI::App* show = app.add_subcommand("show", "show what the library reads from a settings file (password masked)");
  show->add_option("file", path, "settings file to read")->required();

  CLI::App* protect = app.add_subcommand(
      "protect", "narrow an install to the system and the administrators: the settings file, Data, Data/CONFIG, "
                 "Data/State and Data/Spool");
  protect->add_option("file", path, "the install's settings file (<install path>/Data/CONFIG/TavDbCnn.dat)")->required();

  CLI11_PARSE(app, argc, argv);
  try {
    if (write->parsed()) return Write(path, values);
    if (protect->parsed()) return tools::ProtectInstall(InstallOf(path), std::cout) == 0 ? 0 : 1;
    return Show(path);
  } catch (const std::exception& error) {
    std::cerr << "qbnotify-settings: " << error.what() << '\n';
    return 1;
  }
}
