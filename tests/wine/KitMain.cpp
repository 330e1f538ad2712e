// The Windows kit's own pieces, under Wine: the text edge of the administrators' tools, code
// page 936 by the system's tables, InstallPath in both registry views and what the doctor
// says of them, the calendar of the tools' hosted clock, and the fallbacks built into the
// client library for Windows Server 2003 (compiled here from the same header, at the same
// floor).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "environment/ConnectionSettings.h"
#include "platform/hosted/CodePage.h"
#include "platform/win32/PosixTime.h"
#include "tools/common/win32/InstallPathViews.h"
#include "platform/win32/ToolText.h"
#include "platform/win32/WindowsApi.h"
#include "tests/Tally.h"
#include "tools/common/ToolSupport.h"
#include "tools/qbnotify-doctor/Doctor.h"
// Last: it renames the C runtime's "_s" functions for what follows.
#include "store/client/connector/WindowsFloor.h"

namespace qbnotify {
namespace {

#define CHECK(condition) QB_CHECK(tally, condition)
#define CHECK_EQ(actual, expected) QB_CHECK_EQ(tally, actual, expected)

// 财务 in UTF-8 and in code page 936.
const std::string kUtf8 = "\xE8\xB4\xA2\xE5\x8A\xA1";
const std::string kGbk = "\xB2\xC6\xCE\xF1";

void CheckUtf8Boundaries(check::Tally& tally) {
  tally.Group("UTF-8 boundaries");
  const struct {
    std::string bytes;
    std::size_t complete;
  } cases[] = {
      {"", 0},
      {"abc\n", 4},
      {kUtf8, 6},
      {kUtf8.substr(0, 5), 3},           // the second character lacks its last byte
      {kUtf8.substr(0, 4), 3},           // ... its last two
      {kUtf8.substr(0, 1), 0},           // a lead byte alone waits
      {"a\xF0\x9F\x98", 1},              // a four-byte sequence one byte short
      {"a\xF0\x9F\x98\x80", 5},          // and complete
      {"a\x80", 2},                      // a stray continuation byte is passed on
      {"a\xFF", 2},                      // so is a byte that starts nothing
      {"a\xC3", 1},                      // a two-byte lead at the end
  };
  for (const auto& [bytes, complete] : cases) CHECK_EQ(win32::CompleteUtf8Prefix(bytes), complete);
}

void CheckCodePage936(check::Tally& tally) {
  tally.Group("code page 936");
  const auto gbk = hosted::Utf8ToCp936(kUtf8);
  CHECK(gbk.has_value());
  if (gbk) CHECK_EQ(*gbk, kGbk);
  CHECK_EQ(hosted::Cp936ToUtf8(kGbk), kUtf8);
  CHECK_EQ(hosted::Cp936ToUtf8("plain"), std::string("plain"));
  CHECK(hosted::Utf8ToCp936("") == std::optional<std::string>(""));
  // Not UTF-8, and a character that code page 936 lacks: refused, never replaced by '?'.
  CHECK(!hosted::Utf8ToCp936("\xE8\xB4").has_value());
  CHECK(!hosted::Utf8ToCp936("a\xFF").has_value());
  CHECK(!hosted::Utf8ToCp936("\xF0\x9F\x98\x80").has_value());  // an emoji
  CHECK(!hosted::Utf8ToCp936("\xEA\xB0\x80").has_value());      // a Hangul syllable
  // What comes back is always UTF-8, whatever the bytes: a lead byte without its trail
  // still shows as a character.
  const std::string shown = hosted::Cp936ToUtf8("\xB2");
  CHECK(!shown.empty());
  CHECK_EQ(win32::WideToUtf8(win32::Utf8ToWide(shown)), shown);
  CHECK_EQ(win32::CompleteUtf8Prefix(shown), shown.size());
}

// Sets or removes InstallPath in one registry view.
void SetInstallPath(REGSAM view, const char* value) {
  win32::OpenKey key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, key.Receive(),
                      nullptr) != ERROR_SUCCESS)
    return;
  if (value)
    RegSetValueExA(key.Get(), kInstallPathValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                   static_cast<DWORD>(std::strlen(value) + 1));
  else
    RegDeleteValueA(key.Get(), kInstallPathValue);
}

