// The operating-system services that the library calls, drawn behind one interface.
//
// The core is handed a Platform and never asks which implementation it has. The hosted
// implementation (platform/hosted) answers from a session description and records what the
// library does; the Win32 implementation calls the Windows services of the same names.
//
// Texts are 8-bit strings in the system's ANSI code page (code page 936) and are passed as
// raw bytes. No operation throws unless its comment says so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qbnotify {

// A local date and time to whole seconds. The zero value (all fields 0) stands for a time
// that was never set.
struct DateTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;

  bool IsZero() const { return year == 0 && month == 0 && day == 0 && hour == 0 && minute == 0 && second == 0; }
  friend bool operator==(const DateTime&, const DateTime&) = default;
};

// Terminal-services session information classes, with the values the platform uses.
enum class SessionInfoClass : int {
  InitialProgram = 0,
  WinStationName = 6,
  ClientName = 10,
  ClientAddress = 14,
  ClientProtocolType = 16,
};

// Names the session of the calling thread.
inline constexpr std::uint32_t kCurrentSession = 0xFFFFFFFFu;

// System-metrics index that answers whether the process runs in a remote session.
inline constexpr int kMetricRemoteSession = 0x1000;

// Window constants used by the restore pass.
inline constexpr int kStyleIndex = -16;                      // GWL_STYLE
inline constexpr std::uint32_t kStyleVisible = 0x10000000u;  // WS_VISIBLE
inline constexpr int kShowHide = 0;                          // SW_HIDE
inline constexpr int kShowShow = 5;                          // SW_SHOW

using WindowHandle = std::uintptr_t;  // 0: no window
using TimerId = std::uintptr_t;       // 0: no timer

// What reading a registry string value found.
enum class RegistryStatus {
  KeyMissing,    // the key could not be opened (absent, or access refused)
  ValueMissing,  // the key is there but the value is not
  Text,          // a string value (plain or expandable, not expanded): see `text`
  OtherType,     // a value of a type that is not a string
};

struct RegistryValue {
  RegistryStatus status = RegistryStatus::KeyMissing;
  std::string text;  // the value up to its first NUL, when status is Text
};

// What a file operation found. Every file operation reports one of these and never throws.
enum class FileResult {
  Ok,
  NotFound,       // the file (or, for a new file, its directory) does not exist
  AlreadyExists,  // the target name is taken
  TooLarge,       // the file is larger than the caller allows
  Failed,         // any other failure (access refused, disk full, ...)
};

// One regular file of a directory.
struct DirectoryEntry {
  std::string name;               // the name alone, without the directory
  std::uint64_t size = 0;         // bytes
  std::uint64_t ageSeconds = 0;   // since the file was last written, by the system clock (0 if in the future)
};

struct DirectoryListing {
  FileResult result = FileResult::Failed;
  std::vector<DirectoryEntry> entries;  // in no particular order; empty unless result is Ok
};

struct FileContent {
  FileResult result = FileResult::Failed;
  std::string bytes;  // the whole file when result is Ok, else empty
};

// What a path names itself (a link is never followed).
enum class PathKind {
  Missing,    // nothing under that name
  Directory,  // a real directory
  File,       // a regular file
  Link,       // a symbolic link, a junction or any other reparse point, whatever it points to
  Other,      // anything else, or the path could not be looked at
};

struct PathInfo {
  PathKind kind = PathKind::Other;
  // Owned by an account the library trusts with its own files: the account this process
  // runs as, the system or the administrators (Windows); this process's own user (hosted).
  bool trustedOwner = false;
  // Only those accounts may open it (the access MakePrivateDirectory sets; on Windows also
  // protected from what its parent passes on).
  bool privateAccess = false;
  // Another account may change it or what it holds (write to it, add, remove or rename its
  // entries, change its access or owner): more than reading and passing through it.
  bool othersMayChange = false;
};

