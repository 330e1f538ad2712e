// The Win32 platform's access to files and folders: owners and access lists read and set
// through one handle of the path itself, the folders from the volume's root checked for what
// other accounts could do to them.
#include <optional>
#include <string>
#include <vector>

#include "platform/win32/Win32Handles.h"
#include "platform/win32/Win32Platform.h"

#include <sddl.h>

namespace qbnotify::win32 {
namespace {

std::string SidText(PSID sid) {
  LocalMemory text;
  if (!sid || !ConvertSidToStringSidA(sid, text.Receive<char>())) return {};
  return std::string(static_cast<const char*>(text.Get()));
}

// A SID made from its string form, or none.
class KnownSid {
 public:
  explicit KnownSid(const char* text) { ConvertStringSidToSidA(text, memory_.Receive<void>()); }
  PSID Get() const { return memory_.Get(); }

 private:
  LocalMemory memory_;
};

// The accounts the library trusts with its files: the system, the administrators and the
// account this process runs as. Compared as SIDs: a SID that cannot be read matches nothing.
class TrustedAccounts {
 public:
  TrustedAccounts() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return;
    FileHandle token(raw);
    DWORD size = 0;
    GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    if (size == 0) return;
    user_.assign(size, '\0');
    if (!GetTokenInformation(token.Get(), TokenUser, user_.data(), size, &size)) user_.clear();
  }

  PSID User() const {
    return user_.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(user_.data())->User.Sid;
  }
  // The system or the administrators; with `withUser`, this process's account too.
  bool Trusted(PSID sid, bool withUser = true) const {
    if (!sid || !IsValidSid(sid)) return false;
    const auto equal = [sid](PSID known) { return known && IsValidSid(known) && EqualSid(sid, known); };
    return equal(system_.Get()) || equal(administrators_.Get()) || (withUser && equal(User()));
  }

 private:
  KnownSid system_{"S-1-5-18"};
  KnownSid administrators_{"S-1-5-32-544"};
  std::string user_;  // TOKEN_USER
};

}  // namespace

bool PrivateDescriptor(LocalMemory& descriptor, bool ownAccount, bool container) {
  const std::string flags = container ? "OICI" : "";
  std::string sddl = "D:P(A;" + flags + ";FA;;;SY)(A;" + flags + ";FA;;;BA)";
  if (ownAccount) {
    const std::string user = SidText(TrustedAccounts().User());
    if (user.empty()) return false;
    sddl += "(A;" + flags + ";FA;;;" + user + ")";
  }
  return ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                              descriptor.Receive<void>(), nullptr) != FALSE;
}

