// The Windows test program: the platform contract over the Win32 platform, then what only
// a Windows system shows (registry views, real windows and timings, the terminal-services
// calls of a console session, the client-library loader and the DLL's exports).
//
//   qbnotify_wine_tests [directory of QBNotify.dll]
//
// Run it in a console session with ANSI code page 936 (under Wine: LC_ALL=zh_CN.GBK).
#include <cstdio>
#include <stdexcept>
#include <string>

#include "channel/PChannel.h"
#include "environment/ConnectionSettings.h"
#include "platform/win32/Win32Platform.h"
#include "platform/win32/WindowsApi.h"
#include "store/Database.h"
#include "store/client/MysqlApi.h"
#include "tests/wine/PlatformContract.h"
#include "tests/wine/Win32World.h"
#include "notify/QBNotifyMain.h"

namespace qbnotify {
namespace {

using contract::ValueType;
using contract::Win32World;
using namespace std::string_literals;

#define CHECK(condition) QB_CHECK(tally, condition)
#define CHECK_EQ(actual, expected) QB_CHECK_EQ(tally, actual, expected)

void CheckRegistryViews(Platform& platform, check::Tally& tally) {
  tally.Group("registry views");
  Win32World own;
  Win32World redirected(KEY_WOW64_32KEY);
  // A key that only the 32-bit view holds does not exist for this build.
  redirected.SetMachineValue("SOFTWARE\\QBNotifyViews\\Only32", "InstallPath", ValueType::Text, "C:\\From32\0"s);
  CHECK(platform.ReadMachineRegistryString("SOFTWARE\\QBNotifyViews\\Only32", "InstallPath").status ==
        RegistryStatus::KeyMissing);
  redirected.SetMachineValue("SOFTWARE\\QBNotifyViews\\Both", "InstallPath", ValueType::Text, "C:\\From32\0"s);
  own.SetMachineValue("SOFTWARE\\QBNotifyViews\\Both", "InstallPath", ValueType::Text, "C:\\From64\0"s);
  CHECK_EQ(platform.ReadMachineRegistryString("SOFTWARE\\QBNotifyViews\\Both", "InstallPath").text, "C:\\From64");
}

// The product's settings as the library reads them: InstallPath, then the settings file.
void CheckConnectionSettings(Platform& platform, check::Tally& tally) {
  tally.Group("connection settings");
  Win32World world;
  char temp[MAX_PATH];
  const std::string install = std::string(temp, GetTempPathA(MAX_PATH, temp)) + "qbnotify-install";
  for (const char* sub : {"", "\\Data", "\\Data\\CONFIG"}) CreateDirectoryA((install + sub).c_str(), nullptr);
  world.RemoveMachineKey(kProductKey);
  CHECK_EQ(ReadConnectionSetting(platform, "DSConnection", "DSHost"), "");  // no product key
  world.SetMachineValue(kProductKey, kInstallPathValue, ValueType::Text, install + "\0"s);
  std::FILE* file = std::fopen((install + kSettingsFileSuffix).c_str(), "wb");
  CHECK(file != nullptr);
  if (!file) return;
  std::fputs("[DSConnection]\r\nDSHost = 127.0.0.1:3307 \r\ndsuid=cWJub3RpZnk#\r\n", file);
  std::fclose(file);
  CHECK_EQ(ReadConnectionSetting(platform, "DSConnection", "DSHost"), "127.0.0.1:3307");
  CHECK_EQ(ReadConnectionSetting(platform, "dsconnection", "DSUID"), "qbnotify");
  world.SetMachineValue(kProductKey, kInstallPathValue, ValueType::Number, "\x01\0\0\0"s);
  bool raised = false;
  try {
    ReadConnectionSetting(platform, "DSConnection", "DSHost");
  } catch (const SettingsReadError&) {
    raised = true;
  }
  CHECK(raised);
}

void CheckRealWindowsAndTimers(Platform& platform, check::Tally& tally) {
  tally.Group("restore pass timing");
  Win32World world;
  world.MakeWindow("one", true, 0);
  world.MakeWindow("two", true, 0);
  Instance instance(platform);
  const double start = contract::NowMilliseconds();
  RestoreWindows(instance);
  CHECK(contract::NowMilliseconds() - start >= 195);  // 100 ms between the hide and the show of each
  world.DestroyWindows();

  tally.Group("failing tick");
  int ticks = 0;
  const TimerId healthy = platform.StartTimer(20, [&] { ++ticks; });
  const TimerId failing = platform.StartTimer(20, [] { throw std::runtime_error("tick failed"); });
  bool escaped = false;
  try {
    world.RunMessageLoop(150);
  } catch (...) {
    escaped = true;
  }
  CHECK(!escaped);
  CHECK(ticks >= 1);
  platform.StopTimer(failing);
  platform.StopTimer(healthy);
}

// A console session: not remote, and the terminal-services calls answer nothing that could
// make the library act.
void CheckConsoleSession(Platform& platform, check::Tally& tally) {
  tally.Group("console session");
  CHECK_EQ(platform.SystemMetric(kMetricRemoteSession), 0);
  const auto protocol = platform.QuerySessionInformation(kCurrentSession, SessionInfoClass::ClientProtocolType);
  if (protocol) CHECK_EQ(*protocol, "\0\0"s);  // when answered at all: the console's type 0
  for (SessionInfoClass infoClass : {SessionInfoClass::InitialProgram, SessionInfoClass::WinStationName,
                                     SessionInfoClass::ClientName, SessionInfoClass::ClientAddress}) {
    const auto answer = platform.QuerySessionInformation(kCurrentSession, infoClass);
    if (answer && infoClass != SessionInfoClass::ClientAddress)
      CHECK(!answer->empty() && answer->back() == '\0');  // texts come with their NUL
  }

  tally.Group("channel");
  CHECK(!platform.WriteVirtualChannel(kChannelName, "Wi4HABAAAAAAAAAAAA=="));
  CHECK_EQ(NotifyClient(platform, kNotifyStartup, 0), -1);

  tally.Group("clock");
  SYSTEMTIME before{};
  GetLocalTime(&before);
  const DateTime now = platform.LocalNow();
  CHECK(now.year == before.wYear && now.month == before.wMonth && now.day == before.wDay);
  CHECK(now.hour >= 0 && now.hour < 24 && now.minute >= 0 && now.minute < 60 && now.second >= 0 && now.second < 60);
  const double start = contract::NowMilliseconds();
  platform.SleepMilliseconds(50);
  CHECK(contract::NowMilliseconds() - start >= 45);

  tally.Group("client library");
  // No client library lies beside the program or on the search path.
  CHECK(MysqlClient() == nullptr);
  Connections connections;
  CHECK(!OpenConnections(platform, connections));
}

// A process that has ended with the code that also means "still running" (259) is gone: its
// handle, signalled, says so. Our handle keeps the ended process's object (and id) alive.
void CheckEndedProcess(Platform& platform, check::Tally& tally) {
  tally.Group("a process that ended with code 259");
  char command[] = "cmd.exe /c exit 259";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  CHECK(CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                       &process) != FALSE);
  if (!process.hProcess) return;
  CHECK_EQ(WaitForSingleObject(process.hProcess, 30000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = 0;
  CHECK(GetExitCodeProcess(process.hProcess, &code) && code == 259);
  CHECK(platform.QueryProcess(process.dwProcessId).state == ProcessState::Gone);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

// QBNotify.dll as Winlogon uses it: loaded, its six handlers found by their plain names and
// called with a notification record. In a console session the gate stops every one of them.
void CheckLibrary(const std::string& directory, check::Tally& tally) {
  tally.Group("QBNotify.dll");
  Win32World world;
  const WindowHandle window = world.MakeWindow("left alone", true, 0);
  const std::string path = directory.empty() ? "QBNotify.dll" : directory + "\\QBNotify.dll";
  HMODULE library = LoadLibraryA(path.c_str());
  CHECK(library != nullptr);
  if (!library) return;
  using Handler = void(WINAPI*)(void*);
  char record[64] = {};
  for (const char* name : {"winStartup", "winLogon", "winStartShell", "winDisconnect", "winReconnect", "winLogoff"}) {
    const auto handler = win32::LoadedModule::LookupIn<Handler>(library, name);
    tally.Group(std::string("QBNotify.dll ") + name);
    CHECK(handler != nullptr);
    if (handler) handler(record);
  }
  tally.Group("QBNotify.dll");
  CHECK(GetProcAddress(library, "LibraryPlatform") == nullptr);
  CHECK(world.ShowCommands(window).empty());  // no restore pass ran
  CHECK(FreeLibrary(library) != FALSE);
}

}  // namespace
}  // namespace qbnotify

int main(int argc, char** argv) {
  using namespace qbnotify;
  check::Tally tally;
  tally.Group("setup");
  QB_CHECK_EQ(tally, GetACP(), 936u);  // the code page that the checks' texts are written in
  win32::Win32Platform platform;
  try {
    contract::Win32World world;
    contract::RunPlatformContract(platform, world, tally);
    CheckRegistryViews(platform, tally);
    CheckConnectionSettings(platform, tally);
    CheckRealWindowsAndTimers(platform, tally);
    CheckConsoleSession(platform, tally);
    CheckEndedProcess(platform, tally);
    CheckLibrary(argc > 1 ? argv[1] : "", tally);
  } catch (const std::exception& failure) {
    tally.Record(false, __FILE__, __LINE__, std::string("raised: ") + failure.what());
  }
  return tally.Finish();
}