// Whether a path is out of reach of every account but those the library trusts (GuardPath).
struct PathGuard {
  bool safe = false;
  std::string where;    // the first folder or file found open, as given (no mapping); empty when safe
  std::string account;  // the account that could change it, as the system names it (a SID, "uid 1000");
                        // empty when the problem is the path itself (a link, a missing folder, ...)
  std::string problem;  // what that account could do there, or what is wrong with the path
};

// What a process id names now.
enum class ProcessState {
  Running,  // a process with that id runs (or has ended and is not yet reaped)
  Gone,     // no process has that id
  Unknown,  // it could not be told (access refused, ...): callers take it as running
};

struct ProcessInfo {
  ProcessState state = ProcessState::Unknown;
  // When state is Running: the time the process started, in the system's own units. The
  // same for one process at every call and in every process of the machine, and different
  // for a later process that reuses the id; nothing else is promised about the number.
  std::uint64_t startTime = 0;
};

// How grave an entry of the system's event log is (the Windows event types).
enum class SystemEventLevel : std::uint16_t {
  Error = 1,        // EVENTLOG_ERROR_TYPE
  Warning = 2,      // EVENTLOG_WARNING_TYPE
  Information = 4,  // EVENTLOG_INFORMATION_TYPE
};

// One entry of the system's event log under the library's own source: a stable id and
// category (their message texts are compiled into the library) and one text, in the ANSI
// code page, inserted into the id's message.
struct SystemEvent {
  std::uint32_t id = 0;
  std::uint16_t category = 0;
  SystemEventLevel level = SystemEventLevel::Information;
  std::string text;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // --- Terminal services ---

  // Queries one information class of a session on the local server. On success returns the
  // bytes of the platform's buffer exactly as handed back (text classes include their
  // terminating NUL; the client address is a 32-bit family followed by 20 address bytes;
  // the protocol type is a 16-bit value, both little-endian); the platform's buffer has
  // been released. On failure returns nullopt.
  virtual std::optional<std::string> QuerySessionInformation(std::uint32_t sessionId,
                                                             SessionInfoClass infoClass) = 0;

  // Sends `bytes` as one write on the virtual channel `channelName` of the current session:
  // loads the channel library, opens the channel, writes, closes the channel and releases
  // the library, whatever happens in between. True when the write was accepted; false when
  // the library or one of its functions is missing or the write failed.
  virtual bool WriteVirtualChannel(std::string_view channelName, std::string_view bytes) = 0;

  // --- System ---

  // The system metric with the given index (0 when the index is unknown).
  virtual int SystemMetric(int index) = 0;

  // Ends the session: the Windows session-end call with these flags and shutdown reason.
  // The result is not reported.
  virtual void EndSession(std::uint32_t flags, std::uint32_t reason) = 0;

  // The current local date and time, to whole seconds.
  virtual DateTime LocalNow() = 0;

  // The current date and time in UTC, to whole seconds: no step at the end of daylight
  // saving time, unlike the local time.
  virtual DateTime UtcNow() = 0;

  // Blocks the calling thread for the given number of milliseconds.
  virtual void SleepMilliseconds(std::uint32_t milliseconds) = 0;

  // --- Windows of the session's desktop ---

  // Calls `visit` for each top-level window, in the order in which the platform reports them.
  virtual void EnumerateTopLevelWindows(const std::function<void(WindowHandle)>& visit) = 0;

  // Copies the window's title into `buffer` as the ANSI title call does: at most
  // `capacity` - 1 bytes followed by a NUL. Returns the number of bytes copied (0 when the
  // title cannot be read; the buffer is then left as it was, apart from a NUL at [0]).
  virtual int ReadWindowTitle(WindowHandle window, char* buffer, int capacity) = 0;

  // The window's style bits (the window-long value at the style index); 0 when unknown.
  virtual std::uint32_t ReadWindowStyle(WindowHandle window) = 0;

  // The window's parent or owner; 0 when it has none.
  virtual WindowHandle ReadWindowParent(WindowHandle window) = 0;

