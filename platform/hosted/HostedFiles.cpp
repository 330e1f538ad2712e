// The hosted platform's files: the POSIX calls behind the file operations, on the Windows
// paths mapped as the settings file's are (backslashes become slashes).
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <ctime>
#include <fstream>
#include <sstream>

#include "platform/hosted/HostedPlatform.h"

namespace qbnotify::hosted {
namespace {

FileResult FromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR: return FileResult::NotFound;
    case EEXIST: return FileResult::AlreadyExists;
    default: return FileResult::Failed;
  }
}

// Closes a descriptor on every path.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  // Closes now and reports whether the close succeeded (a write error may show only here).
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

class Directory {
 public:
  explicit Directory(const std::string& path) : dir_(::opendir(path.c_str())) {}
  ~Directory() {
    if (dir_) ::closedir(dir_);
  }
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;

  DIR* Get() const { return dir_; }

 private:
  DIR* dir_;
};

std::string ParentOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Makes a rename or a new file in a directory durable.
void SyncDirectory(const std::string& directory) {
  Descriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.Valid()) ::fsync(fd.Get());
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// rename(2) without replacing the target. The kernel does it atomically where the file
// system supports it; elsewhere a hard link followed by removing the old name gives the same
// guarantees to processes that rename the same file (only one link of a name succeeds) as
// long as every one of them goes through this function.
int RenameNoReplace(const std::string& from, const std::string& to) {
#ifdef SYS_renameat2
  constexpr unsigned kNoReplace = 1;  // RENAME_NOREPLACE
  if (::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), kNoReplace) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
#endif
  if (::link(from.c_str(), to.c_str()) != 0) return errno;
  if (::unlink(from.c_str()) != 0) {
    const int error = errno;
    ::unlink(to.c_str());
    return error;
  }
  return 0;
}

std::atomic<unsigned> temporaryCounter{0};

}  // namespace

FileResult HostedPlatform::MakePrivateDirectory(std::string_view path) {
  const std::string local = HostPath(path);
  if (::mkdir(local.c_str(), 0700) != 0 && errno != EEXIST) return FromErrno(errno);
  // Opened without following a link, and narrowed through that descriptor: a link put in
  // the directory's place never has its target's access changed.
  Descriptor fd(::open(local.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.Valid()) return errno == ENOENT ? FileResult::NotFound : FileResult::Failed;
  struct stat status {};
  if (::fstat(fd.Get(), &status) != 0 || !S_ISDIR(status.st_mode)) return FileResult::Failed;
  if ((status.st_mode & 07777) != 0700 && ::fchmod(fd.Get(), 0700) != 0) return FileResult::Failed;
  SyncDirectory(ParentOf(local));
  return FileResult::Ok;
}

FileResult HostedPlatform::WriteFileDurably(std::string_view path, std::string_view bytes, bool replaceExisting) {
  const std::string local = HostPath(path);
  const std::string temporary =
      local + "." + std::to_string(::getpid()) + "-" + std::to_string(temporaryCounter.fetch_add(1) + 1) + ".tmp";
  Descriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd.Valid()) return FromErrno(errno);
  if (!WriteAll(fd.Get(), bytes) || ::fsync(fd.Get()) != 0 || !fd.Close()) {
    ::unlink(temporary.c_str());
    return FileResult::Failed;
  }
  const int error = replaceExisting ? (::rename(temporary.c_str(), local.c_str()) == 0 ? 0 : errno)
                                    : RenameNoReplace(temporary, local);
  if (error != 0) {
    ::unlink(temporary.c_str());
    return FromErrno(error);
  }
  SyncDirectory(ParentOf(local));
  return FileResult::Ok;
}

