// The contract's World on Windows: the real registry, files in the temporary directory,
// real windows of the calling thread and its message loop.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tests/wine/PlatformContract.h"

namespace qbnotify::contract {

// A monotonic clock in milliseconds, finer than the tick count (which Wine advances in steps).
double NowMilliseconds();

class Win32World final : public World {
 public:
  // `registryView`: 0 for the build's own view, or the access flag of another view.
  explicit Win32World(unsigned long registryView = 0);
  ~Win32World() override;

  void SetMachineValue(const std::string& keyPath, const std::string& name, ValueType type,
                       const std::string& bytes) override;
  // Deletes a key under the local machine's root with its values (not its subkeys).
  void RemoveMachineKey(const std::string& keyPath);
  std::string WriteFile(const std::string& name, const std::string& bytes) override;
  std::string MissingFilePath() override;
  std::string NewDirectoryPath(const std::string& name) override;
  std::string MakeOrdinaryDirectory(const std::string& name) override;
  // The access list allows only the system, the administrators and the process's own
  // account.
  bool IsPrivate(const std::string& path) override;
  bool IsSystemOnly(const std::string& path) override;
  std::string MakeHardLink(const std::string& name, const std::string& target) override;
  std::string MakeLink(const std::string& name, const std::string& target, bool toDirectory) override;
  WindowHandle MakeWindow(const std::string& title, bool visible, WindowHandle owner) override;
  bool IsVisible(WindowHandle window) override;
  std::vector<int> ShowCommands(WindowHandle window) override;
  void DestroyWindows() override;
  void RunMessageLoop(std::uint32_t milliseconds) override;

 private:
  unsigned long registryView_;
  std::string directory_;
  std::vector<WindowHandle> windows_;
};

}  // namespace qbnotify::contract
