// The Win32 platform's files: the kernel's file calls in their ANSI form, a private
// directory through a protected access list, and the process's id and tick count.
#include <string>

#include "platform/win32/Win32Platform.h"
#include "platform/win32/WindowsApi.h"

#include <sddl.h>

namespace qbnotify::win32 {
namespace {

FileResult FromError(DWORD error) {
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

std::string SidText(PSID sid) {
  LocalMemory text;
  if (!ConvertSidToStringSidA(sid, text.Receive<char>())) return {};
  return std::string(static_cast<const char*>(text.Get()));
}

// The SID of the account this process runs as, in its string form; empty when unknown.
std::string ProcessUserSid() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
  FileHandle token(raw);
  DWORD size = 0;
  GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
  if (size == 0) return {};
  std::string buffer(size, '\0');
  if (!GetTokenInformation(token.Get(), TokenUser, buffer.data(), size, &size)) return {};
  const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
  return SidText(user->User.Sid);
}

// Full access for the system, the administrators and the process's own account, inherited
// by the files and folders inside and by nothing from above ("P": protected).
bool PrivateDescriptor(LocalMemory& descriptor) {
  const std::string user = ProcessUserSid();
  if (user.empty()) return false;
  const std::string sddl = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + user + ")";
  return ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                              descriptor.Receive<void>(), nullptr) != FALSE;
}

// Whether the directory's access list already allows no one but the system, the
// administrators and `user`. Checked first because setting a directory's list walks every
// file inside to pass it on, which a full spool makes slow.
bool AlreadyPrivate(const std::string& path, const std::string& user) {
  DWORD size = 0;
  GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
  if (size == 0) return false;
  std::string descriptor(size, '\0');
  if (!GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), size, &size)) return false;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL acl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor.data(), &present, &acl, &defaulted) || !present || !acl) return false;
  for (DWORD i = 0; i < acl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(acl, i, &ace)) return false;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
    const std::string sid = SidText(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart);
    if (sid != "S-1-5-18" && sid != "S-1-5-32-544" && sid != user) return false;
  }
  return true;
}

// Whether the owner of a security descriptor is the system, the administrators or `user`.
bool TrustedOwner(const std::string& path, const std::string& user) {
  DWORD size = 0;
  GetFileSecurityA(path.c_str(), OWNER_SECURITY_INFORMATION, nullptr, 0, &size);
  if (size == 0) return false;
  std::string descriptor(size, '\0');
  if (!GetFileSecurityA(path.c_str(), OWNER_SECURITY_INFORMATION, descriptor.data(), size, &size)) return false;
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor.data(), &owner, &defaulted) || !owner) return false;
  const std::string sid = SidText(owner);
  return sid == "S-1-5-18" || sid == "S-1-5-32-544" || (!user.empty() && sid == user);
}

std::uint64_t Combine(DWORD high, DWORD low) { return (std::uint64_t{high} << 32) | low; }

LONG temporaryCounter = 0;

}  // namespace

FileResult Win32Platform::MakePrivateDirectory(std::string_view path) {
  const std::string name(path);
  LocalMemory descriptor;
  if (!PrivateDescriptor(descriptor)) return FileResult::Failed;
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = descriptor.Get();
  if (CreateDirectoryA(name.c_str(), &attributes)) return FileResult::Ok;
  const DWORD error = GetLastError();
  if (error != ERROR_ALREADY_EXISTS) return FromError(error);

  // A junction or link in the directory's place is refused: setting its access list would
  // change the list of the directory it points to.
  const DWORD attributesFound = GetFileAttributesA(name.c_str());
  if (attributesFound == INVALID_FILE_ATTRIBUTES || !(attributesFound & FILE_ATTRIBUTE_DIRECTORY) ||
      (attributesFound & FILE_ATTRIBUTE_REPARSE_POINT))
    return FileResult::Failed;
  if (AlreadyPrivate(name, ProcessUserSid())) return FileResult::Ok;
  // The descriptor is marked protected, so nothing the parent allows is added; the files
  // already inside keep their own lists (those this platform writes carry the private one).
  if (!SetFileSecurityA(name.c_str(), DACL_SECURITY_INFORMATION, descriptor.Get())) return FileResult::Failed;
  return AlreadyPrivate(name, ProcessUserSid()) ? FileResult::Ok : FileResult::Failed;
}

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
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
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
  if (!GetFileInformationByHandle(file.Get(), &information) ||
      (information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))
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

PathInfo Win32Platform::InspectPath(std::string_view path) {
  PathInfo info;
  const std::string name(path);
  const DWORD attributes = GetFileAttributesA(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) info.kind = PathKind::Missing;
    return info;
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) info.kind = PathKind::Link;
  else if (attributes & FILE_ATTRIBUTE_DIRECTORY) info.kind = PathKind::Directory;
  else info.kind = PathKind::File;
  // The security calls on a name would follow a link; a link's owner is not asked for.
  if (info.kind == PathKind::Link) return info;
  const std::string user = ProcessUserSid();
  info.trustedOwner = TrustedOwner(name, user);
  info.privateAccess = info.trustedOwner && AlreadyPrivate(name, user);
  return info;
}

std::uint32_t Win32Platform::CurrentProcessId() { return GetCurrentProcessId(); }

// The creation time as GetProcessTimes gives it (100 ns units since 1601). A process that
// has ended but whose handle some other process still holds answers an exit code.
ProcessInfo Win32Platform::QueryProcess(std::uint32_t processId) {
  ProcessInfo info;
  if (processId == 0) {
    info.state = ProcessState::Gone;
    return info;
  }
  const HANDLE opened = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
  if (!opened) {
    info.state = GetLastError() == ERROR_INVALID_PARAMETER ? ProcessState::Gone : ProcessState::Unknown;
    return info;
  }
  FileHandle process(opened);
  DWORD exitCode = 0;
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetExitCodeProcess(process.Get(), &exitCode) || !GetProcessTimes(process.Get(), &created, &exited, &kernel, &user))
    return info;
  if (exitCode != STILL_ACTIVE) {
    info.state = ProcessState::Gone;
    return info;
  }
  info.state = ProcessState::Running;
  info.startTime = Combine(created.dwHighDateTime, created.dwLowDateTime);
  return info;
}

std::uint32_t Win32Platform::ElapsedMilliseconds() { return GetTickCount(); }

}  // namespace qbnotify::win32
