// The client library, the connections and the server.
#include <errmsg.h>
#include <mysqld_error.h>

#include "environment/ConnectionSettings.h"
#include "store/client/MysqlApi.h"
#include "tools/common/ToolSupport.h"
#include "tools/qbnotify-doctor/DoctorChecks.h"

namespace qbnotify::tools {
namespace {

using Rows = std::vector<std::vector<std::optional<std::string>>>;

std::string Cell(const std::optional<std::string>& value) { return value ? *value : std::string(); }

// Whether an open connection is encrypted, and whether its certificate was verified.
std::string DescribeEncryption(const Connection& connection) {
  const std::string mode = std::string(" (TLS=") + TlsModeName(connection.tls) + ")";
  if (connection.Cipher().empty()) return "not encrypted: statements and rows cross the network in clear text" + mode;
  if (connection.tls == TlsMode::Verify)
    return "encrypted (" + connection.Cipher() + "); the server's certificate was verified against " +
           Shown(connection.tlsCaFile) + " and names the host" + mode;
  return "encrypted (" + connection.Cipher() + "); the server's certificate was not verified" + mode;
}

}  // namespace

bool Doctor::ClientLibrary() {
  const MysqlApi* api = MysqlClient();
  if (!api) {
    Add("client library", "loaded", Status::Failed, "no MySQL client library with every function the library uses",
        "install the kit's libmariadb.dll of the library's bitness in the same folder as QBNotify.dll (or the tool)");
    return false;
  }
  std::string missing;
  const void* const functions[] = {
      reinterpret_cast<const void*>(api->init),         reinterpret_cast<const void*>(api->options),
      reinterpret_cast<const void*>(api->real_connect), reinterpret_cast<const void*>(api->close),
      reinterpret_cast<const void*>(api->real_query),   reinterpret_cast<const void*>(api->store_result),
      reinterpret_cast<const void*>(api->free_result),  reinterpret_cast<const void*>(api->num_rows),
      reinterpret_cast<const void*>(api->num_fields),   reinterpret_cast<const void*>(api->fetch_row),
      reinterpret_cast<const void*>(api->fetch_lengths), reinterpret_cast<const void*>(api->fetch_field_direct),
      reinterpret_cast<const void*>(api->field_count),  reinterpret_cast<const void*>(api->real_escape_string),
      reinterpret_cast<const void*>(api->error),        reinterpret_cast<const void*>(api->errno_),
      reinterpret_cast<const void*>(api->affected_rows), reinterpret_cast<const void*>(api->insert_id),
      reinterpret_cast<const void*>(api->get_socket),   reinterpret_cast<const void*>(api->send_query),
      reinterpret_cast<const void*>(api->read_query_result)};
  for (std::size_t i = 0; i < std::size(functions); ++i)
    if (!functions[i]) missing += " #" + std::to_string(i);
  if (!missing.empty()) {
    Add("client library", "functions", Status::Failed, "functions missing:" + missing, "install a complete client library");
    return false;
  }
  Add("client library", "functions", Status::Ok, "all " + std::to_string(std::size(functions)) + " functions the library calls are present");
  const MysqlClientIdentity identity = DescribeMysqlClient();
  Add("client library", "file", identity.file.empty() ? Status::Warning : Status::Ok,
      identity.file.empty() ? "(the file it was loaded from is not known)" : identity.file);
  if (identity.version.empty())
    Add("client library", "version", Status::Warning, "the library does not say its version",
        "use the client library shipped in the kit");
  else
    Add("client library", "version", Status::Ok, identity.version);
  return true;
}

std::unique_ptr<Connection> Doctor::Connect(const char* name, const char* section, const char* databaseKey) {
  auto connection = std::make_unique<Connection>(name);
  try {
    ConfigureConnection(platform_, *connection, ReadConnectionSetting(platform_, "DSConnection", "DSHost"), section,
                        databaseKey);
  } catch (const DatabaseError&) {
    return nullptr;  // the settings' check has said why
  }
  connection->connectTimeoutSeconds = options_.connectTimeoutSeconds;
  if (chosen_) {
    connection->host = chosen_->host;
    connection->port = chosen_->port;
  }
  const std::string target = connection->user + "@" + (connection->host.empty() ? "localhost" : connection->host) + ":" +
                             std::to_string(connection->port) + ", database " + connection->database;
  try {
    connection->Open();
    RunStatement(*connection, "SET SESSION TRANSACTION READ ONLY");
    Add("connections", name, Status::Ok, target);
    Add("connections", std::string(name) + " encryption", Status::Ok, DescribeEncryption(*connection));
    return connection;
  } catch (const DatabaseError& error) {
    std::string what = "failed";
    std::string fix = "see the server's message";
    switch (error.Code()) {
      case CR_CONN_HOST_ERROR:
      case CR_CONNECTION_ERROR:
      case CR_UNKNOWN_HOST:
      case CR_SERVER_LOST:
        what = "host not reachable";
        fix = "check DSHost, that the server runs and listens there, and any firewall between";
        break;
      case ER_ACCESS_DENIED_ERROR:
      case ER_ACCESS_DENIED_NO_PASSWORD_ERROR:
        what = "account refused";
        fix = "check DSUID and DSPSW, and that the account may connect from this machine";
        break;
      case ER_BAD_DB_ERROR:
        what = "database missing";
        fix = std::string("create the database or correct ") + databaseKey;
        break;
      case CR_SSL_CONNECTION_ERROR:
        what = "not connected as TLS asks";
        fix = std::string("TLS=") + TlsModeName(connection->tls) +
              ": check that the server offers TLS (ssl_cert, ssl_key), that TLSCAFile is the authority that signed "
              "its certificate and that the certificate names the host in DSHost; or see the administrators' guide";
        break;
      case CR_AUTH_PLUGIN_CANNOT_LOAD:
      case CR_PLUGIN_NOT_ALLOWED:
        what = "authentication method refused";
        fix = std::string("the account must use ") + kAllowedAuthentication +
              ", the only method the library allows (ALTER USER ... IDENTIFIED VIA mysql_native_password USING "
              "PASSWORD('...'))";
        break;
      case ER_DBACCESS_DENIED_ERROR:
        what = "database not allowed for the account";
        fix = std::string("grant the account access to the database named by ") + databaseKey;
        break;
      default:
        break;
    }
    Add("connections", name, Status::Failed, what + ": " + target + ": " + error.what(), fix);
    return nullptr;
  }
}

void Doctor::OpenConnections() {
  ds_ = Connect("DS", "DSConnection", "DSDB");
  dc_ = Connect("DC", "DCConnection", "DCDB");
  log_ = Connect("Log", "LogConnection", "LogDB");
}

void Doctor::Server() {
  try {
    const Rows rows = Any()->Query("select @@lower_case_table_names, version(), @@back_log, @@max_connections, "
                                      "@@back_log < @@max_connections").rows;
    const std::string lower = Cell(rows.at(0)[0]);
    if (lower == "0")
      Add("server", "lower_case_table_names", Status::Failed,
          "0: table names are matched by letter case, and the library names Cuser and cuser, Application and "
          "application",
          "start the server with lower_case_table_names=1 (it must also have been given to install the data "
          "directory)");
    else
      Add("server", "lower_case_table_names", Status::Ok, lower + " (server " + Cell(rows.at(0)[1]) + ")");
    // Connections that arrive at once beyond the server's queue are dropped by the network
    // stack and tried again by the client a second later: at a farm's morning logon storm that
    // second is added to every startup that found the queue full.
    const std::string backLog = Cell(rows.at(0)[2]), maxConnections = Cell(rows.at(0)[3]);
    if (Cell(rows.at(0)[4]) == "1")
      Add("server", "back_log", Status::Warning,
          backLog + ", below max_connections (" + maxConnections + "): when more than " + backLog +
              " connections arrive at once, as at a logon storm, the rest wait a second and try again",
          "start the server with back_log at least max_connections (and the system's own queue, on Linux "
          "net.core.somaxconn, at least as large)");
    else
      Add("server", "back_log", Status::Ok, backLog + " (max_connections " + maxConnections + ")");
  } catch (const std::exception& error) {
    Add("server", "settings", Status::Failed, error.what());
  }
  for (Connection* connection : {ds_.get(), dc_.get(), log_.get()}) {
    if (!connection) continue;
    try {
      Statement statement(connection);
      statement.SetSql("select default_character_set_name from information_schema.schemata where schema_name = :db");
      statement.BindText("db", connection->database);
      statement.Open();
      const std::string charset = statement.ColumnText(std::size_t{0});
      if (charset == "gbk")
        Add("server", connection->database + " character set", Status::Ok, charset);
      else
        Add("server", connection->database + " character set", Status::Warning,
            charset + ": texts are code-page-936 bytes; a column of another character set may refuse or change them",
            "ALTER DATABASE " + connection->database + " CHARACTER SET gbk (and convert the tables)");
    } catch (const std::exception& error) {
      Add("server", connection->database + " character set", Status::Failed, error.what());
    }
  }
}

}  // namespace qbnotify::tools