// A directory's fsync puts its entries, and so the renames within it, on the disk.
FileResult HostedPlatform::FlushRenames(std::string_view path) {
  Descriptor fd(::open(HostPath(path).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.Valid()) return errno == ENOENT ? FileResult::NotFound : FileResult::Failed;
  return ::fsync(fd.Get()) == 0 ? FileResult::Ok : FileResult::Failed;
}

FileResult HostedPlatform::RenameWithoutReplacing(std::string_view from, std::string_view to) {
  const std::string localFrom = HostPath(from);
  const std::string localTo = HostPath(to);
  const int error = RenameNoReplace(localFrom, localTo);
  return error == 0 ? FileResult::Ok : FromErrno(error);
}

DirectoryListing HostedPlatform::ListDirectory(std::string_view path) {
  DirectoryListing listing;
  const std::string local = HostPath(path);
  Directory directory(local);
  if (!directory.Get()) {
    listing.result = FromErrno(errno);
    return listing;
  }
  const std::time_t now = std::time(nullptr);
  const int dirFd = ::dirfd(directory.Get());
  while (const dirent* entry = ::readdir(directory.Get())) {
    struct stat status {};
    // A file removed since readdir saw it is simply left out.
    if (::fstatat(dirFd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode)) continue;
    DirectoryEntry file;
    file.name = entry->d_name;
    file.size = static_cast<std::uint64_t>(status.st_size);
    file.ageSeconds = now > status.st_mtime ? static_cast<std::uint64_t>(now - status.st_mtime) : 0;
    listing.entries.push_back(std::move(file));
  }
  listing.result = FileResult::Ok;
  return listing;
}

// The kind comes with the name where the file system tells it (d_type); only where it does
// not is the entry itself looked at, never what a link points to.
FileResult HostedPlatform::ListNames(std::string_view path, const std::function<bool(std::string_view name)>& visit) {
  Directory directory(HostPath(path));
  if (!directory.Get()) return FromErrno(errno) == FileResult::NotFound ? FileResult::NotFound : FileResult::Failed;
  const int dirFd = ::dirfd(directory.Get());
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(directory.Get());
    if (!entry) return errno == 0 ? FileResult::Ok : FileResult::Failed;
    bool regular = entry->d_type == DT_REG;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat status {};
      regular = ::fstatat(dirFd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode);
    }
    if (regular && !visit(entry->d_name)) return FileResult::Ok;
  }
}

FileContent HostedPlatform::ReadWholeFile(std::string_view path, std::size_t limit) {
  FileContent content;
  Descriptor fd(::open(HostPath(path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.Valid()) {
    content.result = errno == ELOOP ? FileResult::Failed : FromErrno(errno);
    return content;
  }
  struct stat status {};
  if (::fstat(fd.Get(), &status) != 0 || !S_ISREG(status.st_mode)) return content;
  if (static_cast<std::uint64_t>(status.st_size) > limit) {
    content.result = FileResult::TooLarge;
    return content;
  }
  // Read to the end rather than trusting the size: the file is read as it is now.
  char buffer[8192];
  for (;;) {
    const ssize_t got = ::read(fd.Get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      content.bytes.clear();
      return content;
    }
    if (got == 0) break;
    content.bytes.append(buffer, static_cast<std::size_t>(got));
    if (content.bytes.size() > limit) {
      content.bytes.clear();
      content.result = FileResult::TooLarge;
      return content;
    }
  }
  content.result = FileResult::Ok;
  return content;
}

FileResult HostedPlatform::RemoveFile(std::string_view path) {
  const std::string local = HostPath(path);
  if (::unlink(local.c_str()) != 0) return FromErrno(errno);
  return FileResult::Ok;
}

PathInfo HostedPlatform::InspectPath(std::string_view path) {
  PathInfo info;
  struct stat status {};
  if (::lstat(HostPath(path).c_str(), &status) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) info.kind = PathKind::Missing;
    return info;
  }
  if (S_ISLNK(status.st_mode)) info.kind = PathKind::Link;
  else if (S_ISDIR(status.st_mode)) info.kind = PathKind::Directory;
  else if (S_ISREG(status.st_mode)) info.kind = PathKind::File;
  info.trustedOwner = status.st_uid == ::geteuid();
  info.privateAccess = info.trustedOwner && (status.st_mode & 077) == 0;
  return info;
}

std::uint32_t HostedPlatform::CurrentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

// /proc/<id>/stat: "<id> (<name>) <state> ..." with the start time (clock ticks since the
// machine started) as its 22nd field. The name may hold blanks and brackets, so the fields
// are counted from its last ')'. An ended process not yet reaped (state Z) runs no more.
ProcessInfo HostedPlatform::QueryProcess(std::uint32_t processId) {
  ProcessInfo info;
  if (processId == 0 || processId > 0x3FFFFFFFu) {
    info.state = ProcessState::Gone;
    return info;
  }
  std::ifstream file("/proc/" + std::to_string(processId) + "/stat");
  if (!file) {
    info.state = errno == ENOENT || errno == ESRCH ? ProcessState::Gone : ProcessState::Unknown;
    return info;
  }
  std::stringstream buffer;
  buffer << file.rdbuf();
  const std::string text = buffer.str();
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return info;
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  // Fields 3 to 22 follow the name: the state first, the start time 20th.
  std::string state;
  fields >> state;
  for (int i = 4; i <= 22 && fields >> field; ++i) {
  }
  if (state == "Z" || state == "X" || state == "x") {
    info.state = ProcessState::Gone;
    return info;
  }
  std::uint64_t start = 0;
  const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), start);
  if (field.empty() || error != std::errc() || end != field.data() + field.size()) return info;
  info.state = ProcessState::Running;
  info.startTime = start;
  return info;
}

// CLOCK_MONOTONIC counts from the machine's start for every process alike.
std::uint32_t HostedPlatform::ElapsedMilliseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const auto milliseconds = static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(milliseconds);
}

}  // namespace qbnotify::hosted
