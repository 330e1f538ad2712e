// The Win32 platform's files: the kernel's file calls in their ANSI form, written durably,
// listed, read and removed, and the process's id and start time.
#include <optional>
#include <string>
#include <vector>

#include "platform/win32/Win32Handles.h"
#include "platform/win32/Win32Platform.h"
#include "platform/win32/WindowsApi.h"

#include <sddl.h>

namespace qbnotify::win32 {
namespace {

std::uint64_t Combine(DWORD high, DWORD low) { return (std::uint64_t{high} << 32) | low; }

LONG temporaryCounter = 0;

}  // namespace

FileResult Win32Platform::WriteFileDurably(std::string_view path, std::string_view bytes, bool replaceExisting) {
  const std::string name(path);
  const std::string temporary = name + "." + std::to_string(GetCurrentProcessId()) + "-" +
                                std::to_string(InterlockedIncrement(&temporaryCounter)) + ".tmp";
  // The file carries the directory's private access list itself rather than relying on
  // inheritance, which a directory made by other means may not pass on.
  LocalMemory descriptor;
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = PrivateDescriptor(descriptor) ? descriptor.Get() : nullptr;
  {
    FileHandle file(CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
    if (!file.Valid()) return FromError(GetLastError());
    bool written = true;
    std::string_view rest = bytes;
    while (written && !rest.empty()) {
      const DWORD chunk = rest.size() > 0x100000 ? 0x100000 : static_cast<DWORD>(rest.size());
      DWORD done = 0;
      written = WriteFile(file.Get(), rest.data(), chunk, &done, nullptr) != FALSE && done == chunk;
      rest.remove_prefix(done);
    }
    if (!written || !FlushFileBuffers(file.Get()) || !file.Close()) {
      file.Close();
      DeleteFileA(temporary.c_str());
      return FileResult::Failed;
    }
  }
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replaceExisting ? MOVEFILE_REPLACE_EXISTING : 0);
  if (!MoveFileExA(temporary.c_str(), name.c_str(), flags)) {
    const DWORD error = GetLastError();
    DeleteFileA(temporary.c_str());
    return FromError(error);
  }
  // The write-through flag does nothing for a rename within a volume: the rename is put on
  // the disk by flushing the folder, as the hosted platform does.
  const std::size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) FlushRenames(name.substr(0, slash == 2 && name[1] == ':' ? 3 : slash));
  return FileResult::Ok;
}

// Flushing a handle of the directory itself forces the volume's log, which holds the renames
// made in it, to the disk. The reparse point itself is opened, never what it points to.
FileResult Win32Platform::FlushRenames(std::string_view path) {
  const std::string name(path);
  FileHandle directory(CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!directory.Valid()) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FileResult::NotFound : FileResult::Failed;
  }
  return FlushFileBuffers(directory.Get()) ? FileResult::Ok : FileResult::Failed;
}

FileResult Win32Platform::RenameWithoutReplacing(std::string_view from, std::string_view to) {
  const std::string source(from);
  const std::string target(to);
  if (MoveFileExA(source.c_str(), target.c_str(), 0)) return FileResult::Ok;
  return FromError(GetLastError());
}

DirectoryListing Win32Platform::ListDirectory(std::string_view path) {
  DirectoryListing listing;
  const std::string pattern = std::string(path) + "\\*";
  WIN32_FIND_DATAA found{};
  FindHandle find(FindFirstFileA(pattern.c_str(), &found));
  if (!find.Valid()) {
    const DWORD error = GetLastError();
    listing.result = error == ERROR_FILE_NOT_FOUND ? FileResult::Ok : FromError(error);
    return listing;
  }
  FILETIME nowTime{};
  GetSystemTimeAsFileTime(&nowTime);
  const std::uint64_t now = Combine(nowTime.dwHighDateTime, nowTime.dwLowDateTime);
  do {
    if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
    DirectoryEntry entry;
    entry.name = found.cFileName;
    entry.size = Combine(found.nFileSizeHigh, found.nFileSizeLow);
    const std::uint64_t written = Combine(found.ftLastWriteTime.dwHighDateTime, found.ftLastWriteTime.dwLowDateTime);
    entry.ageSeconds = now > written ? (now - written) / 10000000u : 0;  // 100 ns units
    listing.entries.push_back(std::move(entry));
  } while (FindNextFileA(find.Get(), &found));
  listing.result = GetLastError() == ERROR_NO_MORE_FILES ? FileResult::Ok : FileResult::Failed;
  if (listing.result != FileResult::Ok) listing.entries.clear();
  return listing;
}

