#include "store/OwnDirectory.h"

#include <atomic>
#include <charconv>

#include "environment/ConnectionSettings.h"
#include "store/spool/SpoolNames.h"
#include "store/SystemEventLog.h"

namespace qbnotify {
namespace {

std::atomic<std::uint64_t> untrustedFound{0};

// What makes a path not the library's own directory; empty when it is (access aside).
std::string Problem(const PathInfo& info) {
  switch (info.kind) {
    case PathKind::Missing:
    case PathKind::Directory: break;
    case PathKind::Link: return "a link or junction, not a directory";
    case PathKind::File: return "a file, not a directory";
    case PathKind::Other: return "not a directory, or it cannot be looked at";
  }
  if (info.kind == PathKind::Directory && !info.trustedOwner) return "owned by another account";
  // Whatever it holds may have been put there by another account.
  if (info.kind == PathKind::Directory && info.othersMayChange) return "other accounts may change what it holds";
  return {};
}

// Traces what became of a directory that is not the library's own and reports it to the
// system's event log.
void ReportNotOwn(Platform& platform, const std::string& path, const std::string& what) {
  platform.Trace("directory " + path + " " + what);
  ReportTrouble(platform, Trouble::FolderRefused,
                "The folder " + path + " is not the library's own and was " + what +
                    ". Until it is, nothing is kept there (rows and state live in the logon process only).");
}

// "<InstallPath>\Data" of one of its directories.
std::string DataOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Makes "Data" (when `create`) or narrows it when it is the library's own and open; never
// moves it: it holds the settings. Empty when it is usable (or missing and not asked for).
std::string EnsureData(Platform& platform, const std::string& data, bool create, bool& missing) {
  PathInfo info = platform.InspectPath(data);
  missing = info.kind == PathKind::Missing;
  if (missing && !create) return {};
  // Open for reading only, it is narrowed; one that others could change (rename the
  // directories in it, or put their own there) is not used until an administrator narrows it.
  if (info.kind == PathKind::Directory && info.trustedOwner && info.othersMayChange)
    return "other accounts may change what it holds (narrow it: qbnotify-settings protect)";
  if (missing || (info.kind == PathKind::Directory && info.trustedOwner)) {
    platform.MakePrivateDirectory(data);
    info = platform.InspectPath(data);
    missing = false;
  }
  if (info.kind == PathKind::Missing) return "cannot be made";
  const std::string problem = Problem(info);
  if (!problem.empty()) return problem;
  return info.privateAccess ? std::string() : "its access cannot be made private";
}

}  // namespace

std::string DescribePathGuard(const PathGuard& guard) {
  if (guard.safe) return {};
  return guard.where + ": " + (guard.account.empty() ? guard.problem : guard.account + " " + guard.problem);
}

std::optional<std::string> OwnDirectoryPath(Platform& platform, std::string_view leaf) {
  const RegistryValue installPath = platform.ReadMachineRegistryString(kProductKey, kInstallPathValue);
  if (installPath.status != RegistryStatus::Text || installPath.text.empty()) return std::nullopt;
  std::string path = installPath.text;
  while (!path.empty() && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return path + kDataDirectorySuffix + "\\" + std::string(leaf);
}

OwnDirectoryCheck EnsureOwnDirectory(Platform& platform, const std::string& path, bool create) {
  OwnDirectoryCheck check;
  // Counted and traced; the directory is not used.
  const auto refuse = [&](std::string problem) {
    ++untrustedFound;
    check.untrusted = true;
    check.state = OwnDirectoryState::Refused;
    check.problem = std::move(problem);
    ReportNotOwn(platform, path, "refused: " + check.problem);
    return check;
  };
  const std::string data = DataOf(path);
  bool dataMissing = false;
  if (const std::string problem = EnsureData(platform, data, create, dataMissing); !problem.empty())
    return refuse(data + ": " + problem);
  if (dataMissing) {
    check.state = OwnDirectoryState::Missing;
    return check;
  }
  // Nothing is made, moved or narrowed in Data before it and every folder above it are known
  // to be out of other accounts' reach: the names used below then lead where they did.
  if (const PathGuard guard = platform.GuardPath(data, data); !guard.safe) return refuse(DescribePathGuard(guard));
  PathInfo info = platform.InspectPath(path);
  check.problem = Problem(info);
  if (!check.problem.empty()) {
    ++untrustedFound;
    check.untrusted = true;
    const std::string aside = path + ".untrusted-" + spool::Hex8(platform.ElapsedMilliseconds());
    if (platform.RenameWithoutReplacing(path, aside) != FileResult::Ok) {
      ReportNotOwn(platform, path, "refused: " + check.problem);
      check.state = OwnDirectoryState::Refused;
      return check;
    }
    ReportNotOwn(platform, path, "moved aside to " + aside + ": " + check.problem);
    check.state = OwnDirectoryState::MovedAside;
    if (!create) return check;
    info = platform.InspectPath(path);
  }
  if (info.kind == PathKind::Missing) {
    if (!create) {
      if (check.state != OwnDirectoryState::MovedAside) check.state = OwnDirectoryState::Missing;
      return check;
    }
    if (platform.MakePrivateDirectory(path) != FileResult::Ok) {
      check.state = OwnDirectoryState::Refused;
      if (check.problem.empty()) check.problem = "cannot be made";
      return check;
    }
    info = platform.InspectPath(path);
  } else if (info.kind == PathKind::Directory && info.trustedOwner) {
    // The library's own directory: narrowed when its access is wider than its own, and its
    // list protected from what the parent passes on (safe, since it is neither a link nor
    // another account's; nothing is changed when it is already so).
    platform.MakePrivateDirectory(path);
    info = platform.InspectPath(path);
  }
  // Looked at again after every change: something put in its place meanwhile is refused.
  if (info.kind != PathKind::Directory || !info.trustedOwner || !info.privateAccess)
    return refuse(Problem(info).empty() ? "its access cannot be made private" : Problem(info));
  // Usable only while no other account can remove, rename or replace it or a folder above it,
  // or open Data or it.
  if (const PathGuard guard = platform.GuardPath(path, data); !guard.safe) return refuse(DescribePathGuard(guard));
  check.state = OwnDirectoryState::Ready;
  return check;
}

std::string DescribeOwnDirectoryProblem(Platform& platform, const std::string& path) {
  const PathInfo info = platform.InspectPath(path);
  std::string problem = Problem(info);
  if (problem.empty() && info.kind == PathKind::Directory && !info.privateAccess) problem = "open to other accounts";
  if (!problem.empty()) return problem;
  // The folders above, from the volume's root: looked at as far down as they exist.
  const std::string data = DataOf(path);
  const std::string deepest = info.kind != PathKind::Missing ? path : data;
  if (deepest.empty() || platform.InspectPath(deepest).kind == PathKind::Missing) return {};
  return DescribePathGuard(platform.GuardPath(deepest, data));
}

std::uint64_t UntrustedDirectoriesFound() { return untrustedFound.load(); }

std::optional<std::uint32_t> TemporaryFileWriter(std::string_view name) {
  if (!spool::EndsWith(name, spool::kTemporarySuffix)) return std::nullopt;
  name.remove_suffix(spool::kTemporarySuffix.size());
  const std::size_t dash = name.rfind('-');
  const std::size_t dot = name.rfind('.', dash);
  if (dash == std::string_view::npos || dot == std::string_view::npos || dot + 1 >= dash ||
      dash + 1 >= name.size() || name.find_first_not_of("0123456789", dash + 1) != std::string_view::npos)
    return std::nullopt;
  std::uint32_t process = 0;
  const std::string_view digits = name.substr(dot + 1, dash - dot - 1);
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), process);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return process;
}

bool IsLeftOverTemporary(Platform& platform, std::string_view name) {
  const std::optional<std::uint32_t> writer = TemporaryFileWriter(name);
  if (!writer || *writer == platform.CurrentProcessId()) return false;
  return platform.QueryProcess(*writer).state == ProcessState::Gone;
}

}  // namespace qbnotify