void CheckInstallPathViews(check::Tally& tally) {
  tally.Group("InstallPath views");
  const struct {
    const char* in64;
    const char* in32;
  } cases[] = {{nullptr, "C:\\TAV32"}, {"C:\\TAV64", nullptr}, {"C:\\TAV64", "C:\\TAV32"}, {nullptr, nullptr}};
  for (const auto& [in64, in32] : cases) {
    SetInstallPath(KEY_WOW64_64KEY, in64);
    SetInstallPath(KEY_WOW64_32KEY, in32);
    const win32::InstallPathViews views = win32::ReadInstallPathViews();
    CHECK(views.wow64);  // 64-bit Wine is an x64 system
    CHECK_EQ(views.view64.status == RegistryStatus::Text, in64 != nullptr);
    CHECK_EQ(views.view32.status == RegistryStatus::Text, in32 != nullptr);
    if (in64) CHECK_EQ(views.view64.text, std::string(in64));
    if (in32) CHECK_EQ(views.view32.text, std::string(in32));
    // The 64-bit DLL reads the 64-bit view, as the platform's own read does in this process.
    CHECK_EQ(win32::ViewOfDll(views, true).text, views.view64.text);
    // The tools' own default: the 64-bit view only.
    CHECK_EQ(tools::SystemInstallPath().value_or("(none)"), std::string(in64 ? in64 : "(none)"));
  }
}

void CheckCalendar(check::Tally& tally) {
  tally.Group("calendar");
  const struct {
    int year, month, day, hour, minute, second;
    long long seconds;
  } cases[] = {
      {1970, 1, 1, 0, 0, 0, 0},
      {1969, 12, 31, 0, 0, 0, -86400},
      {2000, 2, 29, 12, 0, 0, 951825600},
      {2024, 12, 31, 23, 59, 60, 1735689600},  // a second past the end of the year
      {2025, 13, 1, 0, 0, 0, 1767225600},      // month 13: January of the next year
      {2025, 3, 0, 0, 0, 0, 1740700800},       // day 0: the last day of February
      {2100, 3, 1, 0, 0, 0, 4107542400},       // 2100 is not a leap year
  };
  for (const auto& c : cases) {
    std::tm tm{};
    tm.tm_year = c.year - 1900;
    tm.tm_mon = c.month - 1;
    tm.tm_mday = c.day;
    tm.tm_hour = c.hour;
    tm.tm_min = c.minute;
    tm.tm_sec = c.second;
    CHECK_EQ(static_cast<long long>(timegm(&tm)), c.seconds);
  }
  const std::time_t t = 951825600;
  std::tm out{};
  CHECK(gmtime_r(&t, &out) == &out);
  CHECK_EQ(out.tm_year + 1900, 2000);
  CHECK_EQ(out.tm_mon + 1, 2);
  CHECK_EQ(out.tm_mday, 29);
}

