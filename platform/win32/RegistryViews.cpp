#include "platform/win32/RegistryViews.h"

#include "environment/ConnectionSettings.h"

namespace qbnotify::win32 {
namespace {

// True when the system has a 32-bit and a 64-bit registry view. A 64-bit process is on an x64
// edition; a 32-bit one asks whether it runs under WOW64 (looked up by name: the call is not
// on every system of the generation we support).
bool HasTwoViews() {
  if (sizeof(void*) == 8) return true;
  using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
  const HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  const auto isWow64 = LoadedModule::LookupIn<IsWow64ProcessFunction>(kernel32, "IsWow64Process");
  BOOL wow64 = FALSE;
  return isWow64 && isWow64(GetCurrentProcess(), &wow64) && wow64;
}

}  // namespace

InstallPathViews ReadInstallPathViews() {
  InstallPathViews views;
  views.wow64 = HasTwoViews();
  if (!views.wow64) {
    views.view64 = ReadRegistryString(HKEY_LOCAL_MACHINE, kProductKey, kInstallPathValue, KEY_QUERY_VALUE);
    views.view32 = views.view64;
    return views;
  }
  views.view64 =
      ReadRegistryString(HKEY_LOCAL_MACHINE, kProductKey, kInstallPathValue, KEY_QUERY_VALUE | KEY_WOW64_64KEY);
  views.view32 =
      ReadRegistryString(HKEY_LOCAL_MACHINE, kProductKey, kInstallPathValue, KEY_QUERY_VALUE | KEY_WOW64_32KEY);
  return views;
}

}  // namespace qbnotify::win32