  // Shows or hides the window with a show command (kShowHide, kShowShow). Not reported.
  virtual void ShowWindowCommand(WindowHandle window, int command) = 0;

  // Starts a timer that calls `tick` every `periodMilliseconds` on the creating thread,
  // through that thread's message queue; it never interrupts running code. Returns its id.
  virtual TimerId StartTimer(std::uint32_t periodMilliseconds, std::function<void()> tick) = 0;

  // Stops the timer; no tick follows. Stopping an unknown or stopped timer does nothing.
  virtual void StopTimer(TimerId timer) = 0;

  // --- Registry and settings files ---

  // Reads a string value of a key under the local machine's root, opening the key with all
  // access rights and never creating it.
  virtual RegistryValue ReadMachineRegistryString(std::string_view keyPath, std::string_view valueName) = 0;

  // Reads one value of an INI file as the private-profile reader does: section and key
  // names matched without regard to case, the value without surrounding blanks (and
  // without one pair of enclosing quotes), at most `bufferSize` - 1 bytes of it. A missing
  // file, section or key gives `defaultValue`. `path` is a Windows path.
  virtual std::string ReadProfileString(std::string_view section, std::string_view key,
                                        std::string_view defaultValue, std::string_view path,
                                        std::size_t bufferSize) = 0;

  // --- Files ---
  //
  // Paths are Windows paths ("C:\\TAV\\Data\\Spool\\x.row"); an implementation on another
  // system maps them as it maps the settings file's path. Names within a directory are
  // compared as the system compares them; callers use plain ASCII names only.

  // Makes `path` a directory that only the account this process runs as and the
  // administrators (and the system) may open, creating it when it is missing; an existing
  // directory has its access narrowed the same way. Its parent must exist (NotFound
  // otherwise). Files created in it later are no more open than it is. Ok when the directory
  // exists with that access afterwards; Failed when `path` is a file, a link or a junction
  // (whose target is never touched) or the access cannot be set.
  virtual FileResult MakePrivateDirectory(std::string_view path) = 0;

  // Writes a whole file so that a crash or power cut at any moment leaves under `path`
  // either what was there before (possibly nothing) or all of `bytes`, never a part: the
  // bytes go to a temporary file in the same directory (its name is `path` followed by
  // ".<process>-<n>.tmp"), are flushed to the disk, and the temporary file is renamed to
  // `path`. With `replaceExisting` false an existing `path` is left alone and the answer is
  // AlreadyExists. On any failure the temporary file is removed when possible; after a crash
  // it may stay behind, and callers clean such files up by their ".tmp" ending.
  virtual FileResult WriteFileDurably(std::string_view path, std::string_view bytes, bool replaceExisting) = 0;

  // Renames a file within one directory, atomically, never replacing: AlreadyExists when
  // `to` is taken, NotFound when `from` is gone (for instance because another process has
  // just renamed it: of several processes renaming one file at once, exactly one succeeds).
  // The rename need not be on the disk yet when this returns: after a power cut the file
  // may be found under either name (never both, never neither); a later WriteFileDurably in
  // the same directory settles it.
  virtual FileResult RenameWithoutReplacing(std::string_view from, std::string_view to) = 0;

  // Puts on the disk every rename already made in the directory `path` (its files'
  // RenameWithoutReplacing), so that a power cut undoes none of them: one wait for the disk
  // for any number of renames. Ok, NotFound when the directory does not exist, or Failed.
  virtual FileResult FlushRenames(std::string_view path) = 0;

  // The regular files of a directory (subdirectories are left out). NotFound when the
  // directory does not exist.
  virtual DirectoryListing ListDirectory(std::string_view path) = 0;

