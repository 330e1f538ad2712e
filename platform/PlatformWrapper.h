// A platform that forwards every operation to another one, so that a tool or a test that
// changes two operations writes those two and nothing else:
//
//   class QuietPlatform final : public PlatformWrapper {
//    public:
//     using PlatformWrapper::PlatformWrapper;
//     void EndSession(std::uint32_t, std::uint32_t) override {}
//   };
//
// The wrapped platform must outlive the wrapper. Every contract is the wrapped platform's.
#pragma once

#include "platform/Platform.h"

namespace qbnotify {

class PlatformWrapper : public Platform {
 public:
  explicit PlatformWrapper(Platform& target) : target_(target) {}

  Platform& Target() const { return target_; }

  std::optional<std::string> QuerySessionInformation(std::uint32_t sessionId, SessionInfoClass infoClass) override {
    return target_.QuerySessionInformation(sessionId, infoClass);
  }
  bool WriteVirtualChannel(std::string_view channelName, std::string_view bytes) override {
    return target_.WriteVirtualChannel(channelName, bytes);
  }
  int SystemMetric(int index) override { return target_.SystemMetric(index); }
  void EndSession(std::uint32_t flags, std::uint32_t reason) override { target_.EndSession(flags, reason); }
  DateTime LocalNow() override { return target_.LocalNow(); }
  DateTime UtcNow() override { return target_.UtcNow(); }
  void SleepMilliseconds(std::uint32_t milliseconds) override { target_.SleepMilliseconds(milliseconds); }
  void EnumerateTopLevelWindows(const std::function<void(WindowHandle)>& visit) override {
    target_.EnumerateTopLevelWindows(visit);
  }
  int ReadWindowTitle(WindowHandle window, char* buffer, int capacity) override {
    return target_.ReadWindowTitle(window, buffer, capacity);
  }
  std::uint32_t ReadWindowStyle(WindowHandle window) override { return target_.ReadWindowStyle(window); }
  WindowHandle ReadWindowParent(WindowHandle window) override { return target_.ReadWindowParent(window); }
  void ShowWindowCommand(WindowHandle window, int command) override { target_.ShowWindowCommand(window, command); }
  TimerId StartTimer(std::uint32_t periodMilliseconds, std::function<void()> tick) override {
    return target_.StartTimer(periodMilliseconds, std::move(tick));
  }
  void StopTimer(TimerId timer) override { target_.StopTimer(timer); }
  RegistryValue ReadMachineRegistryString(std::string_view keyPath, std::string_view valueName) override {
    return target_.ReadMachineRegistryString(keyPath, valueName);
  }
  std::string ReadProfileString(std::string_view section, std::string_view key, std::string_view defaultValue,
                                std::string_view path, std::size_t bufferSize) override {
    return target_.ReadProfileString(section, key, defaultValue, path, bufferSize);
  }
  FileResult MakePrivateDirectory(std::string_view path) override { return target_.MakePrivateDirectory(path); }
  FileResult WriteFileDurably(std::string_view path, std::string_view bytes, bool replaceExisting) override {
    return target_.WriteFileDurably(path, bytes, replaceExisting);
  }
  FileResult FlushRenames(std::string_view path) override { return target_.FlushRenames(path); }
  FileResult RenameWithoutReplacing(std::string_view from, std::string_view to) override {
    return target_.RenameWithoutReplacing(from, to);
  }
  DirectoryListing ListDirectory(std::string_view path) override { return target_.ListDirectory(path); }
  FileResult ListNames(std::string_view path, const std::function<bool(std::string_view name)>& visit) override {
    return target_.ListNames(path, visit);
  }
  FileContent ReadWholeFile(std::string_view path, std::size_t limit) override {
    return target_.ReadWholeFile(path, limit);
  }
  FileResult RemoveFile(std::string_view path) override { return target_.RemoveFile(path); }
  PathInfo InspectPath(std::string_view path) override { return target_.InspectPath(path); }
  PathGuard GuardPath(std::string_view path, std::string_view privateFrom) override {
    return target_.GuardPath(path, privateFrom);
  }
  FileResult NarrowAccess(std::string_view path, bool ownAccount) override {
    return target_.NarrowAccess(path, ownAccount);
  }
  std::uint32_t CurrentProcessId() override { return target_.CurrentProcessId(); }
  ProcessInfo QueryProcess(std::uint32_t processId) override { return target_.QueryProcess(processId); }
  void WriteSystemEvent(const SystemEvent& event) override { target_.WriteSystemEvent(event); }
  std::uint32_t ElapsedMilliseconds() override { return target_.ElapsedMilliseconds(); }
  const char* NextChar(const char* text) const override { return target_.NextChar(text); }
  void UpperCaseBuffer(char* buffer, std::size_t length) const override { target_.UpperCaseBuffer(buffer, length); }
  void Trace(std::string_view text) override { target_.Trace(text); }

 private:
  Platform& target_;
};

}  // namespace qbnotify
