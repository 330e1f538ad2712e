#include "platform/win32/RegistryViews.h"

namespace qbnotify::win32 {

// A 64-bit process is on an x64 edition; a 32-bit one asks whether it runs under WOW64
// (looked up by name: the call is not on every system of the generation we support).
bool HasTwoRegistryViews() {
  if (sizeof(void*) == 8) return true;
  using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
  const HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  const auto isWow64 = LoadedModule::LookupIn<IsWow64ProcessFunction>(kernel32, "IsWow64Process");
  BOOL wow64 = FALSE;
  return isWow64 && isWow64(GetCurrentProcess(), &wow64) && wow64;
}

}  // namespace qbnotify::win32
