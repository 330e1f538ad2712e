// The Win32 platform: each operation of Platform calls the Windows service of the same
// purpose, in the ANSI form, and translates its result at this seam.
//
// The class keeps no state of its own. Timers are the one exception at process level: the
// timer procedure receives no context, so running timers are kept in a process-wide table
// (see StartTimer). This header does not include windows.h; only the .cpp files of this
// directory do.
#pragma once

#include "platform/Platform.h"

namespace qbnotify::win32 {

// The library's source in the Application event log.
inline constexpr const char* kEventSourceName = "QBNotify";

class Win32Platform final : public Platform {
 public:
  Win32Platform() = default;
  Win32Platform(const Win32Platform&) = delete;
  Win32Platform& operator=(const Win32Platform&) = delete;

  // WTSQuerySessionInformationA on the local server; the buffer is freed on every path.
  std::optional<std::string> QuerySessionInformation(std::uint32_t sessionId, SessionInfoClass infoClass) override;

  // Loads "WTSApi32.dll" and looks its channel functions up by name, so that the library
  // also loads where terminal services are absent. A channel that cannot be opened is
  // neither written nor closed: the answer is false.
  bool WriteVirtualChannel(std::string_view channelName, std::string_view bytes) override;

  int SystemMetric(int index) override;
  void EndSession(std::uint32_t flags, std::uint32_t reason) override;
  DateTime LocalNow() override;
  DateTime UtcNow() override;
  void SleepMilliseconds(std::uint32_t milliseconds) override;

  // EnumWindows, always continuing. A failure raised by `visit` stops the enumeration and
  // is raised again once EnumWindows has returned: it never crosses the system's frames.
  void EnumerateTopLevelWindows(const std::function<void(WindowHandle)>& visit) override;
  int ReadWindowTitle(WindowHandle window, char* buffer, int capacity) override;
  std::uint32_t ReadWindowStyle(WindowHandle window) override;
  WindowHandle ReadWindowParent(WindowHandle window) override;
  void ShowWindowCommand(WindowHandle window, int command) override;

  // A thread timer without a window (SetTimer with no window), ticking through the creating
  // thread's message loop. A failure raised by a tick is dropped there, since the message
  // loop that delivers it has nobody to hand it to. Returns 0 when no timer could be made.
  TimerId StartTimer(std::uint32_t periodMilliseconds, std::function<void()> tick) override;
  // Forgets the tick before killing the timer, so that a tick already queued does nothing.
  void StopTimer(TimerId timer) override;

  // RegOpenKeyExA under HKEY_LOCAL_MACHINE with KEY_ALL_ACCESS, in the registry view of this
  // build (a 32-bit build on 64-bit Windows reads the redirected view).
  RegistryValue ReadMachineRegistryString(std::string_view keyPath, std::string_view valueName) override;
  // GetPrivateProfileStringA with a buffer of `bufferSize` bytes.
  std::string ReadProfileString(std::string_view section, std::string_view key, std::string_view defaultValue,
                                std::string_view path, std::size_t bufferSize) override;

  // Files (Win32Files.cpp). A private directory carries a protected access list granting
  // full access to the system, the administrators and the process's own account, inherited
  // by what is made inside and given to every file written there. The tick count serves as
  // the elapsed-time clock.
  FileResult MakePrivateDirectory(std::string_view path) override;
  FileResult WriteFileDurably(std::string_view path, std::string_view bytes, bool replaceExisting) override;
  FileResult FlushRenames(std::string_view path) override;
  FileResult RenameWithoutReplacing(std::string_view from, std::string_view to) override;
  DirectoryListing ListDirectory(std::string_view path) override;
  FileResult ListNames(std::string_view path, const std::function<bool(std::string_view name)>& visit) override;
  FileContent ReadWholeFile(std::string_view path, std::size_t limit) override;
  FileResult RemoveFile(std::string_view path) override;
  PathInfo InspectPath(std::string_view path) override;
  PathGuard GuardPath(std::string_view path, std::string_view privateFrom) override;
  FileResult NarrowAccess(std::string_view path, bool ownAccount) override;
  std::uint32_t CurrentProcessId() override;
  ProcessInfo QueryProcess(std::uint32_t processId) override;
  std::uint32_t ElapsedMilliseconds() override;
  // The Application log under kEventSourceName (Win32EventLog.cpp).
  void WriteSystemEvent(const SystemEvent& event) override;

  const char* NextChar(const char* text) const override;
  void UpperCaseBuffer(char* buffer, std::size_t length) const override;

  // A sink: the library's progress texts are not written anywhere.
  void Trace(std::string_view text) override;
};

}  // namespace qbnotify::win32
