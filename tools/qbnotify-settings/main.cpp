// qbnotify-settings: writes or shows a connection-settings file, so that nobody codes the
// Base64 values by hand.
//
//   qbnotify-settings write FILE --host 127.0.0.1:3306 --user qb --password pw
//                            --ds-db qbds --dc-db qbdc --log-db qblog
//   qbnotify-settings show FILE
#include <CLI/CLI.hpp>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "environment/ConnectionSettings.h"
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
    {"DSConnection", "DSHost", "server (host:port)"},
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

int Write(const std::string& path, const std::string& host, const std::string& user, const std::string& password,
          const std::string& ds, const std::string& dc, const std::string& log) {
  const auto coded = [](const std::string& utf8, const char* what) {
    std::optional<std::string> bytes = hosted::Utf8ToCp936(utf8);
    if (!bytes) throw std::runtime_error(std::string("the ") + what + " holds a character that code page 936 lacks");
    return EncodeSettingValue(*bytes);
  };
  if (host.find(':') == std::string::npos) throw std::runtime_error("--host must be written host:port, e.g. 127.0.0.1:3306");
  const std::string text = "[DSConnection]\r\nDSHost=" + host + "\r\nDSUID=" + coded(user, "user") +
                           "\r\nDSPSW=" + coded(password, "password") + "\r\nDSDB=" + coded(ds, "DS database") +
                           "\r\n\r\n[DCConnection]\r\nDCDB=" + coded(dc, "DC database") +
                           "\r\n\r\n[LogConnection]\r\nLogDB=" + coded(log, "Log database") + "\r\n";
  const std::filesystem::path file = FilePath(path);
  if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (!(out << text)) throw std::runtime_error("cannot write " + path);
  return 0;
}

int Show(const std::string& path) {
  if (!std::filesystem::exists(FilePath(path))) throw std::runtime_error("no such file: " + path);
  // Read through the same reader the library uses, from a registry that points at the file.
  // The generic form has forward slashes on Windows too.
  const std::string suffix = "/Data/CONFIG/TavDbCnn.dat";
  const std::string absolute = std::filesystem::absolute(FilePath(path)).generic_string();
  if (absolute.size() < suffix.size() || !SameName(absolute.substr(absolute.size() - suffix.size()), suffix))
    throw std::runtime_error("the settings file must be <install path>" + suffix);
  hosted::Session session;
  session.registry[kProductKey][kInstallPathValue] =
      RegistryValue{RegistryStatus::Text, absolute.substr(0, absolute.size() - suffix.size())};
  hosted::HostedPlatform platform(std::move(session));
  for (const Setting& setting : kSettings) {
    const std::string value = ReadConnectionSetting(platform, setting.section, setting.key);
    std::cout << setting.section << '.' << setting.key << " (" << setting.label << "): "
              << (std::string(setting.key) == "DSPSW" ? std::string(value.size(), '*') : hosted::Cp936ToUtf8(value))
              << '\n';
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Writes or shows the connection-settings file <install path>/Data/CONFIG/TavDbCnn.dat."};
  app.require_subcommand(1);
  std::string path, host, user, password, ds, dc, log;

  CLI::App* write = app.add_subcommand("write", "write a settings file (values in UTF-8)");
  write->add_option("file", path, "settings file to write")->required();
  write->add_option("--host", host, "MySQL server as host:port")->required();
  write->add_option("--user", user, "account name")->required();
  write->add_option("--password", password, "account password")->required();
  write->add_option("--ds-db", ds, "database of the DS connection")->required();
  write->add_option("--dc-db", dc, "database of the DC connection")->required();
  write->add_option("--log-db", log, "database of the Log connection")->required();

  CLI::App* show = app.add_subcommand("show", "show what the library reads from a settings file (password masked)");
  show->add_option("file", path, "settings file to read")->required();

  CLI11_PARSE(app, argc, argv);
  try {
    if (write->parsed()) return Write(path, host, user, password, ds, dc, log);
    return Show(path);
  } catch (const std::exception& error) {
    std::cerr << "qbnotify-settings: " << error.what() << '\n';
    return 1;
  }
}
