// The library's own directories (the spool and the state directory): what is refused or
// moved aside, and the state files' durability, checksum and bounds.
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <fstream>

#include "TestSupport.h"
#include "platform/PlatformWrapper.h"
#include "store/OwnDirectory.h"
#include "store/StateDirectory.h"

namespace qbnotify {
namespace {

namespace fs = std::filesystem;

class OwnDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(Install() / "Data");
    test::SetInstallPath(session_, Install().string());
    platform_.State() = session_;
  }
  fs::path Install() const { return dir_.Path() / "install"; }
  fs::path Data() const { return Install() / "Data"; }
  std::string WindowsPath(const fs::path& path) const {
    return (dir_.Path() / "install").string() + "\\Data\\" + path.filename().string();
  }
  // Entries of Data named "<leaf>.untrusted-*".
  int MovedAside(const std::string& leaf) const {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(Data()))
      if (entry.path().filename().string().rfind(leaf + ".untrusted-", 0) == 0) ++count;
    return count;
  }

  test::TempDir dir_;
  hosted::Session session_;
  hosted::HostedPlatform platform_{hosted::Session{}};
};

// The account that owns a planted directory: another user of the machine.
uid_t OtherUser() {
  const passwd* nobody = ::getpwnam("nobody");
  return nobody ? nobody->pw_uid : 65534;
}

TEST_F(OwnDirectoryTest, ADirectoryThatIsNotTheLibrarysOwnIsMovedAsideAndNeverRead) {
  if (::geteuid() != 0) GTEST_SKIP() << "planting another user's directory needs root";
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> plant;
    bool readable;  // whether a planted file would otherwise have been read
  } cases[] = {
      {"another user's directory",
       [](const fs::path& path) {
         fs::create_directory(path);
         ASSERT_EQ(::chown(path.c_str(), OtherUser(), OtherUser()), 0);
       },
       true},
      {"a link to another user's directory",
       [this](const fs::path& path) {
         const fs::path target = dir_.Path() / "elsewhere";
         fs::create_directory(target);
         ASSERT_EQ(::chown(target.c_str(), OtherUser(), OtherUser()), 0);
         fs::create_directory_symlink(target, path);
       },
       true},
      {"a link to a directory of our own",
       [this](const fs::path& path) {
         const fs::path target = dir_.Path() / "ours";
         fs::create_directory(target);
         fs::create_directory_symlink(target, path);
       },
       true},
      {"a file", [](const fs::path& path) { std::ofstream(path) << "x"; }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = Data() / "State";
    fs::remove_all(Data());
    fs::create_directories(Data());
    fs::remove_all(dir_.Path() / "elsewhere");
    fs::remove_all(dir_.Path() / "ours");
    c.plant(path);
    if (c.readable) std::ofstream(path / "forged.state") << EncodeStateFile("forged");
    const fs::path target = fs::is_symlink(path) ? fs::read_symlink(path) : fs::path();
    const auto targetMode = target.empty() ? fs::perms::none : fs::status(target).permissions();
    const std::uint64_t before = UntrustedDirectoriesFound();

    StateDirectory state(platform_, WindowsPath(path));
    EXPECT_EQ(state.Read("forged"), std::nullopt);  // moved aside, not read
    EXPECT_EQ(MovedAside("State"), 1);
    EXPECT_FALSE(fs::exists(path));  // not made by a read
    EXPECT_TRUE(state.Write("kept", "ours"));
    EXPECT_EQ(state.Read("kept"), "ours");
    EXPECT_EQ(state.Read("forged"), std::nullopt);
    EXPECT_FALSE(fs::is_symlink(path));
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(UntrustedDirectoriesFound(), before + 1);
    if (!target.empty()) {
      EXPECT_EQ(fs::status(target).permissions(), targetMode);  // untouched
    }
  }
}

