// The platform contract over the hosted platform, built natively: the same checks, inputs
// and expected results that the Windows test program runs over the Win32 platform.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>

#include "platform/hosted/HostedPlatform.h"
#include "tests/wine/PlatformContract.h"

namespace qbnotify::contract {
namespace {

class HostedWorld final : public World {
 public:
  explicit HostedWorld(hosted::HostedPlatform& platform) : platform_(platform) {
    char pattern[] = "/tmp/qbnotify-contract-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("cannot make a temporary directory");
    directory_ = pattern;
  }
  ~HostedWorld() override {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }

  void SetMachineValue(const std::string& keyPath, const std::string& name, ValueType type,
                       const std::string& bytes) override {
    // The hosted registry holds what a read finds: texts up to their first NUL.
    RegistryValue value{RegistryStatus::OtherType, {}};
    if (type == ValueType::Text || type == ValueType::ExpandableText)
      value = RegistryValue{RegistryStatus::Text, bytes.substr(0, bytes.find('\0'))};
    platform_.State().registry[keyPath][name] = value;
  }

  std::string WriteFile(const std::string& name, const std::string& bytes) override {
    const std::string path = directory_ + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  std::string MissingFilePath() override { return directory_ + "/absent/missing.ini"; }
  // With a backslash, as the library writes its paths: the platform maps it.
  std::string NewDirectoryPath(const std::string& name) override { return directory_ + "\\" + name; }
  std::string MakeOrdinaryDirectory(const std::string& name) override {
    const std::string path = NewDirectoryPath(name);
    ::mkdir(hosted::HostPath(path).c_str(), 0755);
    return path;
  }
  std::string MakeLink(const std::string& name, const std::string& target, bool) override {
    const std::string path = NewDirectoryPath(name);
    return ::symlink(hosted::HostPath(target).c_str(), hosted::HostPath(path).c_str()) == 0 ? path : std::string();
  }
  bool IsPrivate(const std::string& path) override {
    struct stat status {};
    return ::stat(hosted::HostPath(path).c_str(), &status) == 0 && (status.st_mode & 077) == 0;
  }
  bool IsSystemOnly(const std::string& path) override { return IsPrivate(path); }
  std::string MakeHardLink(const std::string& name, const std::string& target) override {
    const std::string path = NewDirectoryPath(name);
    return ::link(hosted::HostPath(target).c_str(), hosted::HostPath(path).c_str()) == 0 ? path : std::string();
  }

  WindowHandle MakeWindow(const std::string& title, bool visible, WindowHandle owner) override {
    const WindowHandle handle = nextWindow_++;
    platform_.State().windows.push_back(hosted::Window{handle, title, visible, owner});
    madeAtEffect_[handle] = platform_.Effects().size();
    return handle;
  }
  bool IsVisible(WindowHandle window) override {
    for (const hosted::Window& w : platform_.State().windows)
      if (w.handle == window) return w.visible;
    return false;
  }
  std::vector<int> ShowCommands(WindowHandle window) override {
    std::vector<int> commands;
    const auto& effects = platform_.Effects();
    for (std::size_t i = madeAtEffect_[window]; i < effects.size(); ++i)
      if (const auto* command = std::get_if<hosted::WindowCommand>(&effects[i]); command && command->window == window)
        commands.push_back(command->command);
    return commands;
  }
  void DestroyWindows() override { platform_.State().windows.clear(); }

  // The host's message loop delivers one round of ticks between notifications.
  void RunMessageLoop(std::uint32_t) override { platform_.DeliverTimerTicks(); }

 private:
  hosted::HostedPlatform& platform_;
  std::string directory_;
  WindowHandle nextWindow_ = 0x100;
  std::map<WindowHandle, std::size_t> madeAtEffect_;
};

}  // namespace
}  // namespace qbnotify::contract

int main() {
  using namespace qbnotify;
  check::Tally tally;
  hosted::HostedPlatform platform(hosted::Session{});
  try {
    contract::HostedWorld world(platform);
    contract::RunPlatformContract(platform, world, tally);
  } catch (const std::exception& failure) {
    tally.Record(false, __FILE__, __LINE__, std::string("raised: ") + failure.what());
  }
  return tally.Finish();
}
