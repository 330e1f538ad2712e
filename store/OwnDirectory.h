// The library's own directories under "<InstallPath>\Data\": the spool and the state
// directory. The library reads and writes files only in a directory that is its own:
//
//   - a real directory, neither a link nor a junction (which would lead the library's
//     writes, removals and access changes somewhere else);
//   - owned by an account the library trusts (Windows: the system, the administrators or
//     the account the library runs as; hosted: the library's own user), so that nobody else
//     could have put files in it;
//   - with the private access list (PathInfo::privateAccess), narrowed here when the owner
//     is trusted and the access is wider;
//   - in a "Data" directory that is the library's own in the same way (made, both levels,
//     when missing and asked for; narrowed when open; never moved: it holds the settings);
//   - out of reach of every other account from the volume's root down (Platform::GuardPath:
//     nobody else can remove, rename, replace or re-own a folder on the way or change its
//     access, and "Data" and the directory grant other accounts nothing).
//
// Anything else in that place is moved aside to "<path>.untrusted-<tick>" (then nothing in
// it is ever read, and a new directory is made when the caller asks for one) or, when it
// cannot be moved, refused. Either is counted and traced, and the doctor reports it.
//
// Temporary files of durable writes ("<name>.<process>-<n>.tmp") are removed once the
// process that wrote them no longer runs, never by their age: a clock that jumps must not
// remove a write in flight.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace qbnotify {

inline constexpr const char* kDataDirectorySuffix = "\\Data";

// "<InstallPath>\Data\<leaf>"; nullopt when "InstallPath" cannot be read or is empty: then
// the library keeps no files at all.
std::optional<std::string> OwnDirectoryPath(Platform& platform, std::string_view leaf);

enum class OwnDirectoryState {
  Ready,       // the library's own directory, usable
  Missing,     // not there (and not asked for)
  MovedAside,  // something else was there and was moved aside; with `create`, a new one
               // was made in its place: Ready is then answered instead
  Refused,     // something else is there and could not be moved: not usable
};

struct OwnDirectoryCheck {
  OwnDirectoryState state = OwnDirectoryState::Refused;
  std::string problem;  // what was wrong, for traces and the doctor; empty when nothing
  bool untrusted = false;  // something not the library's own was found (and counted)
  bool Usable() const { return state == OwnDirectoryState::Ready; }
};

// Checks `path` as above, makes it (when `create`) or narrows its access when it is the
// library's own, and moves away anything else.
OwnDirectoryCheck EnsureOwnDirectory(Platform& platform, const std::string& path, bool create);

// Only looks: what EnsureOwnDirectory would find wrong, or an empty text when the directory
// is missing or the library's own. For the doctor.
std::string DescribeOwnDirectoryProblem(Platform& platform, const std::string& path);

// "<folder>: <account> <what it may do>" for a path that is not safe; empty when it is.
std::string DescribePathGuard(const PathGuard& guard);

// Directories moved aside or refused by this process so far.
std::uint64_t UntrustedDirectoriesFound();

// The process that wrote a temporary file "<name>.<process>-<n>.tmp"; nullopt for other names.
std::optional<std::uint32_t> TemporaryFileWriter(std::string_view name);

// Whether a temporary file is left over: its writer is another process that no longer
// runs. This process's own are never left over (another thread may be writing one).
bool IsLeftOverTemporary(Platform& platform, std::string_view name);

}  // namespace qbnotify