namespace {

// Opens the file or directory `name` itself, never what a junction, link or mount point
// leads to.
HANDLE OpenItself(const std::string& name, DWORD access) {
  return CreateFileA(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// The owner and access list of an open handle; empty when they cannot be read.
std::string ReadSecurity(HANDLE handle) {
  const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD size = 0;
  GetKernelObjectSecurity(handle, what, nullptr, 0, &size);
  if (size == 0) return {};
  std::string descriptor(size, '\0');
  if (!GetKernelObjectSecurity(handle, what, descriptor.data(), size, &size)) return {};
  return descriptor;
}

PSID OwnerOf(const std::string& descriptor) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (descriptor.empty() || !GetSecurityDescriptorOwner(const_cast<char*>(descriptor.data()), &owner, &defaulted))
    return nullptr;
  return owner;
}

// The access list of a descriptor; nullptr when it has none (which opens it to everyone).
PACL DaclOf(const std::string& descriptor) {
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL acl = nullptr;
  if (descriptor.empty() ||
      !GetSecurityDescriptorDacl(const_cast<char*>(descriptor.data()), &present, &acl, &defaulted) || !present)
    return nullptr;
  return acl;
}

bool DaclProtected(const std::string& descriptor) {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  return !descriptor.empty() &&
         GetSecurityDescriptorControl(const_cast<char*>(descriptor.data()), &control, &revision) &&
         (control & SE_DACL_PROTECTED) != 0;
}

// An entry of an access list that applies to the object itself: its account and its rights
// with the generic ones mapped to a file's. Entries that only pass on are left out.
struct Grant {
  PSID sid = nullptr;
  ACCESS_MASK mask = 0;
  bool known = true;       // an allowing entry of a kind this code reads
  bool inherited = false;  // passed on by the parent
};

std::vector<Grant> Grants(PACL acl) {
  std::vector<Grant> grants;
  GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
  for (DWORD i = 0; acl && i < acl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(acl, i, &ace)) {
      grants.push_back(Grant{nullptr, FILE_ALL_ACCESS, false});
      break;
    }
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if (header->AceFlags & INHERIT_ONLY_ACE) continue;
    if (header->AceType == ACCESS_DENIED_ACE_TYPE || header->AceType == SYSTEM_AUDIT_ACE_TYPE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      grants.push_back(Grant{nullptr, FILE_ALL_ACCESS, false});
      continue;
    }
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    ACCESS_MASK mask = allowed->Mask;
    MapGenericMask(&mask, &mapping);
    grants.push_back(Grant{&allowed->SidStart, mask, true, (header->AceFlags & INHERITED_ACE) != 0});
  }
  return grants;
}

// Whether an access list allows no one but the system, the administrators and (with
// `withUser`) this process's account, each by an entry of its own (none passed on by the
// parent). Every use of a directory checks this again, so an entry the parent passes on later
// is seen then.
bool PrivateEntries(const std::string& descriptor, const TrustedAccounts& trusted, bool withUser = true) {
  const PACL acl = DaclOf(descriptor);
  if (!acl) return false;
  const std::vector<Grant> grants = Grants(acl);
  for (const Grant& grant : grants)
    if (!grant.known || grant.inherited || !trusted.Trusted(grant.sid, withUser)) return false;
  return !grants.empty();
}

// The same, and protected from what its parent passes on: nothing to set. Checked before
// setting a directory's list, which walks every file inside to pass it on and so is slow for
// a full spool. (Wine keeps no protection flag: there the list is set again at each use.)
bool AlreadyPrivate(const std::string& descriptor, const TrustedAccounts& trusted, bool withUser = true) {
  return DaclProtected(descriptor) && PrivateEntries(descriptor, trusted, withUser);
}

std::string AccountName(PSID sid) {
  const std::string text = SidText(sid);
  return text.empty() ? std::string("an account whose SID cannot be read") : text;
}

// One step of GuardPath: the object `name` (already opened as `handle`) as a folder on the
// way down or as the path itself.
struct Step {
  bool last = false;        // the path itself (may be a file)
  bool privateLevel = false;  // at or below privateFrom: may grant others nothing
  bool hasChild = false;    // a folder on the way: what it holds must not be removable by others
};

PathGuard Problem(const std::string& where, std::string account, std::string problem) {
  return PathGuard{false, where, std::move(account), std::move(problem)};
}

std::optional<PathGuard> CheckStep(const std::string& name, const Step& step, const TrustedAccounts& trusted) {
  FileHandle handle(OpenItself(name, READ_CONTROL | FILE_READ_ATTRIBUTES));
  if (!handle.Valid()) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return Problem(name, {}, "does not exist");
    return Problem(name, {}, "cannot be looked at (error " + std::to_string(error) + ")");
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(handle.Get(), &information)) return Problem(name, {}, "cannot be looked at");
  if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
    return Problem(name, {}, "a junction, link or mount point, not a real folder");
  if (!step.last && !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return Problem(name, {}, "not a folder");
  const std::string descriptor = ReadSecurity(handle.Get());
  if (descriptor.empty()) return Problem(name, {}, "its owner and access cannot be read");
  const PSID owner = OwnerOf(descriptor);
  if (!trusted.Trusted(owner)) return Problem(name, AccountName(owner), "owns it (and so may change its access)");
  const PACL acl = DaclOf(descriptor);
  if (!acl) return Problem(name, "Everyone (S-1-1-0)", "has every right: it has no access list");
  KnownSid ownerRights("S-1-3-4");
  for (const Grant& grant : Grants(acl)) {
    if (!grant.known) return Problem(name, {}, "its access list holds an entry of a kind that is not checked");
    // The owner's own entries ("OWNER RIGHTS" among them) are the trusted owner's.
    if (trusted.Trusted(grant.sid) || EqualSid(grant.sid, owner) ||
        (ownerRights.Get() && EqualSid(grant.sid, ownerRights.Get())))
      continue;
    if (grant.mask & (DELETE | WRITE_DAC | WRITE_OWNER))
      return Problem(name, AccountName(grant.sid), "may remove, rename, re-own it or change its access");
    if (step.hasChild && (grant.mask & FILE_DELETE_CHILD))
      return Problem(name, AccountName(grant.sid), "may remove or rename what it holds (FILE_DELETE_CHILD)");
    if (step.privateLevel && grant.mask != 0) return Problem(name, AccountName(grant.sid), "may open it");
  }
  return std::nullopt;
}

}  // namespace

