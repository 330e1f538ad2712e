#include "tests/wine/PlatformContract.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "environment/Calendar.h"
#include "notify/QBNotifyMain.h"

namespace qbnotify::contract {
namespace {

#define CHECK(condition) QB_CHECK(tally, condition)
#define CHECK_EQ(actual, expected) QB_CHECK_EQ(tally, actual, expected)

// GBK texts: "中文" (two double-byte characters) and full-width, Greek and Cyrillic small
// letters with their capitals.
const std::string kChinese = "\xD6\xD0\xCE\xC4";

constexpr const char* kKey = "SOFTWARE\\QBNotifyContract\\Product";

std::string Status(RegistryStatus status) {
  switch (status) {
    case RegistryStatus::KeyMissing: return "KeyMissing";
    case RegistryStatus::ValueMissing: return "ValueMissing";
    case RegistryStatus::Text: return "Text";
    case RegistryStatus::OtherType: return "OtherType";
  }
  return "?";
}

std::string Read(Platform& platform, const char* key, const char* name) {
  const RegistryValue value = platform.ReadMachineRegistryString(key, name);
  return value.status == RegistryStatus::Text ? "Text:" + value.text : Status(value.status);
}

}  // namespace

void CheckRegistry(Platform& platform, World& world, check::Tally& tally) {
  tally.Group("registry");
  using namespace std::string_literals;
  world.SetMachineValue(kKey, "Plain", ValueType::Text, "C:\\TAV\0"s);
  world.SetMachineValue(kKey, "Expandable", ValueType::ExpandableText, "%SystemRoot%\\TAV\0"s);
  world.SetMachineValue(kKey, "CutAtNul", ValueType::Text, "C:\\TAV\0junk\0"s);
  world.SetMachineValue(kKey, "NoNul", ValueType::Text, "abc");
  world.SetMachineValue(kKey, "Empty", ValueType::Text, "\0"s);
  world.SetMachineValue(kKey, "Chinese", ValueType::Text, "D:\\" + kChinese + "\0"s);
  world.SetMachineValue(kKey, "Long", ValueType::Text, std::string(5000, 'L') + "\0"s);
  world.SetMachineValue(kKey, "Number", ValueType::Number, "\x01\0\0\0"s);
  world.SetMachineValue(kKey, "Bytes", ValueType::Binary, "C:\\TAV"s);

  CHECK_EQ(Read(platform, kKey, "Plain"), "Text:C:\\TAV");
  CHECK_EQ(Read(platform, "software\\qbnotifycontract\\PRODUCT", "plain"), "Text:C:\\TAV");  // names without case
  CHECK_EQ(Read(platform, kKey, "Expandable"), "Text:%SystemRoot%\\TAV");                    // not expanded
  CHECK_EQ(Read(platform, kKey, "CutAtNul"), "Text:C:\\TAV");
  CHECK_EQ(Read(platform, kKey, "NoNul"), "Text:abc");
  CHECK_EQ(Read(platform, kKey, "Empty"), "Text:");
  CHECK_EQ(Read(platform, kKey, "Chinese"), "Text:D:\\" + kChinese);
  CHECK_EQ(Read(platform, kKey, "Long"), "Text:" + std::string(5000, 'L'));
  CHECK_EQ(Read(platform, kKey, "Number"), "OtherType");
  CHECK_EQ(Read(platform, kKey, "Bytes"), "OtherType");
  CHECK_EQ(Read(platform, kKey, "Absent"), "ValueMissing");
  CHECK_EQ(Read(platform, "SOFTWARE\\QBNotifyContract\\Absent", "Plain"), "KeyMissing");
  // A key is opened, never created: a second read still finds nothing.
  CHECK_EQ(Read(platform, "SOFTWARE\\QBNotifyContract\\Absent", "Plain"), "KeyMissing");
}

void CheckProfileReading(Platform& platform, World& world, check::Tally& tally) {
  tally.Group("profile");
  const std::string path = world.WriteFile("contract.ini",
                                           "; settings\r\n"
                                           "[Connection]\r\n"
                                           "Host = db.example:3307   \r\n"
                                           "  Spaced Key  =  v  \r\n"
                                           "Quoted=\"  kept blanks  \"\r\n"
                                           "Single='single'\r\n"
                                           "Empty=\r\n"
                                           "Chinese=" + kChinese + "\r\n"
                                           "Long=" + std::string(3000, 'h') + "\r\n"
                                           "Tabs=\tt\t\r\n"
                                           "Half=\"open\r\n"
                                           "Inner= a \"b\" c \r\n"
                                           "NoEquals\r\n"
                                           "[ Other ]\r\n"
                                           "Host=other\r\n"
                                           "[connection]\r\n"
                                           "Second=only the first section of a name is read\r\n");
  struct Case {
    const char* section;
    const char* key;
    const char* fallback;
    std::size_t buffer;
    std::string expected;
  } cases[] = {
      {"Connection", "Host", "dflt", 2048, "db.example:3307"},
      {"CONNECTION", "host", "dflt", 2048, "db.example:3307"},  // names without case
      {"Other", "Host", "dflt", 2048, "other"},
      {"Connection", "Spaced Key", "dflt", 2048, "v"},
      {"Connection", "Quoted", "dflt", 2048, "  kept blanks  "},  // one pair of quotes removed
      {"Connection", "Single", "dflt", 2048, "single"},
      {"Connection", "Empty", "dflt", 2048, ""},                  // present and empty: not the default
      {"Connection", "Chinese", "", 2048, kChinese},
      {"Connection", "Absent", "dflt", 2048, "dflt"},
      {"Absent", "Host", "dflt", 2048, "dflt"},
      {"Connection", "Host", "dflt", 5, "db.e"},                  // the buffer keeps size - 1 bytes
      {"Absent", "Host", "default", 4, "def"},
      {"Connection", "Long", "", 2048, std::string(2047, 'h')},
      {"Connection", "Tabs", "dflt", 2048, "t"},
      {"Connection", "Half", "dflt", 2048, "\"open"},
      {"Connection", "Inner", "dflt", 2048, "a \"b\" c"},
      {"Connection", "NoEquals", "dflt", 2048, "dflt"},
      {"Connection", "Second", "dflt", 2048, "dflt"},
  };
  for (const Case& c : cases) {
    tally.Group(std::string("profile ") + c.section + "/" + c.key);
    CHECK_EQ(platform.ReadProfileString(c.section, c.key, c.fallback, path, c.buffer), c.expected);
  }
  tally.Group("profile missing file");
  CHECK_EQ(platform.ReadProfileString("Connection", "Host", "dflt", world.MissingFilePath(), 2048), "dflt");
  CHECK_EQ(platform.ReadProfileString("Connection", "Host", "", world.MissingFilePath(), 2048), "");
}

void CheckCodePage(Platform& platform, check::Tally& tally) {
  tally.Group("NextChar");
  // Steps over "a", "中", "文", "b", then 0x80 (a single byte in this code page), a lead
  // byte whose second byte is an ASCII letter, and a lead byte followed by the end.
  const char text[] = "a\xD6\xD0\xCE\xC4" "b\x80\xD6z\xD6";
  const std::vector<std::ptrdiff_t> expected = {1, 3, 5, 6, 7, 9, 10, 10};
  std::vector<std::ptrdiff_t> steps;
  const char* at = text;
  for (int i = 0; i < 8; ++i) steps.push_back((at = platform.NextChar(at)) - text);
  CHECK(steps == expected);
  const char empty[] = "";
  CHECK(platform.NextChar(empty) == empty);

  tally.Group("UpperCaseBuffer");
  struct Case {
    std::string text;
    std::size_t length;
    std::string expected;
  } cases[] = {
      {"kevshell.exe /n:app1", 20, "KEVSHELL.EXE /N:APP1"},
      {"abcd", 2, "ABcd"},                                       // only `length` bytes
      {"x" + kChinese + "y", 6, "X" + kChinese + "Y"},            // other characters unchanged
      {"\xD6z", 2, "\xD6z"},                                     // a second byte is never a letter
      {"\xA3\xE1\xA3\xFA", 4, "\xA3\xC1\xA3\xDA"},               // full-width a, z
      {"\xA6\xC1\xA7\xD1", 4, "\xA6\xA1\xA7\xA1"},               // Greek alpha, Cyrillic a
  };
  for (Case& c : cases) {
    std::string buffer = c.text;
    platform.UpperCaseBuffer(buffer.data(), c.length);
    CHECK_EQ(buffer, c.expected);
  }
}

void CheckWindows(Platform& platform, World& world, check::Tally& tally) {
  tally.Group("windows");
  const WindowHandle top = world.MakeWindow(std::string(300, 't'), true, 0);
  const WindowHandle hidden = world.MakeWindow("hidden " + kChinese, false, 0);
  const WindowHandle popup = world.MakeWindow("popup", true, top);

  std::vector<WindowHandle> seen;
  platform.EnumerateTopLevelWindows([&](WindowHandle window) { seen.push_back(window); });
  for (WindowHandle window : {top, hidden, popup}) CHECK_EQ(std::count(seen.begin(), seen.end(), window), 1);

  // A failure raised by the visitor ends the enumeration and reaches the caller.
  int visits = 0;
  bool raised = false;
  try {
    platform.EnumerateTopLevelWindows([&](WindowHandle) {
      ++visits;
      throw std::runtime_error("visitor failed");
    });
  } catch (const std::runtime_error&) {
    raised = true;
  }
  CHECK(raised);
  CHECK_EQ(visits, 1);

  char title[255];
  std::memset(title, 'z', sizeof title);
  CHECK_EQ(platform.ReadWindowTitle(top, title, 255), 254);
  CHECK_EQ(std::string(title), std::string(254, 't'));
  CHECK_EQ(platform.ReadWindowTitle(hidden, title, 255), 11);
  CHECK_EQ(std::string(title), "hidden " + kChinese);
  std::memset(title, 'z', sizeof title);
  CHECK_EQ(platform.ReadWindowTitle(top, title, 1), 0);
  CHECK_EQ(title[0], '\0');

  CHECK((platform.ReadWindowStyle(top) & kStyleVisible) != 0);
  CHECK((platform.ReadWindowStyle(hidden) & kStyleVisible) == 0);
  CHECK_EQ(platform.ReadWindowParent(top), WindowHandle{0});
  CHECK_EQ(platform.ReadWindowParent(popup), top);

  platform.ShowWindowCommand(hidden, kShowShow);
  CHECK(world.IsVisible(hidden));
  CHECK((platform.ReadWindowStyle(hidden) & kStyleVisible) != 0);
  platform.ShowWindowCommand(hidden, kShowHide);
  CHECK(!world.IsVisible(hidden));

  // A window that has gone since it was enumerated.
  world.DestroyWindows();
  std::memset(title, 'z', sizeof title);
  CHECK_EQ(platform.ReadWindowTitle(top, title, 255), 0);
  CHECK_EQ(title[0], '\0');
}

void CheckRestorePass(Platform& platform, World& world, check::Tally& tally) {
  tally.Group("restore pass");
  const WindowHandle first = world.MakeWindow("first", true, 0);
  const WindowHandle second = world.MakeWindow("second " + kChinese, true, 0);
  const WindowHandle hidden = world.MakeWindow("hidden", false, 0);
  const WindowHandle owned = world.MakeWindow("owned", true, first);

  Instance instance(platform);
  int ticks = 0;
  instance.context.ReconnectTimer = platform.StartTimer(20, [&] { ++ticks; });
  RestoreWindows(instance);

  const std::vector<int> hideThenShow = {kShowHide, kShowShow};
  CHECK(world.ShowCommands(first) == hideThenShow);
  CHECK(world.ShowCommands(second) == hideThenShow);
  CHECK(world.ShowCommands(hidden).empty());
  CHECK(world.ShowCommands(owned).empty());
  CHECK(world.IsVisible(first) && world.IsVisible(second) && world.IsVisible(owned));
  CHECK(!world.IsVisible(hidden));
  // The pass stopped the reconnect timer.
  world.RunMessageLoop(100);
  CHECK_EQ(ticks, 0);
  world.DestroyWindows();
}

void CheckTimers(Platform& platform, World& world, check::Tally& tally) {
  tally.Group("timers");
  int firstTicks = 0;
  int secondTicks = 0;
  int selfStopping = 0;
  const TimerId first = platform.StartTimer(20, [&] { ++firstTicks; });
  const TimerId second = platform.StartTimer(20, [&] { ++secondTicks; });
  TimerId self = 0;
  self = platform.StartTimer(20, [&] {
    ++selfStopping;
    platform.StopTimer(self);
  });
  CHECK(first != 0 && second != 0 && self != 0);
  CHECK(first != second && second != self && first != self);
  CHECK_EQ(firstTicks + secondTicks + selfStopping, 0);  // ticks only come through the loop

  world.RunMessageLoop(150);
  CHECK(firstTicks >= 1);
  CHECK(secondTicks >= 1);
  CHECK_EQ(selfStopping, 1);

  platform.StopTimer(first);
  platform.StopTimer(first);            // stopped twice: nothing happens
  platform.StopTimer(TimerId{0x7FFF});  // unknown: nothing happens
  const int firstSoFar = firstTicks;
  const int secondSoFar = secondTicks;
  world.RunMessageLoop(150);
  CHECK_EQ(firstTicks, firstSoFar);
  CHECK(secondTicks > secondSoFar);
  CHECK_EQ(selfStopping, 1);

  platform.StopTimer(second);
}

namespace {

std::string Name(FileResult result) {
  switch (result) {
    case FileResult::Ok: return "Ok";
    case FileResult::NotFound: return "NotFound";
    case FileResult::AlreadyExists: return "AlreadyExists";
    case FileResult::TooLarge: return "TooLarge";
    case FileResult::Failed: return "Failed";
  }
  return "?";
}

// What a read found: "Ok:<bytes>" or the result's name.
std::string ReadBack(Platform& platform, const std::string& path, std::size_t limit = 1u << 20) {
  const FileContent content = platform.ReadWholeFile(path, limit);
  return content.result == FileResult::Ok ? "Ok:" + content.bytes : Name(content.result);
}

// The listing as "name:size" in name order, or the result's name.
std::string Listed(Platform& platform, const std::string& path) {
  DirectoryListing listing = platform.ListDirectory(path);
  if (listing.result != FileResult::Ok) return Name(listing.result);
  std::sort(listing.entries.begin(), listing.entries.end(),
            [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
  std::string text;
  for (const DirectoryEntry& entry : listing.entries) text += entry.name + ":" + std::to_string(entry.size) + " ";
  return text;
}

// The names ListNames gives, in name order, or the result's name.
std::string Names(Platform& platform, const std::string& path) {
  std::vector<std::string> names;
  const FileResult result = platform.ListNames(path, [&names](std::string_view name) {
    names.emplace_back(name);
    return true;
  });
  if (result != FileResult::Ok) return Name(result);
  std::sort(names.begin(), names.end());
  std::string text;
  for (const std::string& name : names) text += name + " ";
  return text;
}

}  // namespace

void CheckFiles(Platform& platform, World& world, check::Tally& tally) {
  tally.Group("files: private directory");
  const std::string dir = world.NewDirectoryPath("spool");
  CHECK_EQ(Listed(platform, dir), "NotFound");
  CHECK_EQ(Names(platform, dir), "NotFound");
  CHECK_EQ(Name(platform.MakePrivateDirectory(dir + "\\missing\\deeper")), "NotFound");  // parents are not made
  CHECK_EQ(Name(platform.MakePrivateDirectory(dir)), "Ok");
  CHECK(world.IsPrivate(dir));
  CHECK_EQ(Name(platform.MakePrivateDirectory(dir)), "Ok");  // already there
  CHECK_EQ(Listed(platform, dir), "");
  const std::string ordinary = world.MakeOrdinaryDirectory("ordinary");
  CHECK(!world.IsPrivate(ordinary));
  CHECK_EQ(Name(platform.MakePrivateDirectory(ordinary)), "Ok");  // narrowed
  CHECK(world.IsPrivate(ordinary));

  tally.Group("files: durable writes");
  const std::string a = dir + "\\a.row";
  using namespace std::string_literals;
  const std::string binary = "\0\xD6\xD0\xCE\xC4\r\n\xFF"s + std::string(100000, '\x5C');
  CHECK_EQ(Name(platform.WriteFileDurably(a, "first", false)), "Ok");
  CHECK(world.IsPrivate(a));  // as closed as its directory
  CHECK_EQ(Name(platform.WriteFileDurably(a, "second", false)), "AlreadyExists");
  CHECK_EQ(ReadBack(platform, a), "Ok:first");
  CHECK_EQ(Name(platform.WriteFileDurably(a, "second", true)), "Ok");
  CHECK_EQ(ReadBack(platform, a), "Ok:second");
  CHECK_EQ(Name(platform.WriteFileDurably(dir + "\\big.bin", binary, false)), "Ok");
  CHECK(ReadBack(platform, dir + "\\big.bin") == "Ok:" + binary);
  CHECK_EQ(Name(platform.WriteFileDurably(dir + "\\empty", "", false)), "Ok");
  CHECK_EQ(ReadBack(platform, dir + "\\empty"), "Ok:");
  CHECK_EQ(Name(platform.WriteFileDurably(dir + "\\absent\\x.row", "x", true)), "NotFound");
  // No temporary file is left behind, and subdirectories are not listed.
  CHECK_EQ(Name(platform.MakePrivateDirectory(dir + "\\sub")), "Ok");
  CHECK_EQ(Listed(platform, dir), "a.row:6 big.bin:100008 empty:0 ");
  CHECK_EQ(Names(platform, dir), "a.row big.bin empty ");
  int visits = 0;
  CHECK_EQ(Name(platform.ListNames(dir, [&visits](std::string_view) { return ++visits < 2; })), "Ok");
  CHECK_EQ(visits, 2);  // stopped where the visitor said so

  CHECK_EQ(Name(platform.FlushRenames(dir)), "Ok");
  CHECK_EQ(Name(platform.FlushRenames(dir + "\\absent")), "NotFound");
  const DirectoryListing listing = platform.ListDirectory(dir);
  for (const DirectoryEntry& entry : listing.entries) CHECK(entry.ageSeconds < 60);

  tally.Group("files: reading");
  CHECK_EQ(ReadBack(platform, a, 6), "Ok:second");
  CHECK_EQ(ReadBack(platform, a, 5), "TooLarge");
  CHECK_EQ(ReadBack(platform, dir + "\\absent.row"), "NotFound");
  CHECK_EQ(ReadBack(platform, world.MissingFilePath()), "NotFound");

  tally.Group("files: renames never replace");
  const std::string b = dir + "\\b.claim";
  CHECK_EQ(Name(platform.RenameWithoutReplacing(a, b)), "Ok");
  CHECK_EQ(Name(platform.RenameWithoutReplacing(a, dir + "\\c.claim")), "NotFound");  // taken by the first
  CHECK_EQ(Name(platform.WriteFileDurably(a, "third", false)), "Ok");
  CHECK_EQ(Name(platform.RenameWithoutReplacing(a, b)), "AlreadyExists");
  CHECK_EQ(ReadBack(platform, a), "Ok:third");
  CHECK_EQ(ReadBack(platform, b), "Ok:second");

  tally.Group("files: removing");
  CHECK_EQ(Name(platform.RemoveFile(b)), "Ok");
  CHECK_EQ(Name(platform.RemoveFile(b)), "NotFound");
  CHECK_EQ(Name(platform.MakePrivateDirectory(a)), "Failed");  // a file, not a directory
  for (const char* name : {"\\a.row", "\\big.bin", "\\empty"}) platform.RemoveFile(dir + name);
  CHECK_EQ(Listed(platform, dir), "");

  tally.Group("files: what a path is");
  const auto kind = [&platform](const std::string& path) {
    const PathInfo info = platform.InspectPath(path);
    const char* names[] = {"Missing", "Directory", "File", "Link", "Other"};
    return std::string(names[static_cast<int>(info.kind)]) + (info.trustedOwner ? " trusted" : "") +
           (info.privateAccess ? " private" : "");
  };
  const std::string open = world.MakeOrdinaryDirectory("open");
  CHECK_EQ(Name(platform.WriteFileDurably(a, "third", false)), "Ok");
  CHECK_EQ(kind(dir), "Directory trusted private");
  CHECK_EQ(kind(open), "Directory trusted");
  CHECK_EQ(kind(a), "File trusted private");
  CHECK_EQ(kind(dir + "\\absent.row"), "Missing");
  CHECK_EQ(kind(dir + "\\absent\\deeper"), "Missing");
  // A directory moves aside as a file does.
  CHECK_EQ(Name(platform.RenameWithoutReplacing(open, open + ".aside")), "Ok");
  CHECK_EQ(kind(open), "Missing");
  CHECK_EQ(kind(open + ".aside"), "Directory trusted");

  tally.Group("files: links are never followed");
  const std::string directoryLink = world.MakeLink("dirlink", open + ".aside", true);
  const std::string fileLink = world.MakeLink("filelink", a, false);
  if (!directoryLink.empty() && !fileLink.empty()) {
    CHECK_EQ(kind(directoryLink).substr(0, 4), "Link");
    CHECK_EQ(kind(fileLink).substr(0, 4), "Link");
    const std::string linkParent = fileLink.substr(0, fileLink.find_last_of('\\'));
    const std::string listed = Names(platform, linkParent);
    CHECK(listed != "NotFound" && listed != "Failed");
    CHECK(listed.find("filelink") == std::string::npos && listed.find("dirlink") == std::string::npos);
    CHECK_EQ(Name(platform.MakePrivateDirectory(directoryLink)), "Failed");
    CHECK_EQ(kind(open + ".aside"), "Directory trusted");  // its target kept its access
    CHECK_EQ(ReadBack(platform, fileLink), "Failed");
    CHECK_EQ(Name(platform.RenameWithoutReplacing(directoryLink, directoryLink + ".aside")), "Ok");
    CHECK_EQ(Name(platform.RemoveFile(fileLink)), "Ok");
    CHECK_EQ(ReadBack(platform, a), "Ok:third");  // the link went, not its target
    CHECK_EQ(Name(platform.NarrowAccess(world.MakeLink("dirlink2", open + ".aside", true), false)), "Failed");
    CHECK_EQ(kind(open + ".aside"), "Directory trusted");  // its target kept its access
    const PathGuard guard = platform.GuardPath(directoryLink + ".aside", "");
    CHECK(!guard.safe);
    CHECK(guard.where.find("dirlink") != std::string::npos);
    CHECK(guard.account.empty());  // the path itself is wrong, whoever owns it
  }

  tally.Group("files: a second name is never read");
  const std::string hard = world.MakeHardLink("hard", a);
  if (!hard.empty()) {
    CHECK_EQ(ReadBack(platform, a), "Failed");
    CHECK_EQ(ReadBack(platform, hard), "Failed");
    CHECK_EQ(Name(platform.RemoveFile(hard)), "Ok");
    CHECK_EQ(ReadBack(platform, a), "Ok:third");
  }
  platform.RemoveFile(a);

  tally.Group("files: narrowing, read back");
  const std::string secret = world.WriteFile("secret.dat", "pw");
  // Written with the system's ordinary access: open to others where the world's directory is
  // (hosted; under Wine the temporary directory passes on only the owner's access).
  if (!world.IsPrivate(secret)) CHECK(!world.IsSystemOnly(secret));
  CHECK_EQ(Name(platform.NarrowAccess(secret, false)), "Ok");
  CHECK(world.IsSystemOnly(secret));
  CHECK_EQ(Name(platform.NarrowAccess(secret, false)), "Ok");  // already so
  CHECK(world.IsSystemOnly(secret));
  const std::string wide = world.MakeOrdinaryDirectory("wide");
  CHECK_EQ(Name(platform.NarrowAccess(wide, true)), "Ok");
  CHECK(world.IsPrivate(wide));
  CHECK_EQ(Name(platform.NarrowAccess(wide + "\\absent", true)), "NotFound");

  tally.Group("files: who could change a path");
  // The private directory from the root down: only trusted accounts on the way.
  const PathGuard safe = platform.GuardPath(dir, dir);
  CHECK(safe.safe);
  CHECK_EQ(safe.where + safe.account + safe.problem, "");
  // An ordinary directory grants others at least reading: refused where it must be private,
  // naming it and an account.
  const std::string ordinaryAgain = world.MakeOrdinaryDirectory("again");
  const PathGuard opened = platform.GuardPath(ordinaryAgain, ordinaryAgain);
  CHECK(!opened.safe);
  CHECK(opened.where.find("again") != std::string::npos);
  CHECK(!opened.account.empty());
  CHECK(platform.GuardPath(ordinaryAgain, "").safe == safe.safe);  // reading alone is harmless above
  CHECK(!platform.GuardPath(dir + "\\absent", "").safe);

  tally.Group("process and clock");
  CHECK(platform.CurrentProcessId() != 0);
  CHECK_EQ(platform.CurrentProcessId(), platform.CurrentProcessId());
  const ProcessInfo self = platform.QueryProcess(platform.CurrentProcessId());
  CHECK(self.state == ProcessState::Running);
  CHECK(self.startTime != 0);
  CHECK_EQ(platform.QueryProcess(platform.CurrentProcessId()).startTime, self.startTime);
  CHECK(platform.QueryProcess(0x3FFFFFF0u).state == ProcessState::Gone);
  const std::uint32_t start = platform.ElapsedMilliseconds();
  CHECK(static_cast<std::uint32_t>(platform.ElapsedMilliseconds() - start) < 1000);
  // UTC: the real one (within a minute of the C library's), and a whole number of quarter
  // hours from the local time, no more than 14 hours away.
  const std::time_t real = std::time(nullptr);
  const DateTime utc = platform.UtcNow();
  const DateTime local = platform.LocalNow();
  const std::tm* realUtc = std::gmtime(&real);
  const DateTime expected{realUtc->tm_year + 1900, realUtc->tm_mon + 1, realUtc->tm_mday, realUtc->tm_hour,
                          realUtc->tm_min, realUtc->tm_sec};
  const long long apart = SecondsBetween(expected, utc);
  CHECK(apart < 60 && apart > -60);
  const long long offset = SecondsBetween(utc, local);
  CHECK((offset + 14 * 3600 + 1) % 900 <= 2);
  CHECK(offset <= 14 * 3600 + 1 && offset >= -14 * 3600 - 1);
}

void RunPlatformContract(Platform& platform, World& world, check::Tally& tally) {
  CheckRegistry(platform, world, tally);
  CheckProfileReading(platform, world, tally);
  CheckCodePage(platform, tally);
  CheckWindows(platform, world, tally);
  CheckRestorePass(platform, world, tally);
  CheckTimers(platform, world, tally);
  CheckFiles(platform, world, tally);
}

}  // namespace qbnotify::contract
