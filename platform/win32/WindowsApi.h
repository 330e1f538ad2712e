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

#include <string>

namespace qbnotify::win32 {

// The full path of the file `name` in the folder that holds `folderOf` (a module of this
// process; nullptr: the system folder), or "" when the folder cannot be had. Libraries are
// loaded by such a path only: a bare name would be searched for in the current directory and
// on PATH, where users may put a file of that name.
inline std::string ModuleFolderFile(HMODULE folderOf, const char* name) {
  char path[MAX_PATH + 1] = {};
  DWORD length = folderOf ? GetModuleFileNameA(folderOf, path, MAX_PATH) : GetSystemDirectoryA(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  std::string folder(path, length);
  if (folderOf) {
    const std::size_t slash = folder.find_last_of("\\/");
    if (slash == std::string::npos) return {};
    folder.resize(slash);
  }
  if (!folder.empty() && folder.back() == '\\') folder.pop_back();
  return folder + "\\" + name;
}

// Owns a loaded module and releases it with FreeLibrary.
class LoadedModule {
 public:
  // `path` is a full path (ModuleFolderFile); the module's own dependencies are looked for
  // in its folder first. An empty path loads nothing.
  explicit LoadedModule(const std::string& path)
      : module_(path.empty() ? nullptr : LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)) {}
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
