// What the Win32 platform's files and their access share: handles closed on every path, the
// kernel's errors as file results, the library's own access list. Internal to platform/win32.
#pragma once

#include <string>

#include "platform/Platform.h"
#include "platform/win32/WindowsApi.h"

namespace qbnotify::win32 {

inline FileResult FromError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME: return FileResult::NotFound;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS: return FileResult::AlreadyExists;
    default: return FileResult::Failed;
  }
}

// Closes a file handle on every path.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() { Close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return handle_; }
  bool Close() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle == INVALID_HANDLE_VALUE || CloseHandle(handle) != FALSE;
  }

 private:
  HANDLE handle_;
};

class FindHandle {
 public:
  explicit FindHandle(HANDLE handle) : handle_(handle) {}
  ~FindHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) FindClose(handle_);
  }
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;

  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return handle_; }

 private:
  HANDLE handle_;
};

// Memory that the security calls hand back with LocalAlloc.
class LocalMemory {
 public:
  LocalMemory() = default;
  ~LocalMemory() {
    if (memory_) LocalFree(memory_);
  }
  LocalMemory(const LocalMemory&) = delete;
  LocalMemory& operator=(const LocalMemory&) = delete;

  template <typename T>
  T** Receive() {
    return reinterpret_cast<T**>(&memory_);
  }
  void* Get() const { return memory_; }

 private:
  void* memory_ = nullptr;
};

// The access list the library's own files and directories carry: full access for the system,
// the administrators and (with `ownAccount`) the process's own account, inherited by the
// files and folders inside (`container`) and by nothing from above ("P": protected).
bool PrivateDescriptor(LocalMemory& descriptor, bool ownAccount = true, bool container = true);

}  // namespace qbnotify::win32