  // The names of the regular files of a directory, one call of `visit` each, in no
  // particular order, without opening or looking at the files (no size, no time): the cheap
  // listing of a large directory. Subdirectories and links (symbolic links, junctions, other
  // reparse points) are left out, never followed. `visit` answers false to stop there. Ok
  // when the listing ran to its end or was stopped; NotFound when the directory does not
  // exist; Failed on any other failure (some names may have been visited before it).
  virtual FileResult ListNames(std::string_view path, const std::function<bool(std::string_view name)>& visit) = 0;

  // Reads a whole file. TooLarge (and no bytes) when it holds more than `limit` bytes. A
  // link (symbolic link, junction) is never followed: reading one answers Failed.
  virtual FileContent ReadWholeFile(std::string_view path, std::size_t limit) = 0;

  // Removes a file. NotFound when it is not there. A link is removed itself, never its target.
  virtual FileResult RemoveFile(std::string_view path) = 0;

  // What `path` itself is, who owns it and who may open it; never follows a link.
  // RenameWithoutReplacing moves a directory or a link (itself) as it moves a file.
  virtual PathInfo InspectPath(std::string_view path) = 0;

  // Whether `path` (a directory or a file) and every folder above it, up to the root of its
  // volume, are out of reach of every account but the trusted ones: the system, the
  // administrators, the account this process runs as, and a folder's owner when it is one of
  // those (hosted: root and this process's user). Each must be a real directory (the path
  // itself may be a file): no link, junction or mount point; owned by a trusted account; and
  // no other account may remove, rename, replace or re-own it or change its access (Windows:
  // DELETE, WRITE_DAC or WRITE_OWNER on it, or FILE_DELETE_CHILD on its parent; adding a
  // folder beside it is harmless; hosted: write access to its parent, unless the parent's
  // sticky bit keeps others from its entries and the parent lies above `privateFrom`'s own
  // parent). From `privateFrom` down (the path itself or a folder above it; empty: none) they
  // also grant other accounts nothing at all. Only looks, through handles that never follow
  // a link. The first problem found from the root down is answered.
  virtual PathGuard GuardPath(std::string_view path, std::string_view privateFrom) = 0;

  // Narrows an existing file or directory so that only the system and the administrators
  // (with `ownAccount`, also the account this process runs as) may open it, its access list
  // protected from whatever its parent passes on (Windows), or only its owner (hosted).
  // Looked at and changed through one handle opened without following a link: Failed for a
  // link or junction (whose target is never touched), for a path owned by another account,
  // or when the access read back is not that; NotFound when nothing is there; Ok otherwise.
  virtual FileResult NarrowAccess(std::string_view path, bool ownAccount) = 0;

  // The number that tells this process from every other one running at the same time.
  virtual std::uint32_t CurrentProcessId() = 0;

  // Whether the process with this id runs, and since when (ProcessInfo).
  virtual ProcessInfo QueryProcess(std::uint32_t processId) = 0;

  // Milliseconds since the machine started, on a clock that never goes back and that every
  // process of the machine reads alike (the wall clock's changes do not move it). It wraps
  // after 2^32 ms: subtract readings as std::uint32_t.
  virtual std::uint32_t ElapsedMilliseconds() = 0;

  // --- The system's event log ---

  // Writes one entry under the library's event source. Not reported: an entry that cannot be
  // written is lost (the log is advice to the administrator, never the library's record).
  virtual void WriteSystemEvent(const SystemEvent& event) = 0;

  // --- The ANSI code page (936) ---

  // The position of the character after the one at `text` in a NUL-terminated text: one
  // byte on, or two for a lead byte followed by a non-NUL byte; `text` itself at the NUL.
  virtual const char* NextChar(const char* text) const = 0;

  // Upper-cases `length` bytes in place by the system locale's rules; a double-byte
  // character is upper-cased as a whole and never split.
  virtual void UpperCaseBuffer(char* buffer, std::size_t length) const = 0;

  // --- Progress texts ---

  // The library's trace point: receives each progress text. Produces no output unless the
  // implementation was asked for traces.
  virtual void Trace(std::string_view text) = 0;
};

}  // namespace qbnotify
