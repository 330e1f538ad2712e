// What every Platform implementation must do, checked with the same inputs and the same
// expected results on each: the Win32 platform runs these checks under Wine, the hosted
// platform natively. A World prepares what the checks read (registry values, files,
// windows) and runs the message loop, each in its implementation's own way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "tests/Tally.h"

namespace qbnotify::contract {

enum class ValueType { Text, ExpandableText, Number, Binary };

class World {
 public:
  virtual ~World() = default;

  // Stores a value under the local machine's root, in the registry view that the platform
  // reads, creating the key. `bytes` are stored exactly as given (a text's NUL included only
  // when it is part of `bytes`).
  virtual void SetMachineValue(const std::string& keyPath, const std::string& name, ValueType type,
                               const std::string& bytes) = 0;

  // Writes a file and answers its path in the form that the platform takes.
  virtual std::string WriteFile(const std::string& name, const std::string& bytes) = 0;
  // A path, in the same form, of a file that does not exist.
  virtual std::string MissingFilePath() = 0;
  // A path, in the Windows form that the platform's file operations take, of a directory
  // that does not exist yet, in a directory that does.
  virtual std::string NewDirectoryPath(const std::string& name) = 0;
  // Makes a directory with the system's ordinary access (others may read it) and answers
  // its path as NewDirectoryPath does.
  virtual std::string MakeOrdinaryDirectory(const std::string& name) = 0;
  // Whether only the process's own account, the administrators and the system can open the
  // file or directory (Windows: its access list, read back, protected from inheritance).
  virtual bool IsPrivate(const std::string& path) = 0;
  // Whether only the system and the administrators can (Windows: exactly their two entries,
  // protected) or only its owner (hosted), as NarrowAccess without the own account leaves it.
  virtual bool IsSystemOnly(const std::string& path) = 0;
  // Makes a second name `name` (beside NewDirectoryPath's) of the file `target`; empty when
  // the system cannot.
  virtual std::string MakeHardLink(const std::string& name, const std::string& target) = 0;
  // Makes a symbolic link `name` (beside NewDirectoryPath's) to `target` and answers its
  // path; empty when the system cannot make one (the link checks are then left out).
  virtual std::string MakeLink(const std::string& name, const std::string& target, bool toDirectory) = 0;

  // Makes a top-level window (owner 0) or a pop-up owned by `owner`, with a title in the ANSI
  // code page.
  virtual WindowHandle MakeWindow(const std::string& title, bool visible, WindowHandle owner) = 0;
  virtual bool IsVisible(WindowHandle window) = 0;
  // The show commands (kShowHide, kShowShow) that took effect on the window since it was made.
  virtual std::vector<int> ShowCommands(WindowHandle window) = 0;
  virtual void DestroyWindows() = 0;

  // Lets the timers of the calling thread tick as the message loop would over `milliseconds`
  // (at least once for a timer whose period is shorter).
  virtual void RunMessageLoop(std::uint32_t milliseconds) = 0;
};

// Runs every contract check against `platform`, counting them in `tally`.
void RunPlatformContract(Platform& platform, World& world, check::Tally& tally);

// The groups, for running one at a time.
void CheckRegistry(Platform& platform, World& world, check::Tally& tally);
void CheckProfileReading(Platform& platform, World& world, check::Tally& tally);
void CheckCodePage(Platform& platform, check::Tally& tally);
void CheckWindows(Platform& platform, World& world, check::Tally& tally);
void CheckRestorePass(Platform& platform, World& world, check::Tally& tally);
void CheckTimers(Platform& platform, World& world, check::Tally& tally);
void CheckFiles(Platform& platform, World& world, check::Tally& tally);

}  // namespace qbnotify::contract