void CheckFloorStrings(check::Tally& tally) {
  tally.Group("client library: strncpy_s");
  const struct {
    std::size_t size;
    const char* source;
    std::size_t count;
    int result;
    const char* copied;
  } copies[] = {
      {8, "abc", _TRUNCATE, 0, "abc"},
      {4, "abcdef", _TRUNCATE, STRUNCATE, "abc"},
      {4, "abc", _TRUNCATE, 0, "abc"},
      {8, "abcdef", 2, 0, "ab"},
      {4, "abcdef", 4, ERANGE, ""},
      {4, "ab", 10, 0, "ab"},
      {4, nullptr, 2, EINVAL, ""},
  };
  for (const auto& c : copies) {
    char target[16];
    std::memset(target, 'x', sizeof target);
    CHECK_EQ(strncpy_s(target, c.size, c.source, c.count), c.result);
    CHECK_EQ(std::string(target), std::string(c.copied));
  }
  CHECK_EQ(strncpy_s(nullptr, 4, "a", 1), EINVAL);

  tally.Group("client library: vsnprintf_s");
  const auto format = [](char* buffer, std::size_t size, std::size_t count, const char* text, ...) {
    va_list arguments;
    va_start(arguments, text);
    const int written = vsnprintf_s(buffer, size, count, text, arguments);
    va_end(arguments);
    return written;
  };
  const struct {
    std::size_t size;
    std::size_t count;
    int written;
    const char* text;
  } prints[] = {
      {16, _TRUNCATE, 7, "x=12345"}, {8, _TRUNCATE, 7, "x=12345"}, {7, _TRUNCATE, -1, "x=1234"},
      {16, 3, -1, "x=1"},            {1, _TRUNCATE, -1, ""},
  };
  for (const auto& c : prints) {
    char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    CHECK_EQ(format(buffer, c.size, c.count, "x=%d", 12345), c.written);
    CHECK_EQ(std::string(buffer), std::string(c.text));
  }

  tally.Group("client library: strtok_s");
  char text[] = ",,a,,bc;d,";
  char* next = nullptr;
  std::vector<std::string> tokens;
  for (char* token = strtok_s(text, ",;", &next); token; token = strtok_s(nullptr, ",;", &next))
    tokens.emplace_back(token);
  CHECK_EQ(tokens.size(), 3u);
  if (tokens.size() == 3) {
    CHECK_EQ(tokens[0], std::string("a"));
    CHECK_EQ(tokens[1], std::string("bc"));
    CHECK_EQ(tokens[2], std::string("d"));
  }
  char separators[] = ",,,";
  CHECK(strtok_s(separators, ",", &next) == nullptr);
  CHECK(strtok_s(nullptr, ",", &next) == nullptr);
}

int g_runs = 0;
BOOL WINAPI CountRun(PINIT_ONCE, PVOID succeed, PVOID*) {
  ++g_runs;
  return succeed != nullptr;
}

void CheckFloorSystemCalls(check::Tally& tally) {
  tally.Group("client library: GetTickCount64 over a 32-bit count");
  const struct {
    std::uint64_t before;
    DWORD now;
    std::uint64_t after;
  } ticks[] = {
      {0, 5, 5},
      {0xFFFFFFF0ull, 0x10, 0x100000010ull},                 // the count wrapped
      {0x100000010ull, 0x20, 0x100000020ull},                // after a wrap, the wraps stay
      {0x100000020ull, 0x1F, 0x100000020ull},                // a reading slightly behind: no wrap
      {0x2F0000000ull, 0x70000000, 0x370000000ull},          // half the range back: a wrap
  };
  for (const auto& c : ticks) {
    volatile ULONGLONG state = c.before;
    CHECK_EQ(static_cast<std::uint64_t>(qb_floor_widen_tick(&state, c.now)), c.after);
    CHECK_EQ(static_cast<std::uint64_t>(state), c.after);
  }
  // The system's own count through the renamed call: never backwards, and not wildly ahead.
  const ULONGLONG first = GetTickCount64();
  Sleep(20);
  const ULONGLONG second = GetTickCount64();
  CHECK(second >= first);
  CHECK(second - first < 60000);

  tally.Group("client library: InitOnceExecuteOnce");
  INIT_ONCE once = INIT_ONCE_STATIC_INIT;
  g_runs = 0;
  CHECK(!InitOnceExecuteOnce(&once, CountRun, nullptr, nullptr));  // fails: tried again later
  CHECK(InitOnceExecuteOnce(&once, CountRun, &once, nullptr));
  CHECK(InitOnceExecuteOnce(&once, CountRun, &once, nullptr));  // done: not run again
  CHECK_EQ(g_runs, 2);

  tally.Group("client library: fibers and I/O");
  CHECK(!IsThreadAFiber());
  void* fiber = ConvertThreadToFiber(nullptr);
  CHECK(fiber != nullptr);
  CHECK(IsThreadAFiber());
  if (fiber) ConvertFiberToThread();
  // Cancelling on a handle without I/O: the system's answer, not a crash.
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  CancelIoEx(event, nullptr);
  CloseHandle(event);
}

