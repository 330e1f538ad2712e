// The settings tool's file access: a written file is private from the start, a rewritten open
// one is narrowed, and protect narrows an install without following a link.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "TestSupport.h"
#include "tools/qbnotify-settings/SettingsAccess.h"

namespace qbnotify {
namespace {

namespace fs = std::filesystem;

unsigned Mode(const fs::path& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

std::string Content(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(SettingsAccess, AWrittenSettingsFileIsPrivateFromTheStartAndARewrittenOneIsNarrowed) {
  test::TempDir dir;
  fs::permissions(dir.Path(), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
  const fs::path file = dir.Path() / "install" / "Data" / "CONFIG" / "TavDbCnn.dat";
  tools::WritePrivateSettingsFile(file.string(), "[DSConnection]\nDSPSW=c2VjcmV0\n");
  EXPECT_EQ(Mode(file), 0600u);
  EXPECT_EQ(Mode(file.parent_path()), 0700u);                // CONFIG, made by the tool
  EXPECT_EQ(Mode(file.parent_path().parent_path()), 0700u);  // Data too
  // An open file, rewritten: replaced by a private one, with the new content.
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
  tools::WritePrivateSettingsFile(file.string(), "[DSConnection]\nDSPSW=bmV3\n");
  EXPECT_EQ(Mode(file), 0600u);
  EXPECT_EQ(Content(file), "[DSConnection]\nDSPSW=bmV3\n");
  if (test::CannotRunAsNobody()) return;
  fs::permissions(file.parent_path(), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(file.parent_path().parent_path(), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
  const fs::path control = file.parent_path() / "control";
  std::ofstream(control) << "open";
  fs::permissions(control, fs::perms::owner_read | fs::perms::others_read);
  EXPECT_EQ(test::RunAsNobody("cat " + control.string()), 0);  // the harness reaches what is open
  EXPECT_NE(test::RunAsNobody("cat " + file.string()), 0);
}

TEST(SettingsAccess, ProtectNarrowsAnInstallAndNamesWhatIsLeft) {
  test::TempDir dir;
  const fs::path install = dir.Path() / "install";
  const fs::path data = install / "Data";
  const fs::path settings = data / "CONFIG" / "TavDbCnn.dat";
  const fs::path victim = dir.Path() / "victim";
  struct Case {
    const char* name;
    std::function<void()> plant;
    int problems;
  } cases[] = {
      {"an install open to others", [] {}, 0},
      {"State a link to a folder elsewhere",
       [&] {
         fs::remove_all(data / "State");
         fs::create_directory_symlink(victim, data / "State");
       },
       2},  // refused, and named again as a path another account could have made
      {"the install path writable by others", [&] { ::chmod(install.c_str(), 0777); }, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(install);
    fs::remove_all(victim);
    fs::create_directories(data / "CONFIG");
    fs::create_directories(data / "State");
    fs::create_directories(data / "Spool");
    fs::create_directory(victim);
    std::ofstream(settings) << "[DSConnection]\n";
    for (const fs::path& open : {install, data, data / "CONFIG", data / "State", data / "Spool", victim})
      ::chmod(open.c_str(), 0755);
    ::chmod(data.c_str(), 0777);
    ::chmod(settings.c_str(), 0644);
    c.plant();
    std::ostringstream out;
    EXPECT_EQ(tools::ProtectInstall(install.string(), out), c.problems) << out.str();
    EXPECT_EQ(Mode(settings), 0600u);
    for (const fs::path& narrowed : {data, data / "CONFIG", data / "Spool"}) EXPECT_EQ(Mode(narrowed), 0700u) << narrowed;
    EXPECT_EQ(Mode(victim), 0755u);  // a link's target is never changed
  }
}

}  // namespace
}  // namespace qbnotify
