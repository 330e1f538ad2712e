// The deny state: which listed servers this terminal server's sessions skip for a while
// because one of them found the server unusable (no connection, no answer, or an answer that
// it cannot serve). It lives in the state directory as "servers-denied", so that every
// session's process sees what another one learnt: a dead first server costs its connect
// time-out once per deny period, not at every logon.
//
// Content: one line per denied server, its entry as the settings list it, the time until
// which it is skipped (seconds since 1970, the system's clock) and why:
//
//   db1:3306\t1765170000\tno server at the address\n
//
// A missing or bad file, a line that does not parse, and an entry whose time lies further
// ahead than one deny period (a clock set back, a planted file) all mean "not denied": the
// state can only ever save time, never turn logons away from a server that works.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace qbnotify {

// How long a server that failed is skipped.
inline constexpr std::int64_t kServerDenySeconds = 30;
inline constexpr const char* kServerDenyStateName = "servers-denied";

struct DeniedServer {
  std::int64_t until = 0;  // seconds since 1970
  std::string reason;
  friend bool operator==(const DeniedServer&, const DeniedServer&) = default;
};

class ServerDenyState {
 public:
  // The entries of a file's content that are still denied at `now`.
  static ServerDenyState Parse(std::string_view content, std::int64_t now);
  std::string Serialize() const;

  bool IsDenied(const std::string& entry) const { return entries_.count(entry) != 0; }
  const std::map<std::string, DeniedServer>& Entries() const { return entries_; }
  // Denies `entry` from `now` for one deny period.
  void Deny(const std::string& entry, std::string reason, std::int64_t now);
  // True when the entry was there.
  bool Clear(const std::string& entry) { return entries_.erase(entry) != 0; }

  friend bool operator==(const ServerDenyState&, const ServerDenyState&) = default;

 private:
  std::map<std::string, DeniedServer> entries_;
};

// Now, on the system's clock, in seconds since 1970.
std::int64_t SystemSecondsNow();

// This installation's deny state as the state directory holds it (empty when it holds none
// or cannot be read), and writing it back (false when it could not be written; the state is
// advice, so a failure changes nothing else). Never throw.
ServerDenyState LoadServerDenyState(Platform& platform, std::int64_t now);
bool SaveServerDenyState(Platform& platform, const ServerDenyState& state);

}  // namespace qbnotify
