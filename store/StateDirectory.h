// The state directory, "<InstallPath>\Data\State\": small files the library keeps about
// itself between handlers and across restarts (what it last knew of the database and the
// farm), apart from the spool so that the spool's limits count rows only. It is protected
// as the spool is (OwnDirectory.h).
//
// Each file is "<name>.state", written whole under a temporary name, flushed and renamed into
// place, so that a crash leaves the old file or the new one. Its bytes are one header line
// and the content:
//
//   QBSTATE 1 <content length> <CRC-32 of the content, 8 hex digits>\n<content>
//
// A file that is missing, too large, fails its header or its checksum, or cannot be read,
// is read as absent: the caller then behaves as if it had never written it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace qbnotify {

inline constexpr const char* kStateLeaf = "State";
inline constexpr std::string_view kStateSuffix = ".state";
// The largest content a state file holds; larger writes are refused.
inline constexpr std::size_t kMaxStateBytes = 256 * 1024;

// The bytes of a file holding `content`, and the content of a file's bytes (nullopt unless
// they are exactly what EncodeStateFile writes).
std::string EncodeStateFile(std::string_view content);
std::optional<std::string> DecodeStateFile(std::string_view bytes, std::size_t maxBytes = kMaxStateBytes);

// A name of a state file: 1 to 64 letters, digits, '-' and '_'.
bool IsStateName(std::string_view name);

class StateDirectory {
 public:
  // The state directory of `directory` (a Windows path).
  StateDirectory(Platform& platform, std::string directory) : platform_(platform), directory_(std::move(directory)) {}

  // This installation's; nullopt without an "InstallPath".
  static std::optional<StateDirectory> Locate(Platform& platform);

  const std::string& Directory() const { return directory_; }

  // Replaces the file `name` with `content`, durably. False when the name is not a state
  // name, the content is larger than kMaxStateBytes, the directory is not the library's own
  // (it is made when missing) or the write failed; the file then keeps what it held.
  // A caller may allow a larger content (`maxBytes`) for a file of its own, reading it with
  // the same limit.
  bool Write(std::string_view name, std::string_view content, std::size_t maxBytes = kMaxStateBytes);
  // Writes the file `name` only when it is absent: of several processes creating one name,
  // exactly one gets Ok; the others AlreadyExists. Failed as Write fails.
  FileResult Create(std::string_view name, std::string_view content);
  // The content of `name`; nullopt when it is absent or bad, or the directory is not usable.
  std::optional<std::string> Read(std::string_view name, std::size_t maxBytes = kMaxStateBytes);
  // Removes `name`; true when it is gone afterwards.
  bool Remove(std::string_view name);

 private:
  std::string PathOf(std::string_view name) const {
    return directory_ + "\\" + std::string(name) + std::string(kStateSuffix);
  }
  void RemoveLeftOverTemporaries();

  Platform& platform_;
  std::string directory_;
};

}  // namespace qbnotify
