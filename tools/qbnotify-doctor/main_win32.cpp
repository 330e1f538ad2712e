// qbnotify-doctor on Windows: the same checks as everywhere, over the Win32 platform, so that
// the settings file is read by the system's own profile reader and the client library is
// found the way QBNotify.dll finds it.
//
// InstallPath is read in the registry view that a QBNotify.dll of this program's bitness
// reads (run the 64-bit doctor for the 64-bit DLL); when only the other view holds the value,
// or it holds another one, the doctor says so. --install-path checks a given directory
// instead of the registry's value.
//
// Exit status: 0 every check passed (warnings allowed), 1 a check failed, 2 bad usage.
#include <CLI/CLI.hpp>
#include <iostream>

#include "environment/ConnectionSettings.h"
#include "platform/PlatformWrapper.h"
#include "platform/win32/ToolText.h"
#include "platform/win32/Win32Platform.h"
#include "tools/common/ToolSupport.h"
#include "tools/common/win32/InstallPathViews.h"
#include "tools/qbnotify-doctor/Doctor.h"
#include "tools/qbnotify-doctor/DoctorSwitches.h"

namespace {

using namespace qbnotify;

constexpr bool kThis64 = sizeof(void*) == 8;

// The Win32 platform, except that the product's InstallPath is the value chosen above: the
// registry is read with read access only, in the DLL's view, or not at all.
class DoctorPlatform final : public PlatformWrapper {
 public:
  explicit DoctorPlatform(RegistryValue installPath) : PlatformWrapper(system_), installPath_(std::move(installPath)) {}

  // The doctor ends nobody's session, moves no window and traces nothing.
  void EndSession(std::uint32_t, std::uint32_t) override {}
  void ShowWindowCommand(WindowHandle, int) override {}
  void Trace(std::string_view) override {}
  RegistryValue ReadMachineRegistryString(std::string_view keyPath, std::string_view valueName) override {
    if (keyPath == kProductKey && valueName == kInstallPathValue) return installPath_;
    return system_.ReadMachineRegistryString(keyPath, valueName);
  }
  // Everything else, the spool's files among them, as the DLL reaches it (the doctor reads
  // the spool; --write-back removes the rows it has written).

 private:
  win32::Win32Platform system_;  // constructed before use: the base only keeps a reference
  RegistryValue installPath_;
};

}  // namespace

int main(int argc, char** argv) {
  using namespace qbnotify::tools;
  CLI::App app{std::string("Checks the set-up the ") + (kThis64 ? "64" : "32") +
               "-bit QBNotify.dll needs: InstallPath, the settings file, the client library, the three connections, "
               "the server, tables, privileges, identifier counters and the clock."};
  std::string installPath;
  bool asJson = false;
  DoctorOptions options;
  app.add_option("--install-path", installPath,
                 "check this install path instead of the registry's InstallPath (of the DLL's registry view)");
  AddDoctorSwitches(app, options, asJson);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return status == 0 ? kExitGood : kExitUsage;
  }

  std::optional<Check> viewNote;
  RegistryValue value;
  if (!installPath.empty()) {
    // The argument is UTF-8; the library sees paths in the system's ANSI code page.
    const std::optional<std::string> ansi =
        qbnotify::win32::WideToCodePage(qbnotify::win32::Utf8ToWide(installPath), CP_ACP);
    if (!ansi) {
      std::cerr << "qbnotify-doctor: --install-path holds a character that the system's code page lacks\n";
      return kExitUsage;
    }
    value = RegistryValue{RegistryStatus::Text, *ansi};
  } else {
    const qbnotify::win32::InstallPathViews views = qbnotify::win32::ReadInstallPathViews();
    value = qbnotify::win32::ViewOfDll(views, kThis64);
    if (views.wow64) viewNote = OtherRegistryView(value, qbnotify::win32::ViewOfDll(views, !kThis64), kThis64);
  }

  DoctorPlatform platform(value);
  // Settings paths are ANSI paths of this system.
  options.localPath = [](const std::string& path) {
    return std::filesystem::path(qbnotify::win32::CodePageToWide(path, CP_ACP));
  };
  if (options.printGrants) {
    std::cout << DoctorGrantStatements(platform);
    return kExitGood;
  }
  std::vector<Check> checks = RunDoctor(platform, options);
  if (viewNote) InsertAfterSection(checks, "install path", std::move(*viewNote));

  PrintChecks(std::cout, checks, asJson);
  return AnyFailed(checks) ? kExitProblem : kExitGood;
}
