#include "tools/qbnotify-settings/SettingsAccess.h"

#include <filesystem>
#include <optional>
#include <set>
#include <stdexcept>
#include <vector>

#include "environment/ConnectionSettings.h"
#include "store/OwnDirectory.h"
#include "store/StateDirectory.h"
#include "store/spool/Spool.h"

#ifdef _WIN32
#include "platform/win32/ToolText.h"
#include "platform/win32/Win32Platform.h"
#else
#include "platform/hosted/HostedPlatform.h"
#endif

namespace qbnotify::tools {
namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
// The file operations of the system itself: the Windows tools' hosted platform reaches no file.
class FilePlatform {
 public:
  Platform& Get() { return platform_; }
  // A path of the platform from a UTF-8 one: the system's ANSI code page.
  static std::string Path(const std::string& utf8) {
    const std::optional<std::string> ansi = win32::WideToCodePage(win32::Utf8ToWide(utf8), 0 /* CP_ACP */);
    if (!ansi) throw std::runtime_error("'" + utf8 + "' holds a character that the system's code page lacks");
    return *ansi;
  }
  static std::string Shown(const std::string& path) { return path; }

 private:
  win32::Win32Platform platform_;
};
#else
class FilePlatform {
 public:
  Platform& Get() { return platform_; }
  static std::string Path(const std::string& utf8) { return utf8; }
  static std::string Shown(const std::string& path) { return hosted::HostPath(path); }

 private:
  hosted::HostedPlatform platform_{hosted::Session{}};
};
#endif

std::string Utf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

fs::path FromUtf8(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

bool NamedLike(const fs::path& path, const char* name) {
  std::string text = Utf8(path.filename());
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text == name;
}

}  // namespace

void WritePrivateSettingsFile(const std::string& path, const std::string& text) {
  FilePlatform files;
  const fs::path file = FromUtf8(path);
  std::vector<fs::path> made;
  for (fs::path dir = file.parent_path(); !dir.empty() && !fs::exists(dir); dir = dir.parent_path()) {
    made.push_back(dir);
    if (dir == dir.parent_path()) break;
  }
  if (file.has_parent_path()) fs::create_directories(file.parent_path());
  for (auto dir = made.rbegin(); dir != made.rend(); ++dir)
    if ((NamedLike(*dir, "DATA") || NamedLike(*dir, "CONFIG")) &&
        files.Get().NarrowAccess(FilePlatform::Path(Utf8(*dir)), false) != FileResult::Ok)
      throw std::runtime_error("cannot make " + Utf8(*dir) + " private");
  // The new file is private from its first byte (the temporary file it is written to is);
  // narrowed then to the system and the administrators, without this tool's own account.
  const std::string local = FilePlatform::Path(path);
  if (files.Get().WriteFileDurably(local, text, true) != FileResult::Ok) throw std::runtime_error("cannot write " + path);
  if (files.Get().NarrowAccess(local, false) != FileResult::Ok)
    throw std::runtime_error("wrote " + path + " but cannot make it private: run qbnotify-settings protect");
}

int ProtectInstall(const std::string& installPath, std::ostream& out) {
  FilePlatform files;
  Platform& platform = files.Get();
  const std::string install = FilePlatform::Path(installPath);
  const std::string data = install + kDataDirectorySuffix;
  const std::string settings = install + kSettingsFileSuffix;
  const std::string state = data + "\\" + kStateLeaf;
  const std::string spool = data + "\\" + kSpoolLeaf;
  int problems = 0;
  // From the top down: once Data is private, nobody else reaches what lies in it.
  for (const std::string& path : {data, data + "\\CONFIG", settings, state, spool}) {
    const FileResult narrowed = platform.NarrowAccess(path, false);
    const bool optional = path == state || path == spool;
    std::string said;
    switch (narrowed) {
      case FileResult::Ok: said = "private"; break;
      case FileResult::NotFound:
        said = optional ? "not there (the library makes it private)" : "MISSING";
        if (!optional) ++problems;
        break;
      default:
        said = "FAILED: a link or junction, owned by another account, or its access cannot be set";
        ++problems;
    }
    out << FilePlatform::Shown(path) << ": " << said << '\n';
  }
  std::set<std::string> named;  // one line for a folder above them all
  for (const std::string& path : {settings, state, spool}) {
    if (platform.InspectPath(path).kind == PathKind::Missing) continue;
    const PathGuard guard = platform.GuardPath(path, data);
    if (guard.safe) continue;
    ++problems;
    if (named.insert(DescribePathGuard(guard)).second) out << "still reachable: " << DescribePathGuard(guard) << '\n';
  }
  return problems;
}

}  // namespace qbnotify::tools