namespace {
// Narrows `name` through one handle of the path itself (NarrowAccess); with `directoryOnly`,
// a file is refused.
FileResult Narrow(const std::string& name, bool ownAccount, bool directoryOnly);
}  // namespace

FileResult Win32Platform::MakePrivateDirectory(std::string_view path) {
  const std::string name(path);
  LocalMemory descriptor;
  if (!PrivateDescriptor(descriptor)) return FileResult::Failed;
  // The parent is held open, shared for everything but removal and renaming, while the
  // directory is made in it by name: it cannot be replaced by a junction meanwhile, and one
  // already in its place is refused.
  const std::size_t slash = name.find_last_of("\\/");
  const bool hasParent = slash != std::string::npos && slash > 0 && !(slash == 2 && name[1] == ':');
  FileHandle parent(hasParent ? CreateFileA(name.substr(0, slash).c_str(), FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)
                              : INVALID_HANDLE_VALUE);
  if (hasParent) {
    if (!parent.Valid()) return FromError(GetLastError());
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(parent.Get(), &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
      return FileResult::Failed;
  }
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = descriptor.Get();
  if (CreateDirectoryA(name.c_str(), &attributes)) return FileResult::Ok;
  const DWORD error = GetLastError();
  if (error != ERROR_ALREADY_EXISTS) return FromError(error);
  // An existing one is narrowed through a handle of its own: a junction or link in its place
  // is refused, never followed, and so is a file.
  const FileResult narrowed = Narrow(name, true, true);
  return narrowed == FileResult::NotFound ? FileResult::Failed : narrowed;
}

FileResult Win32Platform::NarrowAccess(std::string_view path, bool ownAccount) {
  return Narrow(std::string(path), ownAccount, false);
}

namespace {

FileResult Narrow(const std::string& name, bool ownAccount, bool directoryOnly) {
  FileHandle handle(OpenItself(name, READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES));
  if (!handle.Valid()) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FileResult::NotFound : FileResult::Failed;
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(handle.Get(), &information) ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return FileResult::Failed;
  const bool directory = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (directoryOnly && !directory) return FileResult::Failed;
  const TrustedAccounts trusted;
  const std::string found = ReadSecurity(handle.Get());
  if (!trusted.Trusted(OwnerOf(found))) return FileResult::Failed;
  if (AlreadyPrivate(found, trusted, ownAccount)) return FileResult::Ok;
  LocalMemory descriptor;
  if (!PrivateDescriptor(descriptor, ownAccount, directory)) return FileResult::Failed;
  // Protected ("P"), so nothing the parent allows is added; the files already inside keep
  // their own lists (those this platform writes carry the private one).
  if (!SetKernelObjectSecurity(handle.Get(), DACL_SECURITY_INFORMATION, descriptor.Get())) return FileResult::Failed;
  // A system that does not keep the list as set (it drops the protection: Wine) reads it back
  // with the owner's own entry; elsewhere the list must be exactly the one set.
  const std::string set = ReadSecurity(handle.Get());
  return PrivateEntries(set, trusted, ownAccount || !DaclProtected(set)) ? FileResult::Ok : FileResult::Failed;
}

}  // namespace

// From the volume's root down, each folder opened itself and looked at through its handle.
PathGuard Win32Platform::GuardPath(std::string_view path, std::string_view privateFrom) {
  const auto full = [](std::string_view given) {
    const std::string name(given);
    char buffer[MAX_PATH * 2];
    const DWORD length = GetFullPathNameA(name.c_str(), sizeof buffer, buffer, nullptr);
    if (length == 0 || length >= sizeof buffer) return std::string();
    std::string text(buffer, length);
    while (text.size() > 3 && (text.back() == '\\' || text.back() == '/')) text.pop_back();
    for (char& c : text)
      if (c == '/') c = '\\';
    return text;
  };
  const std::string target = full(path);
  if (target.empty()) return Problem(std::string(path), {}, "not a full path");
  // The root: "X:\" or "\\server\share\".
  std::size_t rootEnd = 0;
  if (target.size() >= 3 && target[1] == ':' && target[2] == '\\') {
    rootEnd = 3;
  } else if (target.rfind("\\\\", 0) == 0) {
    const std::size_t server = target.find('\\', 2);
    const std::size_t share = server == std::string::npos ? server : target.find('\\', server + 1);
    rootEnd = share == std::string::npos ? target.size() : share + 1;
  } else {
    return Problem(target, {}, "not a full path");
  }
  std::vector<std::string> levels = {target.substr(0, rootEnd)};
  for (std::size_t at = rootEnd; at < target.size();) {
    std::size_t next = target.find('\\', at);
    if (next == std::string::npos) next = target.size();
    if (next > at) levels.push_back(target.substr(0, next));
    at = next + 1;
  }
  // The path and its folders are compared as the system names them: letters without case.
  const auto same = [](const std::string& a, const std::string& b) { return lstrcmpiA(a.c_str(), b.c_str()) == 0; };
  const std::string privateTop = privateFrom.empty() ? std::string() : full(privateFrom);
  std::size_t privateLevel = levels.size();
  for (std::size_t i = 0; i < levels.size(); ++i)
    if (!privateTop.empty() && same(levels[i], privateTop)) privateLevel = i;
  const TrustedAccounts trusted;
  for (std::size_t i = 0; i < levels.size(); ++i) {
    const Step step{i + 1 == levels.size(), i >= privateLevel, i + 1 < levels.size()};
    if (std::optional<PathGuard> problem = CheckStep(levels[i], step, trusted)) return *problem;
  }
  return PathGuard{true, {}, {}, {}};
}

PathInfo Win32Platform::InspectPath(std::string_view path) {
  PathInfo info;
  const std::string name(path);
  FileHandle handle(OpenItself(name, READ_CONTROL | FILE_READ_ATTRIBUTES));
  if (!handle.Valid()) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) info.kind = PathKind::Missing;
    return info;
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(handle.Get(), &information)) return info;
  const DWORD attributes = information.dwFileAttributes;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) info.kind = PathKind::Link;
  else if (attributes & FILE_ATTRIBUTE_DIRECTORY) info.kind = PathKind::Directory;
  else info.kind = PathKind::File;
  // A link's owner is not asked for.
  if (info.kind == PathKind::Link) return info;
  const TrustedAccounts trusted;
  const std::string descriptor = ReadSecurity(handle.Get());
  const PSID owner = OwnerOf(descriptor);
  info.trustedOwner = trusted.Trusted(owner);
  info.privateAccess = info.trustedOwner && PrivateEntries(descriptor, trusted);
  info.othersMayChange = !info.trustedOwner || !DaclOf(descriptor);
  constexpr ACCESS_MASK kReading = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
  for (const Grant& grant : Grants(DaclOf(descriptor)))
    if (!grant.known || (!trusted.Trusted(grant.sid) && !EqualSid(grant.sid, owner) && (grant.mask & ~kReading)))
      info.othersMayChange = true;
  return info;
}

}  // namespace qbnotify::win32
