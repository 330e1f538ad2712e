#include "store/StateDirectory.h"

#include <new>

#include "store/OwnDirectory.h"
#include "store/spool/SpoolCounts.h"
#include "store/spool/SpoolEntry.h"
#include "store/spool/SpoolNames.h"

namespace qbnotify {
namespace {

constexpr std::string_view kStateMagic = "QBSTATE 1 ";

}  // namespace

std::string EncodeStateFile(std::string_view content) {
  return std::string(kStateMagic) + std::to_string(content.size()) + " " + spool::Hex8(Crc32(content)) + "\n" +
         std::string(content);
}

std::optional<std::string> DecodeStateFile(std::string_view bytes, std::size_t maxBytes) {
  if (!spool::StartsWith(bytes, kStateMagic)) return std::nullopt;
  bytes.remove_prefix(kStateMagic.size());
  const std::size_t blank = bytes.find(' ');
  const std::size_t newline = bytes.find('\n');
  if (blank == std::string_view::npos || newline == std::string_view::npos || blank > newline) return std::nullopt;
  const std::optional<std::uint64_t> length = spool::ParseCount(bytes.substr(0, blank));
  const std::string_view crc = bytes.substr(blank + 1, newline - blank - 1);
  const std::string_view content = bytes.substr(newline + 1);
  if (!length || *length != content.size() || content.size() > maxBytes || crc != spool::Hex8(Crc32(content)))
    return std::nullopt;
  return std::string(content);
}

bool IsStateName(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  for (const char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
      return false;
  return true;
}

std::optional<StateDirectory> StateDirectory::Locate(Platform& platform) {
  std::optional<std::string> directory = OwnDirectoryPath(platform, kStateLeaf);
  if (!directory) return std::nullopt;
  return StateDirectory(platform, std::move(*directory));
}

bool StateDirectory::Write(std::string_view name, std::string_view content, std::size_t maxBytes) {
  try {
    if (!IsStateName(name) || content.size() > maxBytes) return false;
    if (!EnsureOwnDirectory(platform_, directory_, true).Usable()) return false;
    RemoveLeftOverTemporaries();
    return platform_.WriteFileDurably(PathOf(name), EncodeStateFile(content), true) == FileResult::Ok;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

FileResult StateDirectory::Create(std::string_view name, std::string_view content) {
  try {
    if (!IsStateName(name) || content.size() > kMaxStateBytes) return FileResult::Failed;
    if (!EnsureOwnDirectory(platform_, directory_, true).Usable()) return FileResult::Failed;
    return platform_.WriteFileDurably(PathOf(name), EncodeStateFile(content), false);
  } catch (const std::bad_alloc&) {
    return FileResult::Failed;
  }
}

std::optional<std::string> StateDirectory::Read(std::string_view name, std::size_t maxBytes) {
  try {
    if (!IsStateName(name) || !EnsureOwnDirectory(platform_, directory_, false).Usable()) return std::nullopt;
    const std::size_t limit = maxBytes + 64;  // the header line too
    const FileContent file = platform_.ReadWholeFile(PathOf(name), limit);
    if (file.result != FileResult::Ok) return std::nullopt;
    return DecodeStateFile(file.bytes, maxBytes);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

bool StateDirectory::Remove(std::string_view name) {
  if (!IsStateName(name)) return false;
  const OwnDirectoryCheck check = EnsureOwnDirectory(platform_, directory_, false);
  if (check.state == OwnDirectoryState::Missing) return true;
  if (!check.Usable()) return false;
  const FileResult removed = platform_.RemoveFile(PathOf(name));
  return removed == FileResult::Ok || removed == FileResult::NotFound;
}

void StateDirectory::RemoveLeftOverTemporaries() {
  const DirectoryListing listing = platform_.ListDirectory(directory_);
  for (const DirectoryEntry& entry : listing.entries)
    if (IsLeftOverTemporary(platform_, entry.name)) platform_.RemoveFile(directory_ + "\\" + entry.name);
}

}  // namespace qbnotify
