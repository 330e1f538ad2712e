#include "tests/wine/Win32World.h"

#include <cstdio>
#include <optional>
#include <stdexcept>

#include "platform/win32/WindowsApi.h"

#include <sddl.h>

namespace qbnotify::contract {
namespace {

constexpr const char* kWindowClass = "QBNotifyContractWindow";

// Show commands that took effect, by window: the window procedure sees each change of
// visibility that ShowWindow makes as WM_SHOWWINDOW.
std::map<WindowHandle, std::vector<int>>& ShowLog() {
  static std::map<WindowHandle, std::vector<int>> log;
  return log;
}

LRESULT CALLBACK RecordingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SHOWWINDOW && lParam == 0)
    ShowLog()[reinterpret_cast<WindowHandle>(window)].push_back(wParam ? kShowShow : kShowHide);
  return DefWindowProcA(window, message, wParam, lParam);
}

DWORD RegistryType(ValueType type) {
  switch (type) {
    case ValueType::Text: return REG_SZ;
    case ValueType::ExpandableText: return REG_EXPAND_SZ;
    case ValueType::Number: return REG_DWORD;
    case ValueType::Binary: return REG_BINARY;
  }
  return REG_NONE;
}

}  // namespace

double NowMilliseconds() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

Win32World::Win32World(unsigned long registryView) : registryView_(registryView) {
  char temp[MAX_PATH];
  const DWORD length = GetTempPathA(MAX_PATH, temp);
  directory_ = std::string(temp, length) + "qbnotify-contract";
  CreateDirectoryA(directory_.c_str(), nullptr);

  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = &RecordingWindowProc;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = kWindowClass;
  RegisterClassA(&windowClass);  // fails harmlessly when a second world registers it again
}

Win32World::~Win32World() { DestroyWindows(); }

void Win32World::SetMachineValue(const std::string& keyPath, const std::string& name, ValueType type,
                                 const std::string& bytes) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | registryView_, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    throw std::runtime_error("cannot create key " + keyPath);
  const LONG result = RegSetValueExA(key, name.c_str(), 0, RegistryType(type),
                                     reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) throw std::runtime_error("cannot set value " + name);
}

void Win32World::RemoveMachineKey(const std::string& keyPath) {
  RegDeleteKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), registryView_, 0);
}

std::string Win32World::WriteFile(const std::string& name, const std::string& bytes) {
  const std::string path = directory_ + "\\" + name;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) throw std::runtime_error("cannot write " + path);
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
  return path;
}

std::string Win32World::MissingFilePath() { return directory_ + "\\absent\\missing.ini"; }

std::string Win32World::NewDirectoryPath(const std::string& name) {
  // Unique per run: a prefix kept from an earlier run may still hold the last one.
  return directory_ + "\\" + name + "-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount());
}

std::string Win32World::MakeOrdinaryDirectory(const std::string& name) {
  const std::string path = NewDirectoryPath(name);
  CreateDirectoryA(path.c_str(), nullptr);
  return path;
}

// A link that does not show as a reparse point afterwards was not made, whatever the call
// answered.
std::string Win32World::MakeLink(const std::string& name, const std::string& target, bool toDirectory) {
  const std::string path = NewDirectoryPath(name);
  // Looked up at run time: the build targets systems older than the call.
  using CreateLink = BOOLEAN(WINAPI*)(LPCSTR, LPCSTR, DWORD);
  const auto create = win32::LoadedModule::LookupIn<CreateLink>(GetModuleHandleA("kernel32.dll"), "CreateSymbolicLinkA");
  const DWORD flags = (toDirectory ? 0x1u : 0u) | 0x2u;  // a directory link; without privilege
  if (!create || !create(path.c_str(), target.c_str(), flags)) return {};
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return {};
  return path;
}

namespace {

std::string SidText(PSID sid) {
  char* text = nullptr;
  if (!ConvertSidToStringSidA(sid, &text)) return {};
  std::string result(text);
  LocalFree(text);
  return result;
}

std::string ProcessUserSidText() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  char buffer[512];
  DWORD size = 0;
  const bool ok = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) != FALSE;
  CloseHandle(token);
  return ok ? SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) : std::string();
}

}  // namespace

