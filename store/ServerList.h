// The farm's database servers as the settings name them, and what the library learns of a
// server that answers before it uses it.
//
// "DSHost" of [DSConnection] holds one server, host:port as always, or several separated by
// commas, in the order of preference:
//
//   "db1:3306"                         -> one server; what it always meant
//   "3307"                             -> one server: the local machine, port 3307
//   "db1:3306,db2:3306, db3:3306"      -> three servers, tried in this order
//   "[fe80::1]:3306,10.0.0.2:3306"     -> an IPv6 address is written in brackets
//
// With two or more servers the three connections of a session go to the first that connects
// and can serve; each server gets its own short connect time-out (ServerConnectSeconds of
// [DSConnection], plain decimal seconds), and the whole open stays within the connect
// time-out and the handler's wait budget.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Platform.h"

namespace qbnotify {

struct HostPort {
  std::string host;  // empty: the local machine
  std::int32_t port = 0;
};

// Splits a "host:port" value: the host before the first ":", the port after it (the whole
// value when there is no ":"). nullopt when the port text is not a decimal integer from 1
// to 65535.
std::optional<HostPort> SplitHostPort(const std::string& value);

// One listed server: where it is, and its entry as the settings wrote it (the name the deny
// state and the tools use).
struct ListedServer {
  HostPort address;
  std::string entry;
};

// The servers of a "DSHost" value. A value without a comma is split exactly as
// SplitHostPort splits it (nothing else). In a list, blanks around each entry are dropped,
// "[addr]:port" names an IPv6 address, and an entry that is not a usable host:port is left
// out (`rejected` receives it, for the doctor); an empty answer means no usable server.
//   "a:1,b:2"       -> a:1, b:2         "a:1,,b:2"   -> a:1, b:2 (rejected: "")
//   "[::1]:3306"    -> ::1 port 3306    "a:1,b"      -> a:1 (rejected: "b")
//   "[::1]"         -> nothing          "a:1,a:1"    -> a:1 (the second is a repetition)
std::vector<ListedServer> ParseServerList(const std::string& value, std::vector<std::string>* rejected = nullptr);

// The per-server connect time-out of a list, seconds.
inline constexpr unsigned kDefaultServerConnectSeconds = 3;
inline constexpr unsigned kMaxServerConnectSeconds = 30;
inline constexpr const char* kServerConnectSecondsKey = "ServerConnectSeconds";

// ServerConnectSeconds of [DSConnection]: plain decimal 1 to 30; the default when missing
// or not such a number.
unsigned ReadServerConnectSeconds(Platform& platform);
unsigned ParseServerConnectSeconds(std::string_view text);

// The one query that tells whether a server that answered can serve the library: its
// read-only setting and, on a cluster node, whether the node takes statements. Rows of
// (VARIABLE_NAME, VARIABLE_VALUE); a server that lacks a variable leaves its row out.
extern const char* const kReadinessQuery;

// Judges the answer to kReadinessQuery, by upper-cased name:
//   READ_ONLY ON                                    -> "read-only"
//   WSREP_ON ON and WSREP_READY not ON              -> "cluster node not ready"
//   WSREP_ON ON and WSREP_LOCAL_STATE not 4         -> "cluster node not synced (state N)"
//   WSREP_ON ON and WSREP_REJECT_QUERIES not NONE   -> "cluster node rejects queries"
//   WSREP_ON ON and WSREP_DESYNC ON                 -> "cluster node desynced"
//   anything else (a plain server, variables absent) -> nullopt: it can serve
// "Soft" reasons (read-only, desynced, not synced but ready) still answer reads: such a server
// is the last resort when no listed server can serve.
struct Unreadiness {
  std::string reason;
  bool soft = false;
};
std::optional<Unreadiness> JudgeReadiness(const std::map<std::string, std::string>& variables);

}  // namespace qbnotify
