// qbnotify-settings: writes or shows a connection-settings file, so that nobody codes the
// Base64 values by hand.
//
//   qbnotify-settings write FILE --host 127.0.0.1:3306 --user qb --password pw
//                            --ds-db qbds --dc-db qbdc --log-db qblog
//                            [--offline-admission cached --offline-refresh-seconds 300
//                             --offline-max-age-hours 24]
//   qbnotify-settings show FILE
//
// Writing an existing file changes only the keys given and keeps every other section, key and
// line as it was; a new file needs every connection value.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "environment/ConnectionSettings.h"
#include "policy/Offline.h"
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

struct Assignment {
  std::string section;
  std::string key;
  std::string value;  // as stored
};

std::string Lowered(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::string TrimmedText(const std::string& text) {
  const std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

// `text` (an INI file) with each assignment made: the key's line replaced where the section
// holds it (section and key names compare without regard to case, as the reader compares
// them), else added at the end of its section, or in a new section at the end. Every other
// line stays as it was.
std::string Merge(const std::string& text, const std::vector<Assignment>& assignments) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    at = end == std::string::npos ? text.size() : end + 1;
  }
  for (const Assignment& a : assignments) {
    const std::string wanted = a.key + "=" + a.value;
    std::string section;
    std::optional<std::size_t> lastOfSection;
    bool done = false;
    for (std::size_t i = 0; i < lines.size() && !done; ++i) {
      const std::string line = TrimmedText(lines[i]);
      if (!line.empty() && line.front() == '[') {
        const std::size_t close = line.find(']');
        section = TrimmedText(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
        if (Lowered(section) == Lowered(a.section)) lastOfSection = i;
        continue;
      }
      if (Lowered(section) != Lowered(a.section)) continue;
      if (!line.empty()) lastOfSection = i;
      const std::size_t equals = line.find('=');
      if (equals != std::string::npos && Lowered(TrimmedText(line.substr(0, equals))) == Lowered(a.key)) {
        lines[i] = wanted;
        done = true;
      }
    }
    if (done) continue;
    if (lastOfSection) {
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(*lastOfSection + 1), wanted);
    } else {
      while (!lines.empty() && TrimmedText(lines.back()).empty()) lines.pop_back();
      if (!lines.empty()) lines.push_back("");
      lines.push_back("[" + a.section + "]");
      lines.push_back(wanted);
    }
  }
  std::string out;
  for (const std::string& line : lines) out += line + "\r\n";
  return out;
}

struct WriteValues {
  std::optional<std::string> host, user, password, ds, dc, log;
  std::optional<std::string> admission, refreshSeconds, maxAgeHours;
};

int Write(const std::string& path, const WriteValues& v) {
  const auto coded = [](const std::string& utf8, const char* what) {
    std::optional<std::string> bytes = hosted::Utf8ToCp936(utf8);
    if (!bytes) throw std::runtime_error(std::string("the ") + what + " holds a character that code page 936 lacks");
    return EncodeSettingValue(*bytes);
  };
  if (v.host && v.host->find(':') == std::string::npos)
    throw std::runtime_error("--host must be written host:port, e.g. 127.0.0.1:3306");
  const std::filesystem::path file = FilePath(path);
  std::string existing;
  const bool exists = std::filesystem::exists(file);
  if (exists) {
    std::ifstream in(file, std::ios::binary);
    existing.assign(std::istreambuf_iterator<char>(in), {});
  } else if (!v.host || !v.user || !v.password || !v.ds || !v.dc || !v.log) {
    throw std::runtime_error("a new settings file needs --host, --user, --password, --ds-db, --dc-db and --log-db");
  }
  std::vector<Assignment> assignments;
  if (v.host) assignments.push_back({"DSConnection", "DSHost", *v.host});
  if (v.user) assignments.push_back({"DSConnection", "DSUID", coded(*v.user, "user")});
  if (v.password) assignments.push_back({"DSConnection", "DSPSW", coded(*v.password, "password")});
  if (v.ds) assignments.push_back({"DSConnection", "DSDB", coded(*v.ds, "DS database")});
  if (v.dc) assignments.push_back({"DCConnection", "DCDB", coded(*v.dc, "DC database")});
  if (v.log) assignments.push_back({"LogConnection", "LogDB", coded(*v.log, "Log database")});
  // [Offline] is plain text, as [Spool] is.
  if (v.admission) assignments.push_back({kOfflineSection, "Admission", *v.admission});
  if (v.refreshSeconds) assignments.push_back({kOfflineSection, "RefreshSeconds", *v.refreshSeconds});
  if (v.maxAgeHours) assignments.push_back({kOfflineSection, "MaxAgeHours", *v.maxAgeHours});
  const std::string text = Merge(existing, assignments);
  if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path());
  const std::filesystem::path temporary = file.string() + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!(out << text) || !out.flush()) throw std::runtime_error("cannot write " + path);
  }
  std::filesystem::rename(temporary, file);
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
  write->add_option("--host", values.host, "MySQL server as host:port");
  write->add_option("--user", values.user, "account name");
  write->add_option("--password", values.password, "account password");
  write->add_option("--ds-db", values.ds, "database of the DS connection");
  write->add_option("--dc-db", values.dc, "database of the DC connection");
  write->add_option("--log-db", values.log, "database of the Log connection");
  write->add_option("--offline-admission", values.admission, "while the database is away: open, closed or cached")
      ->check(CLI::IsMember({"open", "closed", "cached"}));
  write->add_option("--offline-refresh-seconds", values.refreshSeconds, "how often the snapshot is taken at most (0: always)")
      ->check(CLI::Range(0, 7 * 24 * 3600));
  write->add_option("--offline-max-age-hours", values.maxAgeHours, "age past which the snapshot counts as none")
      ->check(CLI::Range(0, 10 * 366 * 24));

  CLI::App* show = app.add_subcommand("show", "show what the library reads from a settings file (password masked)");
  show->add_option("file", path, "settings file to read")->required();

  CLI11_PARSE(app, argc, argv);
  try {
    if (write->parsed()) return Write(path, values);
    return Show(path);
  } catch (const std::exception& error) {
    std::cerr << "qbnotify-settings: " << error.what() << '\n';
    return 1;
  }
}