// Wine keeps no protection flag on an access list (it reads back without it): there only the
// entries can be compared.
static bool UnderWine() { return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr; }

// The accounts an access list read back with GetFileSecurity allows, as SID texts, in its
// order; nullopt when it allows something this reading does not know, has no list, or the
// list is not protected from what the parent passes on.
static std::optional<std::vector<std::string>> ProtectedGrants(const std::string& path) {
  DWORD size = 0;
  GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
  if (size == 0) return std::nullopt;
  std::vector<char> descriptor(size);
  if (!GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), size, &size)) return std::nullopt;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!GetSecurityDescriptorControl(descriptor.data(), &control, &revision) ||
      (!(control & SE_DACL_PROTECTED) && !UnderWine()))
    return std::nullopt;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL acl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor.data(), &present, &acl, &defaulted) || !present || !acl) return std::nullopt;
  std::vector<std::string> sids;
  for (DWORD i = 0; i < acl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(acl, i, &ace)) return std::nullopt;
    const auto* header = static_cast<ACE_HEADER*>(ace);
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;  // a denial opens nothing
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERITED_ACE)) return std::nullopt;
    sids.push_back(SidText(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart));
  }
  return sids;
}

bool Win32World::IsPrivate(const std::string& path) {
  const std::optional<std::vector<std::string>> sids = ProtectedGrants(path);
  if (!sids || sids->empty()) return false;
  const std::string user = ProcessUserSidText();
  // Whatever the parent allows would show here as further entries (Users, Everyone).
  for (const std::string& sid : *sids)
    if (sid != "S-1-5-18" && sid != "S-1-5-32-544" && (user.empty() || sid != user)) return false;
  return true;
}

bool Win32World::IsSystemOnly(const std::string& path) {
  if (ProtectedGrants(path) == std::vector<std::string>{"S-1-5-18", "S-1-5-32-544"}) return true;
  // Wine keeps an access list as unix modes and reads it back with an entry for the owner
  // that was not set: there the entries are compared as for IsPrivate.
  return UnderWine() && IsPrivate(path);
}

std::string Win32World::MakeHardLink(const std::string& name, const std::string& target) {
  const std::string path = NewDirectoryPath(name);
  return CreateHardLinkA(path.c_str(), target.c_str(), nullptr) ? path : std::string();
}

WindowHandle Win32World::MakeWindow(const std::string& title, bool visible, WindowHandle owner) {
  const DWORD style = (owner ? WS_POPUP | WS_CAPTION : WS_OVERLAPPEDWINDOW) | (visible ? WS_VISIBLE : 0);
  HWND window = CreateWindowExA(0, kWindowClass, title.c_str(), style, 10, 10, 200, 100,
                                reinterpret_cast<HWND>(owner), nullptr, GetModuleHandleA(nullptr), nullptr);
  if (!window) throw std::runtime_error("cannot create window " + title);
  const auto handle = reinterpret_cast<WindowHandle>(window);
  ShowLog()[handle].clear();  // what creation itself showed does not count
  windows_.push_back(handle);
  return handle;
}

bool Win32World::IsVisible(WindowHandle window) { return IsWindowVisible(reinterpret_cast<HWND>(window)) != FALSE; }

std::vector<int> Win32World::ShowCommands(WindowHandle window) { return ShowLog()[window]; }

void Win32World::DestroyWindows() {
  // Owned windows first: destroying an owner takes its pop-ups with it.
  for (auto it = windows_.rbegin(); it != windows_.rend(); ++it) DestroyWindow(reinterpret_cast<HWND>(*it));
  windows_.clear();
  ShowLog().clear();
}

void Win32World::RunMessageLoop(std::uint32_t milliseconds) {
  const double deadline = NowMilliseconds() + milliseconds;
  for (;;) {
    const double left = deadline - NowMilliseconds();
    if (left <= 0) break;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left) + 1, QS_ALLINPUT);
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }
}

}  // namespace qbnotify::contract
