// The listed servers: each one's connection, readiness and cluster state, the deny state
// that the library's sessions share, and the server the library would use now.
#include <algorithm>
#include <map>

#include "environment/ConnectionSettings.h"
#include "store/ServerDeny.h"
#include "store/ServerList.h"
#include "tools/common/ToolSupport.h"
#include "tools/qbnotify-doctor/DoctorChecks.h"

namespace qbnotify::tools {
namespace {

std::string Shown(const std::map<std::string, std::string>& variables, const char* name) {
  const auto it = variables.find(name);
  return it == variables.end() ? std::string("-") : it->second;
}

}  // namespace

void Doctor::Servers() {
  std::vector<ListedServer> servers;
  std::string dsHost;
  try {
    dsHost = ReadConnectionSetting(platform_, "DSConnection", "DSHost");
    servers = ParseServerList(dsHost);
  } catch (const std::exception& error) {
    return Add("servers", "list", Status::Failed, error.what());
  }
  if (servers.empty()) return Skip("servers", "list", "DSHost names no usable server");
  // One server: what the connections below say is all there is to say.
  if (servers.size() < 2)
    return Add("servers", "would use", Status::Ok, servers.front().entry + " (the one server: no list, no deny state)");
  const bool list = true;
  const unsigned connectSeconds = ReadServerConnectSeconds(platform_);
  const std::int64_t now = SystemSecondsNow();
  const ServerDenyState denied = LoadServerDenyState(platform_, now);

  // What the library would do: the first listed server, those not denied first, that
  // connects and can serve; else the first that answered as read-only or out of sync.
  std::optional<std::size_t> ready, soft;
  std::vector<bool> usable(servers.size(), false);
  for (std::size_t i = 0; i < servers.size(); ++i) {
    const ListedServer& server = servers[i];
    const std::string name = "server " + std::to_string(i + 1) + " " + server.entry;
    Connection connection("DS");
    try {
      ConfigureConnection(platform_, connection, dsHost, "DSConnection", "DSDB");  // the account and database
    } catch (const DatabaseError& error) {
      Add("servers", name, Status::Failed, error.what());
      continue;
    }
    connection.host = server.address.host;
    connection.port = server.address.port;
    connection.connectTimeoutSeconds = list ? std::min(connectSeconds, options_.connectTimeoutSeconds)
                                            : options_.connectTimeoutSeconds;
    std::string deny;
    if (denied.IsDenied(server.entry)) {
      const DeniedServer& entry = denied.Entries().at(server.entry);
      deny = "; denied for " + std::to_string(entry.until - now) + " s more (" + entry.reason + ")";
    }
    try {
      connection.Open();
    } catch (const DatabaseError& error) {
      // With a list, the farm goes on on the others: a warning; the one server: a failure.
      Add("servers", name, list ? Status::Warning : Status::Failed,
          std::string("not reachable or not accepted: ") + error.what() + deny,
          "start the server, or check DSHost, the account and any firewall between");
      continue;
    }
    std::map<std::string, std::string> variables;
    try {
      for (const auto& row : connection.Query(kReadinessQuery).rows)
        if (row.size() == 2 && row[0] && row[1]) {
          std::string key = *row[0];
          for (char& c : key)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
          variables[key] = *row[1];
        }
    } catch (const DatabaseError& error) {
      Add("servers", name, list ? Status::Warning : Status::Failed,
          std::string("answers, but not the readiness query: ") + error.what() + deny);
      continue;
    }
    const std::optional<Unreadiness> unready = JudgeReadiness(variables);
    const std::string state =
        "read_only " + Shown(variables, "READ_ONLY") +
        (Shown(variables, "WSREP_ON") == "ON"
             ? ", cluster node: ready " + Shown(variables, "WSREP_READY") + ", state " +
                   Shown(variables, "WSREP_LOCAL_STATE") + ", reject_queries " +
                   Shown(variables, "WSREP_REJECT_QUERIES") + ", desync " + Shown(variables, "WSREP_DESYNC")
             : std::string(", not a cluster node"));
    if (unready) {
      if (unready->soft && !soft) soft = i;
      Add("servers", name, list ? Status::Warning : Status::Ok,
          "cannot serve: " + unready->reason + " (" + state + ")" + deny,
          list ? "the library passes it over while another listed server can serve" : "");
      continue;
    }
    usable[i] = true;
    Add("servers", name, Status::Ok, "ready (" + state + ")" + deny);
  }
  for (const bool skipDenied : {true, false})
    for (std::size_t i = 0; i < servers.size() && !ready; ++i)
      if (usable[i] && !(skipDenied && denied.IsDenied(servers[i].entry))) ready = i;
  const std::optional<std::size_t> chosen = ready ? ready : soft;
  if (chosen) chosen_ = servers[*chosen].address;
  std::string entries;
  for (const auto& [entry, deniedServer] : denied.Entries())
    entries += (entries.empty() ? "" : "; ") + entry + " for " + std::to_string(deniedServer.until - now) + " s (" +
               deniedServer.reason + ")";
  Add("servers", "deny state", Status::Ok,
      entries.empty() ? "no server denied" : entries + "; a server that fails is skipped for " +
                                                 std::to_string(kServerDenySeconds) + " s");
  if (!chosen)
    Add("servers", "would use", Status::Failed, "none: no listed server can serve now; sessions go on unchecked",
        "start a server, or mend the ones above");
  else
    Add("servers", "would use", ready ? Status::Ok : Status::Warning,
        servers[*chosen].entry + (ready ? "" : " (no listed server can serve fully: the first that answered)") +
            (list ? ", each server's connect time-out " + std::to_string(connectSeconds) + " s" : ""));
}

}  // namespace qbnotify::tools
