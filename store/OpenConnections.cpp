#include <tuple>

#include "environment/ConnectionSettings.h"
#include "environment/TlsSettings.h"
#include "store/Database.h"
#include "store/ServerDeny.h"
#include "store/SystemEventLog.h"

// The library's three connections (DS, DC, Log): configured from the settings, sharing one
// server of the list, opened together.
namespace qbnotify {


void ConfigureConnection(Platform& platform, Connection& connection, const std::string& dsHost, const char* section,
                         const char* databaseKey) {
  connection.user = ReadConnectionSetting(platform, "DSConnection", "DSUID");
  connection.password = ReadConnectionSetting(platform, "DSConnection", "DSPSW");
  const std::vector<ListedServer> servers = ParseServerList(dsHost);
  if (servers.empty()) throw DatabaseError("'" + dsHost + "' is not a valid host:port value");
  connection.host = servers.front().address.host;
  connection.port = servers.front().address.port;
  connection.database = ReadConnectionSetting(platform, section, databaseKey);
  const TlsSettings tls = ReadTlsSettings(platform);
  connection.tls = tls.mode;
  connection.tlsCaFile = tls.caFile;
}

namespace {

// With a list: the deny state decides where the open starts, and learns of every server
// that fails.
void PrepareFailover(Platform& platform, ServerState& server, std::vector<ListedServer> servers,
                     const ServerDenyState& denied, bool updateDenyState) {
  server.servers = std::move(servers);
  server.failed.assign(server.servers.size(), false);
  server.denied.assign(server.servers.size(), false);
  for (std::size_t i = 0; i < server.servers.size(); ++i) server.denied[i] = denied.IsDenied(server.servers[i].entry);
  server.current = 0;
  while (server.current < server.servers.size() && server.denied[server.current]) ++server.current;
  if (server.current == server.servers.size()) server.current = 0;  // all denied: all in order
  server.serverConnectSeconds = ReadServerConnectSeconds(platform);
  if (!updateDenyState) return;
  server.onServerFailed = [&platform](const ListedServer& failed, const std::string& reason) {
    const std::int64_t now = SystemSecondsNow();
    ServerDenyState state = LoadServerDenyState(platform, now);
    state.Deny(failed.entry, reason, now);
    SaveServerDenyState(platform, state);
  };
}

// Why the connections did not open, for the system's event log: no settings to connect
// with, or the servers that could not be reached and the last answer.
void ReportConnectionTrouble(Platform& platform, const Connections& connections, const std::string& dsHost) {
  try {
    if (dsHost.empty()) {
      const std::optional<std::string> path = SettingsFilePath(platform);
      ReportTrouble(platform, Trouble::SettingsUnreadable,
                    "The settings file " + path.value_or("(no InstallPath)") +
                        " gives no DSHost: it is missing, cannot be read or is incomplete. Sessions are not checked "
                        "against the database and no row is written to it.");
      return;
    }
    const std::string reason = connections.DS ? connections.DS->Server().reason : std::string();
    ReportTrouble(platform, Trouble::DatabaseUnreachable,
                  "No database connection could be opened to " + dsHost + (reason.empty() ? "" : " (" + reason + ")") +
                      ". Rows are kept on this server; sessions are decided as [Offline] Admission says.");
  } catch (...) {
    // Advice only.
  }
}

}  // namespace

bool OpenConnections(Platform& platform, Connections& connections) {
  std::string dsHost;
  try {
    connections.DS = std::make_unique<Connection>("DS");
    connections.DC = std::make_unique<Connection>("DC");
    connections.Log = std::make_unique<Connection>("Log");
    connections.DS->SetBudgetEnd(connections.budgetEnd);
    connections.DC->ShareServerWith(*connections.DS);
    connections.Log->ShareServerWith(*connections.DS);
    dsHost = ReadConnectionSetting(platform, "DSConnection", "DSHost");
    std::vector<ListedServer> servers = ParseServerList(dsHost);
    const bool failover = servers.size() >= 2;
    ServerDenyState denied;
    if (failover) {
      denied = LoadServerDenyState(platform, SystemSecondsNow());
      PrepareFailover(platform, connections.DS->Server(), std::move(servers), denied, connections.updateDenyState);
    }
    // All three are configured before any opens: when one cannot open, the later handlers of
    // the session open them anew from these values (and write back what this one kept).
    for (const auto& [connection, section, databaseKey] :
         {std::tuple{connections.DS.get(), "DSConnection", "DSDB"}, std::tuple{connections.DC.get(), "DCConnection", "DCDB"},
          std::tuple{connections.Log.get(), "LogConnection", "LogDB"}})
      ConfigureConnection(platform, *connection, dsHost, section, databaseKey);
    for (Connection* connection : {connections.DS.get(), connections.DC.get(), connections.Log.get()}) connection->Open();
    // A denied server that served after all (every other one failed too) is no longer denied.
    if (failover) {
      const ServerState& server = connections.DS->Server();
      const std::string& used = server.servers[server.current].entry;
      if (denied.IsDenied(used) && !server.usingLastResort && connections.updateDenyState) {
        ServerDenyState state = LoadServerDenyState(platform, SystemSecondsNow());
        if (state.Clear(used)) SaveServerDenyState(platform, state);
      }
    }
    return true;
  } catch (...) {
    // The caller only learns that the connections did not open, and decides what that means
    // for the session (unchecked, or the offline admission). The administrator learns it
    // from the system's event log.
    ReportConnectionTrouble(platform, connections, dsHost);
    return false;
  }
}

}  // namespace qbnotify