TEST_F(OwnDirectoryTest, TheLibrarysOwnDirectoryIsNarrowedNotMoved) {
  const std::string path = WindowsPath(Data() / "State");
  fs::create_directory(Data() / "State");
  fs::permissions(Data() / "State", fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
  // Our own, merely readable by others: narrowed, not moved.
  EXPECT_EQ(EnsureOwnDirectory(platform_, path, false).state, OwnDirectoryState::Ready);
  EXPECT_EQ(fs::status(Data() / "State").permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(MovedAside("State"), 0);
  EXPECT_EQ(DescribeOwnDirectoryProblem(platform_, path), "");
  // Writable by others, whatever it holds may be theirs: moved aside.
  fs::permissions(Data() / "State", fs::perms::owner_all | fs::perms::others_all);
  EXPECT_EQ(DescribeOwnDirectoryProblem(platform_, path), "other accounts may change what it holds");
  EXPECT_EQ(EnsureOwnDirectory(platform_, path, false).state, OwnDirectoryState::MovedAside);
  EXPECT_EQ(MovedAside("State"), 1);
  fs::create_directory(Data() / "State");
  fs::permissions(Data() / "State", fs::perms::owner_all);
  fs::remove(Data() / "State");
  EXPECT_EQ(EnsureOwnDirectory(platform_, path, false).state, OwnDirectoryState::Missing);
  // A parent that does not exist: nothing can be made.
  EXPECT_EQ(EnsureOwnDirectory(platform_, (dir_.Path() / "absent").string() + "\\Data\\State", true).state,
            OwnDirectoryState::Refused);
  fs::create_directory_symlink(dir_.Path(), Data() / "State");
  EXPECT_EQ(DescribeOwnDirectoryProblem(platform_, path), "a link or junction, not a directory");
}

// The tree from the root down to State: usable only while no other account can remove,
// rename, replace or re-own a folder on the way or change its access, and Data grants others
// nothing. Whatever is refused is left as it was found, and the doctor's look says where.
TEST_F(OwnDirectoryTest, TheStateTreeIsUsedOnlyWhileNoOtherAccountCanChangeIt) {
  const bool root = ::geteuid() == 0;
  const fs::path top = dir_.Path();
  const fs::perms open = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                         fs::perms::others_read | fs::perms::others_exec;
  const auto mode = [](const fs::path& path, unsigned bits) { ASSERT_EQ(::chmod(path.c_str(), bits), 0); };
  struct Case {
    const char* name;
    std::function<void()> plant;
    const char* refusedAt;  // the folder the refusal names (a suffix of it); nullptr: usable
    bool needsRoot = false;
  } cases[] = {
      {"every folder as it should be", [] {}, nullptr},
      {"Data missing: made private, both levels", [&] { fs::remove_all(Data()); }, nullptr},
      {"Data readable by others: narrowed", [&] { mode(Data(), 0755); }, nullptr},
      {"Data writable by others", [&] { mode(Data(), 0777); }, "Data"},
      {"Data writable by its group", [&] { mode(Data(), 0770); }, "Data"},
      {"the install path writable by others", [&] { mode(Install(), 0777); }, "Data"},
      {"the install path sticky and writable by others", [&] { mode(Install(), 01777); }, "Data"},
      {"a sticky folder above the install path, as /tmp", [&] { mode(top, 01777); }, nullptr},
      {"a folder above writable by others, not sticky", [&] { mode(top, 0777); }, "install"},
      {"Data a link to a private folder of ours",
       [&] {
         fs::remove_all(Data());
         fs::create_directory(top / "elsewhere");
         mode(top / "elsewhere", 0700);
         fs::create_directory_symlink(top / "elsewhere", Data());
       },
       "Data"},
      {"Data owned by another account",
       [&] { ASSERT_EQ(::chown(Data().c_str(), OtherUser(), OtherUser()), 0); }, "Data", true},
      {"a folder above owned by another account",
       [&] { ASSERT_EQ(::chown(Install().c_str(), OtherUser(), OtherUser()), 0); }, "install", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needsRoot && !root) continue;
    fs::permissions(top, open);
    fs::remove_all(Install());
    fs::remove_all(top / "elsewhere");
    fs::create_directories(Data());
    fs::permissions(Install(), open);
    fs::permissions(Data(), fs::perms::owner_all);
    c.plant();
    const auto before = [](const fs::path& p) { return fs::symlink_status(p).permissions(); };
    const fs::perms dataBefore = before(Data());
    const std::string state = WindowsPath(Data() / "State");

    const OwnDirectoryCheck check = EnsureOwnDirectory(platform_, state, true);
    StateDirectory directory(platform_, state);
    if (!c.refusedAt) {
      EXPECT_EQ(check.state, OwnDirectoryState::Ready) << check.problem;
      EXPECT_TRUE(directory.Write("kept", "ours"));
      EXPECT_EQ(directory.Read("kept"), "ours");
      for (const fs::path& made : {Data(), Data() / "State"})
        EXPECT_EQ(fs::status(made).permissions() & fs::perms::all, fs::perms::owner_all) << made;
      EXPECT_EQ(DescribeOwnDirectoryProblem(platform_, state), "");
      continue;
    }
    EXPECT_EQ(check.state, OwnDirectoryState::Refused);
    // Named with either separator: the library's path or the folder as the system walked it.
    const auto names = [&](const std::string& text) {
      return text.find("\\" + std::string(c.refusedAt) + ":") != std::string::npos ||
             text.find("/" + std::string(c.refusedAt) + ":") != std::string::npos;
    };
    EXPECT_TRUE(names(check.problem)) << check.problem;
    EXPECT_FALSE(directory.Write("kept", "ours"));
    EXPECT_EQ(directory.Read("kept"), std::nullopt);
    EXPECT_FALSE(fs::exists(Data() / "State"));  // nothing made there
    EXPECT_FALSE(fs::exists(top / "elsewhere" / "State"));
    EXPECT_EQ(before(Data()), dataBefore);  // nor narrowed
    const std::string said = DescribeOwnDirectoryProblem(platform_, state);
    EXPECT_TRUE(names(said)) << said;
  }
  fs::permissions(top, open);
}

// A platform that, once the library has looked at `swapped`, puts a link to `target` in its
// place: what an attacker racing the checks would do.
class SwappingPlatform final : public PlatformWrapper {
 public:
  SwappingPlatform(Platform& target, fs::path swapped, fs::path linkTarget, std::string watched)
      : PlatformWrapper(target), swapped_(std::move(swapped)), target_(std::move(linkTarget)), watched_(std::move(watched)) {}
  PathInfo InspectPath(std::string_view path) override {
    PathInfo info = PlatformWrapper::InspectPath(path);
    if (path == watched_ && !done_) {
      done_ = true;
      fs::remove_all(swapped_);
      fs::create_directory_symlink(target_, swapped_);
    }
    return info;
  }

 private:
  fs::path swapped_, target_;
  std::string watched_;
  bool done_ = false;
};

TEST_F(OwnDirectoryTest, ALinkPutInPlaceOfDataOrStateBetweenTheChecksIsNeverFollowed) {
  const fs::path victim = dir_.Path() / "victim";
  for (const fs::path& swapped : {Data(), Data() / "State"}) {
    SCOPED_TRACE(swapped.filename().string());
    fs::remove_all(Install());
    fs::remove_all(victim);
    fs::create_directories(Data());
    fs::permissions(Data(), fs::perms::owner_all);
    fs::create_directory(victim);
    fs::permissions(victim, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    std::ofstream(victim / "kept.state") << EncodeStateFile("the victim's");
    const std::string watched = swapped == Data() ? Install().string() + "\\Data" : WindowsPath(swapped);
    SwappingPlatform platform(platform_, swapped, victim, watched);
    StateDirectory state(platform, WindowsPath(Data() / "State"));
    EXPECT_FALSE(state.Write("kept", "ours"));
    EXPECT_EQ(state.Read("kept"), std::nullopt);
    // The link's target is as it was: no folder made in it, no access changed, nothing read.
    EXPECT_FALSE(fs::exists(victim / "State"));
    EXPECT_EQ(fs::status(victim).permissions() & fs::perms::all,
              fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    EXPECT_EQ(fs::file_size(victim / "kept.state"), EncodeStateFile("the victim's").size());
  }
}

// As a second, unprivileged account: the state tree and a narrowed settings file are out of
// its reach, while the same commands succeed on what is left open (so that a refusal is the
// protection's, not the harness's).
TEST_F(OwnDirectoryTest, AnotherAccountCanNeitherReadTheSettingsNorChangeTheStateTree) {
  if (const std::optional<std::string> why = test::CannotRunAsNobody()) GTEST_SKIP() << *why;
  const auto asNobody = test::RunAsNobody;
  const fs::perms open = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                         fs::perms::others_read | fs::perms::others_exec;
  fs::permissions(dir_.Path(), open);
  fs::permissions(Install(), open);
  fs::create_directories(Data() / "CONFIG");
  fs::permissions(Data(), open);
  fs::permissions(Data() / "CONFIG", open);
  const fs::path settings = Data() / "CONFIG" / "TavDbCnn.dat";
  std::ofstream(settings) << "[DSConnection]\nDSPSW=c2VjcmV0\n";
  fs::permissions(settings, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
  ASSERT_EQ(asNobody("cat " + settings.string()), 0);  // the control: open, it is read

  ASSERT_EQ(platform_.NarrowAccess(settings.string(), false), FileResult::Ok);
  for (const fs::path& folder : {Data(), Data() / "CONFIG"})
    ASSERT_EQ(platform_.NarrowAccess(folder.string(), false), FileResult::Ok);
  StateDirectory state(platform_, WindowsPath(Data() / "State"));
  ASSERT_TRUE(state.Write("kept", "ours"));
  const std::string stateDir = (Data() / "State").string();
  const std::string files[] = {
      "cat " + settings.string(),
      "echo x >>" + settings.string(),
      "ls " + Data().string(),
      "mv " + stateDir + " " + Data().string() + "/Old",
      "mv " + Data().string() + " " + Install().string() + "/Old",
      "touch " + stateDir + "/forged.state",
      "rm -f " + stateDir + "/kept.state",
      "chmod 777 " + stateDir,
  };
  for (const std::string& command : files) EXPECT_NE(asNobody(command), 0) << command;
  EXPECT_EQ(state.Read("kept"), "ours");
  EXPECT_EQ(platform_.GuardPath(settings.string(), Data().string()).safe, true);
}

TEST_F(OwnDirectoryTest, NoInstallPathMeansNoOwnDirectory) {
  const struct {
    std::optional<std::string> installPath;
    std::optional<std::string> expected;
  } cases[] = {
      {std::nullopt, std::nullopt},
      {"", std::nullopt},
      {"C:\\TAV", "C:\\TAV\\Data\\State"},
      {"C:\\", "C:\\Data\\State"},
  };
  for (const auto& c : cases) {
    hosted::Session session;
    if (c.installPath) test::SetInstallPath(session, *c.installPath);
    else
      session.registry["SOFTWARE\\Quillbrook\\TAV"] = {};
    platform_.State() = session;
    EXPECT_EQ(OwnDirectoryPath(platform_, "State"), c.expected) << c.installPath.value_or("(none)");
  }
  platform_.State() = hosted::Session{};
  EXPECT_FALSE(StateDirectory::Locate(platform_));
}

TEST_F(OwnDirectoryTest, AStateFileIsReadBackOnlyWhenWholeAndUnchanged) {
  StateDirectory state(platform_, WindowsPath(Data() / "State"));
  EXPECT_EQ(state.Read("deny"), std::nullopt);  // missing
  ASSERT_TRUE(state.Write("deny", "until 12:00"));
  EXPECT_EQ(state.Read("deny"), "until 12:00");
  ASSERT_TRUE(state.Write("deny", std::string("\0\xD6\xD0", 3)));
  EXPECT_EQ(state.Read("deny"), std::string("\0\xD6\xD0", 3));

  const fs::path file = Data() / "State" / "deny.state";
  const std::string good = EncodeStateFile("abc");
  const struct {
    const char* what;
    std::string bytes;
  } bad[] = {
      {"empty", ""},
      {"cut", good.substr(0, good.size() - 1)},
      {"longer", good + "d"},
      {"a flipped byte", good.substr(0, good.size() - 1) + "x"},
      {"another magic", "QBSTATE 2" + good.substr(9)},
      {"no header", "abc"},
  };
  for (const auto& c : bad) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << c.bytes;
    EXPECT_EQ(state.Read("deny"), std::nullopt) << c.what;
  }
  std::ofstream(file, std::ios::binary | std::ios::trunc) << good;
  EXPECT_EQ(state.Read("deny"), "abc");

  // Bounded, and the names are plain.
  EXPECT_TRUE(state.Write("big", std::string(kMaxStateBytes, 'x')));
  EXPECT_EQ(state.Read("big")->size(), kMaxStateBytes);
  EXPECT_FALSE(state.Write("big", std::string(kMaxStateBytes + 1, 'x')));
  EXPECT_EQ(state.Read("big")->size(), kMaxStateBytes);  // kept what it held
  for (const char* name : {"", "..\\x", "a.b", "a/b", "x\\y"}) EXPECT_FALSE(state.Write(name, "x")) << name;
  EXPECT_TRUE(state.Remove("big"));
  EXPECT_EQ(state.Read("big"), std::nullopt);

  // A link in a file's place is not followed.
  std::ofstream(dir_.Path() / "outside") << good;
  fs::remove(file);
  fs::create_symlink(dir_.Path() / "outside", file);
  EXPECT_EQ(state.Read("deny"), std::nullopt);
}

TEST_F(OwnDirectoryTest, TemporaryFilesGoWhenTheirWriterHasEnded) {
  StateDirectory state(platform_, WindowsPath(Data() / "State"));
  ASSERT_TRUE(state.Write("a", "1"));
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  ::waitpid(child, nullptr, 0);
  const fs::path dir = Data() / "State";
  const std::string gone = "a.state." + std::to_string(child) + "-1.tmp";
  const std::string mine = "a.state." + std::to_string(::getpid()) + "-1.tmp";
  const std::string running = "a.state.1-1.tmp";  // process 1 always runs
  for (const std::string& name : {gone, mine, running}) std::ofstream(dir / name) << "half";
  // However old they look: age decides nothing.
  fs::last_write_time(dir / running, fs::last_write_time(dir / running) - std::chrono::hours(24));
  ASSERT_TRUE(state.Write("a", "2"));
  EXPECT_FALSE(fs::exists(dir / gone));
  EXPECT_TRUE(fs::exists(dir / mine));
  EXPECT_TRUE(fs::exists(dir / running));

  EXPECT_EQ(TemporaryFileWriter("x.row.123-4.tmp"), 123u);
  for (const char* name : {"x.row", "x.tmp", "x.row.-4.tmp", "x.row.12a-4.tmp", ".1-.tmp"})
    EXPECT_EQ(TemporaryFileWriter(name), std::nullopt) << name;
}

}  // namespace
}  // namespace qbnotify
