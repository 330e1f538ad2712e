// The hosted platform's files: the POSIX calls behind the file operations, on the Windows
// paths mapped as the settings file's are (backslashes become slashes).
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <ctime>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

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
  friend void swap(Descriptor& a, Descriptor& b) noexcept { std::swap(a.fd_, b.fd_); }

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
  const std::size_t slash = local.find_last_of('/');
  const std::string parentPath = slash == std::string::npos ? "." : slash == 0 ? "/" : local.substr(0, slash);
  const std::string leaf = slash == std::string::npos ? local : local.substr(slash + 1);
  // Made and narrowed relative to its parent, opened without following a link: a link put in
  // the parent's or the directory's place is never followed, and never has its target's
  // access changed.
  Descriptor parent(::open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!parent.Valid()) return errno == ENOENT ? FileResult::NotFound : FileResult::Failed;
  if (::mkdirat(parent.Get(), leaf.c_str(), 0700) != 0 && errno != EEXIST) return FromErrno(errno);
  Descriptor fd(::openat(parent.Get(), leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.Valid()) return errno == ENOENT ? FileResult::NotFound : FileResult::Failed;
  struct stat status {};
  if (::fstat(fd.Get(), &status) != 0 || !S_ISDIR(status.st_mode)) return FileResult::Failed;
  if ((status.st_mode & 07777) != 0700 && ::fchmod(fd.Get(), 0700) != 0) return FileResult::Failed;
  ::fsync(parent.Get());
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
  // A second name of the file (a hard link) may be anyone's way to change what is read here.
  if (::fstat(fd.Get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1) return content;
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
  info.othersMayChange = !info.trustedOwner || (status.st_mode & 022) != 0;
  return info;
}

namespace {

// The accounts the hosted platform trusts with its files: root and this process's user.
bool TrustedUser(uid_t user) { return user == 0 || user == ::geteuid(); }

// Who besides the owner a mode lets in: "group <gid>", "every account" or empty.
std::string OthersAllowed(const struct stat& status, mode_t bits) {
  if (status.st_mode & bits & 0007) return "every account";
  if (status.st_mode & bits & 0070) return "group " + std::to_string(status.st_gid);
  return {};
}

// The components of an absolute or relative path (relative ones from the working
// directory); nullopt when one is "..".
std::optional<std::vector<std::string>> Components(const std::string& local) {
  std::string absolute = local;
  if (absolute.empty() || absolute.front() != '/') {
    char buffer[4096];
    if (!::getcwd(buffer, sizeof buffer)) return std::nullopt;
    absolute = std::string(buffer) + "/" + absolute;
  }
  std::vector<std::string> parts;
  std::size_t at = 0;
  while (at <= absolute.size()) {
    std::size_t next = absolute.find('/', at);
    if (next == std::string::npos) next = absolute.size();
    const std::string part = absolute.substr(at, next - at);
    if (part == "..") return std::nullopt;
    if (!part.empty() && part != ".") parts.push_back(part);
    at = next + 1;
  }
  return parts;
}

std::string Joined(const std::vector<std::string>& parts, std::size_t count) {
  std::string path;
  for (std::size_t i = 0; i < count; ++i) path += "/" + parts[i];
  return path.empty() ? "/" : path;
}

}  // namespace

// From "/" down, each level opened itself (O_PATH | O_NOFOLLOW) relative to the one above,
// so that every level looked at is the one the next is found in.
PathGuard HostedPlatform::GuardPath(std::string_view path, std::string_view privateFrom) {
  const std::optional<std::vector<std::string>> parts = Components(HostPath(path));
  if (!parts) return PathGuard{false, std::string(path), {}, "not a plain path (it holds \"..\")"};
  std::size_t privateLevel = parts->size() + 1;  // levels: 0 is "/", i is parts[0..i-1]
  if (!privateFrom.empty()) {
    const std::optional<std::vector<std::string>> top = Components(HostPath(privateFrom));
    if (top && top->size() <= parts->size() && std::equal(top->begin(), top->end(), parts->begin()))
      privateLevel = top->size();
  }
  // A sticky folder keeps others from removing or renaming what they do not own: allowed as
  // the parent of a level above the private one's parent (the install path).
  const std::size_t stickyBelow =
      privateLevel <= parts->size() ? (privateLevel > 0 ? privateLevel - 1 : 0) : parts->size();
  Descriptor current(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat parent {};
  for (std::size_t level = 0; level <= parts->size(); ++level) {
    const std::string where = Joined(*parts, level);
    const auto problem = [&](std::string account, std::string what) {
      return PathGuard{false, where, std::move(account), std::move(what)};
    };
    if (level > 0) {
      Descriptor next(::openat(current.Get(), (*parts)[level - 1].c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
      if (!next.Valid())
        return problem({}, errno == ENOENT ? "does not exist" : "cannot be looked at (" + std::to_string(errno) + ")");
      swap(current, next);
    }
    if (!current.Valid()) return problem({}, "cannot be looked at");
    struct stat status {};
    if (::fstat(current.Get(), &status) != 0) return problem({}, "cannot be looked at");
    const bool last = level == parts->size();
    if (S_ISLNK(status.st_mode)) return problem({}, "a symbolic link, not a real folder");
    if (!S_ISDIR(status.st_mode) && !(last && S_ISREG(status.st_mode))) return problem({}, "not a folder");
    if (!TrustedUser(status.st_uid))
      return problem("uid " + std::to_string(status.st_uid), "owns it (and so may change its access)");
    if (level > 0) {
      const std::string writers = OthersAllowed(parent, 0022);
      const bool sticky = (parent.st_mode & S_ISVTX) != 0 && level - 1 < stickyBelow;
      if (!writers.empty() && !sticky)
        return problem(writers, "may remove, rename or replace it (write access to " + Joined(*parts, level - 1) + ")");
    }
    if (level >= privateLevel) {
      const std::string readers = OthersAllowed(status, 0077);
      if (!readers.empty()) return problem(readers, "may open it");
    }
    parent = status;
  }
  return PathGuard{true, {}, {}, {}};
}

FileResult HostedPlatform::NarrowAccess(std::string_view path, bool) {
  Descriptor fd(::open(HostPath(path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.Valid()) return errno == ENOENT ? FileResult::NotFound : FileResult::Failed;
  struct stat status {};
  if (::fstat(fd.Get(), &status) != 0 || status.st_uid != ::geteuid()) return FileResult::Failed;
  const mode_t wanted = S_ISDIR(status.st_mode) ? 0700 : S_ISREG(status.st_mode) ? 0600 : 0;
  if (wanted == 0) return FileResult::Failed;
  if ((status.st_mode & 07777) != wanted && ::fchmod(fd.Get(), wanted) != 0) return FileResult::Failed;
  return ::fstat(fd.Get(), &status) == 0 && (status.st_mode & 07777) == wanted ? FileResult::Ok : FileResult::Failed;
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
