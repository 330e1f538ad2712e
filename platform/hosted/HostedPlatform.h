// The hosted platform: answers the library's platform calls from a session description held
// in memory, and records every side effect the library causes, in order.
//
// It behaves as the Windows services do for the same calls: a query the description leaves
// out fails, titles are cut to the caller's buffer, the code page is 936 (GBK), and so on.
// Timers never tick by themselves: the host delivers pending ticks between notifications,
// as the logon process's message loop would (DeliverTimerTicks).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/Platform.h"

namespace qbnotify::hosted {

struct Window {
  WindowHandle handle = 0;
  std::string title;  // code-page-936 bytes
  bool visible = false;
  WindowHandle parent = 0;
};

struct AddressRecord {
  std::uint32_t family = 0;
  std::array<std::uint8_t, 20> bytes{};
};

enum class ChannelState {
  Open,         // writes are delivered
  Unavailable,  // the channel library cannot be loaded
  WriteFails,   // the channel opens but every write fails
};

// What the platform reports about the session. An empty optional makes that query fail.
struct Session {
  bool remote = false;
  std::optional<std::uint16_t> protocolType;
  std::optional<std::string> winStation;
  std::optional<std::string> initialProgram;
  std::optional<std::string> clientName;
  std::optional<AddressRecord> clientAddress;
  // Registry keys under the local machine's root, by path (matched without regard to case),
  // each with its values by name (likewise). A key that is not listed cannot be opened.
  std::map<std::string, std::map<std::string, RegistryValue>> registry;
  std::vector<Window> windows;
  ChannelState channel = ChannelState::Open;
  std::optional<DateTime> clock;  // a fixed local clock; the real one when empty
  // Values that profile reads return in place of the file's, by section and key (matched
  // without regard to case), as stored: a tool that connects under an account of its own.
  std::map<std::string, std::map<std::string, std::string>> profileOverrides;
  // With a fixed clock: how far UTC is ahead of it, seconds (UTC is the fixed clock itself
  // when 0). AdvanceClock moves both.
  int utcAheadSeconds = 0;
};

// Side effects, in the order the library causes them.
struct ChannelWrite {
  std::string name;
  std::string bytes;
  bool delivered = false;
  std::string failure;  // "unavailable" or "write_fails" when not delivered
};
struct SessionEnd {
  std::uint32_t flags = 0;
  std::uint32_t reason = 0;
};
struct WindowCommand {
  WindowHandle window = 0;
  int command = 0;
};
struct Pause {
  std::uint32_t milliseconds = 0;
};
struct TimerStarted {
  TimerId timer = 0;
  std::uint32_t periodMilliseconds = 0;
};
struct TimerStopped {
  TimerId timer = 0;
};
struct TimerTicked {
  TimerId timer = 0;
};
struct TraceText {
  std::string text;  // code-page-936 bytes
};
// An entry the library wrote to the system's event log (there is no system log here).
struct SystemEventWritten {
  SystemEvent event;
};
using Effect = std::variant<ChannelWrite, SessionEnd, WindowCommand, Pause, TimerStarted, TimerStopped, TimerTicked, TraceText,
                            SystemEventWritten>;

class HostedPlatform final : public Platform {
 public:
  explicit HostedPlatform(Session session, bool traces = false);

  // Called with each effect as it happens (after it is recorded).
  void SetListener(std::function<void(const Effect&)> listener) { listener_ = std::move(listener); }
  const std::vector<Effect>& Effects() const { return effects_; }
  void ClearEffects() { effects_.clear(); }
  Session& State() { return session_; }

  // Whether the library has ended the session.
  bool SessionEnded() const { return sessionEnded_; }
  // Moves the fixed clock on (no effect on the real clock).
  void AdvanceClock(int seconds);
  // Delivers one tick to each running timer, as the message loop would once its period has
  // passed. Returns the number of ticks delivered.
  int DeliverTimerTicks();
  // The number of timers started and not stopped.
  std::size_t RunningTimers() const { return timers_.size(); }
  // The number of session-information queries answered or refused so far.
  std::size_t SessionQueries() const { return sessionQueries_; }

  std::optional<std::string> QuerySessionInformation(std::uint32_t sessionId, SessionInfoClass infoClass) override;
  bool WriteVirtualChannel(std::string_view channelName, std::string_view bytes) override;
  int SystemMetric(int index) override;
  void EndSession(std::uint32_t flags, std::uint32_t reason) override;
  DateTime LocalNow() override;
  DateTime UtcNow() override;
  void SleepMilliseconds(std::uint32_t milliseconds) override;
  void EnumerateTopLevelWindows(const std::function<void(WindowHandle)>& visit) override;
  int ReadWindowTitle(WindowHandle window, char* buffer, int capacity) override;
  std::uint32_t ReadWindowStyle(WindowHandle window) override;
  WindowHandle ReadWindowParent(WindowHandle window) override;
  void ShowWindowCommand(WindowHandle window, int command) override;
  TimerId StartTimer(std::uint32_t periodMilliseconds, std::function<void()> tick) override;
  void StopTimer(TimerId timer) override;
  RegistryValue ReadMachineRegistryString(std::string_view keyPath, std::string_view valueName) override;
  std::string ReadProfileString(std::string_view section, std::string_view key, std::string_view defaultValue,
                                std::string_view path, std::size_t bufferSize) override;
  // Files (HostedFiles.cpp): the real file system, paths mapped with HostPath. A private
  // directory has mode 0700 and new files 0600; the trusted owner is the effective user. A
  // process's start time is the one /proc gives (clock ticks since the machine started).
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
  void WriteSystemEvent(const SystemEvent& event) override;
  const char* NextChar(const char* text) const override;
  void UpperCaseBuffer(char* buffer, std::size_t length) const override;
  void Trace(std::string_view text) override;

 private:
  void Record(Effect effect);
  Window* LookupWindow(WindowHandle handle);

  Session session_;
  bool traces_;
  bool sessionEnded_ = false;
  std::vector<Effect> effects_;
  std::function<void(const Effect&)> listener_;
  std::map<TimerId, std::function<void()>> timers_;
  TimerId nextTimer_ = 1;
  std::size_t sessionQueries_ = 0;
};

// Whether a byte opens a double-byte character of code page 936.
inline bool IsGbkLeadByte(unsigned char byte) { return byte >= 0x81 && byte <= 0xFE; }

// Maps a Windows path to the hosted file system: backslashes become slashes.
std::string HostPath(std::string_view windowsPath);

}  // namespace qbnotify::hosted
