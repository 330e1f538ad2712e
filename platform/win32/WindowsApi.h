// The one place where this build includes the Windows headers, and the small owners of
// Windows resources that the Win32 platform and the client-library loader share.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <wtsapi32.h>

namespace qbnotify::win32 {

// Owns a loaded module and releases it with FreeLibrary.
class LoadedModule {
 public:
  explicit LoadedModule(const char* name) : module_(LoadLibraryA(name)) {}
  ~LoadedModule() {
    if (module_) FreeLibrary(module_);
  }
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  explicit operator bool() const { return module_ != nullptr; }
  HMODULE Get() const { return module_; }
  // Gives up ownership: the module stays loaded for the life of the process.
  HMODULE Keep() {
    HMODULE module = module_;
    module_ = nullptr;
    return module;
  }

  // The exported function `name` as a `Function`, or nullptr.
  template <typename Function>
  Function Lookup(const char* name) const {
    return LookupIn<Function>(module_, name);
  }

  template <typename Function>
  static Function LookupIn(HMODULE module, const char* name) {
    // GetProcAddress answers a generic function pointer; going through void (*)() is the
    // conversion the compiler accepts between unrelated function types.
    FARPROC address = module ? GetProcAddress(module, name) : nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
  }

 private:
  HMODULE module_;
};

// Owns an open registry key and closes it.
class OpenKey {
 public:
  OpenKey() = default;
  ~OpenKey() {
    if (key_) RegCloseKey(key_);
  }
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;

  HKEY* Receive() { return &key_; }
  HKEY Get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

}  // namespace qbnotify::win32