// The basic information class and the large fetch make a long listing cheaper; systems
// before them refuse both as an invalid parameter, and are then asked the plain way.
FileResult Win32Platform::ListNames(std::string_view path, const std::function<bool(std::string_view name)>& visit) {
  const std::string pattern = std::string(path) + "\\*";
  WIN32_FIND_DATAA found{};
  HANDLE first = FindFirstFileExA(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                  FIND_FIRST_EX_LARGE_FETCH);
  if (first == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER)
    first = FindFirstFileExA(pattern.c_str(), FindExInfoStandard, &found, FindExSearchNameMatch, nullptr, 0);
  FindHandle find(first);
  if (!find.Valid()) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return FileResult::Ok;  // not even "." and "..": nothing to list
    return error == ERROR_PATH_NOT_FOUND ? FileResult::NotFound : FileResult::Failed;
  }
  do {
    if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
    if (!visit(found.cFileName)) return FileResult::Ok;
  } while (FindNextFileA(find.Get(), &found));
  return GetLastError() == ERROR_NO_MORE_FILES ? FileResult::Ok : FileResult::Failed;
}

FileContent Win32Platform::ReadWholeFile(std::string_view path, std::size_t limit) {
  FileContent content;
  const std::string name(path);
  // The reparse point itself is opened, never what it points to, and then refused.
  FileHandle file(CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.Valid()) {
    content.result = FromError(GetLastError());
    return content;
  }
  BY_HANDLE_FILE_INFORMATION information{};
  // A second name of the file (a hard link) may be anyone's way to change what is read here.
  if (!GetFileInformationByHandle(file.Get(), &information) ||
      (information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
      information.nNumberOfLinks != 1)
    return content;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.Get(), &size) || size.QuadPart < 0) return content;
  if (static_cast<std::uint64_t>(size.QuadPart) > limit) {
    content.result = FileResult::TooLarge;
    return content;
  }
  char buffer[8192];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.Get(), buffer, sizeof buffer, &got, nullptr)) {
      content.bytes.clear();
      return content;
    }
    if (got == 0) break;
    content.bytes.append(buffer, got);
    if (content.bytes.size() > limit) {
      content.bytes.clear();
      content.result = FileResult::TooLarge;
      return content;
    }
  }
  content.result = FileResult::Ok;
  return content;
}

FileResult Win32Platform::RemoveFile(std::string_view path) {
  const std::string name(path);
  if (DeleteFileA(name.c_str())) return FileResult::Ok;
  return FromError(GetLastError());
}

// Looked at through one handle of the path itself: what the security calls read is what the
// attributes describe, never what a link leads to.
std::uint32_t Win32Platform::CurrentProcessId() { return GetCurrentProcessId(); }

// The creation time as GetProcessTimes gives it (100 ns units since 1601). Whether it still
// runs is asked of its handle, which is signalled when it ends: an exit code of 259 is also
// what a running process answers. Where waiting is not allowed, the exit code decides what
// it can.
ProcessInfo Win32Platform::QueryProcess(std::uint32_t processId) {
  ProcessInfo info;
  if (processId == 0) {
    info.state = ProcessState::Gone;
    return info;
  }
  bool canWait = true;
  HANDLE opened = OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, processId);
  if (!opened && GetLastError() == ERROR_ACCESS_DENIED) {
    canWait = false;
    opened = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
  }
  if (!opened) {
    info.state = GetLastError() == ERROR_INVALID_PARAMETER ? ProcessState::Gone : ProcessState::Unknown;
    return info;
  }
  FileHandle process(opened);
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(process.Get(), &created, &exited, &kernel, &user)) return info;
  if (canWait) {
    const DWORD waited = WaitForSingleObject(process.Get(), 0);
    if (waited == WAIT_OBJECT_0) {
      info.state = ProcessState::Gone;
      return info;
    }
    if (waited != WAIT_TIMEOUT) return info;
  } else {
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process.Get(), &exitCode)) return info;
    if (exitCode != STILL_ACTIVE) {
      info.state = ProcessState::Gone;
      return info;
    }
    return info;  // 259: running, or ended with that code; Unknown, taken as running
  }
  info.state = ProcessState::Running;
  info.startTime = Combine(created.dwHighDateTime, created.dwLowDateTime);
  return info;
}

std::uint32_t Win32Platform::ElapsedMilliseconds() { return GetTickCount(); }

}  // namespace qbnotify::win32