void CheckDoctorRegistryViews(check::Tally& tally) {
  tally.Group("doctor: registry views");
  using tools::Status;
  const RegistryValue none{RegistryStatus::ValueMissing, ""};
  const RegistryValue noKey{RegistryStatus::KeyMissing, ""};
  const RegistryValue number{RegistryStatus::OtherType, ""};
  const RegistryValue here{RegistryStatus::Text, "C:\\TAV"};
  const RegistryValue there{RegistryStatus::Text, "D:\\TAV"};
  const RegistryValue chinese{RegistryStatus::Text, "C:\\" + kGbk};
  const struct {
    const char* name;
    RegistryValue own, other;
    bool dll64;
    bool noted;
    Status status;
    const char* words;  // in the detail, UTF-8
  } cases[] = {
      {"both views agree", here, here, true, false, Status::Ok, ""},
      {"only the DLL's view", here, none, true, false, Status::Ok, ""},
      {"neither view", none, noKey, true, false, Status::Ok, ""},
      {"other view not a string", none, number, true, false, Status::Ok, ""},
      {"only the 32-bit view, 64-bit DLL", noKey, here, true, true, Status::Failed, "only the 32-bit view"},
      {"only the 64-bit view, 32-bit DLL", none, here, false, true, Status::Failed, "only the 64-bit view"},
      {"value of another type in the own view", number, here, true, true, Status::Failed, "C:\\TAV"},
      {"views disagree", here, there, true, true, Status::Warning, "another InstallPath ('D:\\TAV')"},
      {"views disagree, 32-bit DLL", there, here, false, true, Status::Warning, "reads 'D:\\TAV'"},
      {"code page 936 path shown as UTF-8", none, chinese, true, true, Status::Failed, "C:\\\xE8\xB4\xA2\xE5\x8A\xA1"},
  };
  for (const auto& c : cases) {
    tally.Group(std::string("doctor: registry views: ") + c.name);
    const std::optional<tools::Check> check = tools::OtherRegistryView(c.own, c.other, c.dll64);
    CHECK_EQ(check.has_value(), c.noted);
    if (!check || !c.noted) continue;
    CHECK(check->status == c.status);
    CHECK_EQ(check->section, std::string("install path"));
    CHECK(check->detail.find(c.words) != std::string::npos);
    CHECK(!check->fix.empty());
  }

  tally.Group("doctor: the note follows the install path checks");
  std::vector<tools::Check> checks = {{"install path", "InstallPath", Status::Failed, "", ""},
                                      {"settings file", "present", Status::Skipped, "", ""}};
  tools::InsertAfterSection(checks, "install path", {"install path", "registry view", Status::Failed, "", ""});
  CHECK_EQ(checks.size(), std::size_t{3});
  CHECK_EQ(checks[1].name, std::string("registry view"));
  CHECK_EQ(checks[2].section, std::string("settings file"));
}

}  // namespace
}  // namespace qbnotify

int main() {
  using namespace qbnotify;
  check::Tally tally;
  CheckUtf8Boundaries(tally);
  CheckCodePage936(tally);
  CheckInstallPathViews(tally);
  CheckDoctorRegistryViews(tally);
  CheckCalendar(tally);
  CheckFloorStrings(tally);
  CheckFloorSystemCalls(tally);
  return tally.Finish();
}
