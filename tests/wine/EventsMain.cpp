// The library's entries in the Windows event log, under Wine:
//   - QBNotify.dll (beside this program) carries a message for every kind the library raises
//     and every category, under the kinds' stable ids, with the detail inserted as %1;
//   - the Win32 platform writes one entry of each kind (Wine's ReportEvent only prints the
//     texts on its "eventlog" debug channel: scripts/check-windows runs this program with
//     WINEDEBUG=+eventlog and finds each "qbnotify-event-check <id>" text there);
//   - 200 troubles of one kind in one interval write one entry, through the claim in the
//     state folder, and another kind still gets its own.
#include <cstdio>
#include <string>

#include "environment/ConnectionSettings.h"
#include "platform/PlatformWrapper.h"
#include "platform/win32/Win32Platform.h"
#include "platform/win32/WindowsApi.h"
#include "store/SystemEventLog.h"
#include "tests/Tally.h"
#include "tests/wine/Win32World.h"

namespace qbnotify {
namespace {

#define CHECK(condition) QB_CHECK(tally, condition)
#define CHECK_EQ(actual, expected) QB_CHECK_EQ(tally, actual, expected)

// The message of `id` in the module's message table, the insert given as "<detail>"; empty
// when there is none.
std::string Message(HMODULE module, std::uint32_t id) {
  static const char detail[] = "<detail>";
  DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>(detail)};
  char buffer[1024] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, id,
                                      MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), buffer, sizeof buffer,
                                      reinterpret_cast<va_list*>(inserts));
  return std::string(buffer, length);
}

void CheckMessageTable(check::Tally& tally) {
  tally.Group("message table");
  HMODULE module = LoadLibraryExA("QBNotify.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!CHECK(module != nullptr)) return;
  for (const TroubleKind& kind : TroubleKinds()) {
    const std::string message = Message(module, kind.id);
    tally.Check(message.find("QBNotify") == 0 && message.find("<detail>") != std::string::npos,
                "message " + std::to_string(kind.id) + " (" + kind.name + "): '" + message + "'");
    const std::string category = Message(module, static_cast<std::uint32_t>(kind.category));
    tally.Check(!category.empty() && category.find("<detail>") == std::string::npos,
                "category " + std::to_string(static_cast<int>(kind.category)) + " of " + kind.name);
  }
  // Nothing past the last category (CategoryCount in the package is 5).
  CHECK(Message(module, static_cast<std::uint32_t>(TroubleCategory::Settings) + 1).empty());
  FreeLibrary(module);
}

// Counts the entries written, and writes them.
class CountingPlatform final : public PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;
  void WriteSystemEvent(const SystemEvent& event) override {
    ++written;
    PlatformWrapper::WriteSystemEvent(event);
  }
  int written = 0;
};

void WriteEveryKind(Platform& platform) {
  // One entry of each kind, straight through the platform (no interval involved); the text
  // carries 财务 in code page 936.
  for (const TroubleKind& kind : TroubleKinds())
    platform.WriteSystemEvent(SystemEvent{kind.id, static_cast<std::uint16_t>(kind.category), kind.level,
                                          "qbnotify-event-check " + std::to_string(kind.id) + " \xB2\xC6\xCE\xF1"});
}

void CheckStorm(check::Tally& tally, win32::Win32Platform& system) {
  tally.Group("storm");
  contract::Win32World world;
  const std::string install = world.NewDirectoryPath("events-install");
  CreateDirectoryA(install.c_str(), nullptr);
  CreateDirectoryA((install + "\\Data").c_str(), nullptr);
  world.SetMachineValue(kProductKey, kInstallPathValue, contract::ValueType::Text, install);
  CountingPlatform platform(system);
  for (int session = 0; session < 200; ++session)
    ReportTrouble(platform, Trouble::DatabaseUnreachable, "servers 10.0.0.5:3306,10.0.0.6:3306: connect failed");
  CHECK_EQ(platform.written, 1);
  ReportTrouble(platform, Trouble::OfflineDecision, "decided offline");
  CHECK_EQ(platform.written, 2);
  // The claims in the state folder: one a kind, and what the doctor reads back.
  int claims = 0;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((install + "\\Data\\State\\event-*.state").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do ++claims;
    while (FindNextFileA(search, &found));
    FindClose(search);
  }
  CHECK_EQ(claims, 2);
  const std::vector<RememberedTrouble> remembered = RememberedTroubles(platform);
  CHECK_EQ(remembered.size(), std::size_t{2});
  bool named = false;
  for (const RememberedTrouble& trouble : remembered)
    if (trouble.id == 1001) named = trouble.text.find("10.0.0.6:3306") != std::string::npos && !trouble.since.empty();
  CHECK(named);
  world.RemoveMachineKey(kProductKey);  // the checks after this program start without an InstallPath
}

}  // namespace
}  // namespace qbnotify

int main() {
  using namespace qbnotify;
  check::Tally tally;
  win32::Win32Platform platform;
  EnableTroubleReports();  // as the library's handlers do
  CheckMessageTable(tally);
  WriteEveryKind(platform);
  CheckStorm(tally, platform);
  return tally.Finish();
}
