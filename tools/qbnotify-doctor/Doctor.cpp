#include "tools/qbnotify-doctor/Doctor.h"

#include <charconv>
#include <errmsg.h>
#include <mysqld_error.h>

#include <map>
#include <memory>
#include <optional>
#include <nlohmann/json.hpp>
#include <ostream>
#include <set>

#include "environment/ConnectionSettings.h"
#include "store/Database.h"
#include "store/MysqlApi.h"
#include "store/Spool.h"
#include "store/SpoolWriteBack.h"
#include "store/EventLog.h"
#include "tools/common/ToolSupport.h"

namespace qbnotify::tools {
namespace {

using Rows = std::vector<std::vector<std::optional<std::string>>>;

std::string Cell(const std::optional<std::string>& value) { return value ? *value : std::string(); }

class Doctor {
 public:
  Doctor(Platform& platform, const DoctorOptions& options) : platform_(platform), options_(options) {}

  std::vector<Check> Run() {
    const bool haveInstallPath = InstallPathValue();
    const bool haveSettings = haveInstallPath && SettingsFile();
    const bool haveClient = ClientLibrary();
    if (haveSettings && haveClient) OpenConnections();
    else Skip("connections", "DS, DC and Log", haveSettings ? "no usable client library" : "no usable settings file");
    const bool anyOpen = ds_ || dc_ || log_;
    if (anyOpen) {
      Server();
      Tables();
      Privileges();
      Counters();
      Clock();
    } else {
      for (const char* section : {"server", "tables", "privileges", "identifier counters", "clock"})
        Skip(section, "all", "no connection is open");
    }
    if (haveInstallPath) SpoolChecks();
    else Skip("spool", "rows kept", "no InstallPath");
    return std::move(checks_);
  }

 private:
  void Add(const std::string& section, const std::string& name, Status status, std::string detail, std::string fix = {}) {
    checks_.push_back({section, name, status, Shown(detail), Shown(fix)});
  }
  void Skip(const std::string& section, const std::string& name, const std::string& why) {
    Add(section, name, Status::Skipped, "not checked: " + why);
  }

  // --- The local spool of rows the database could not take ---

  void SpoolChecks() {
    std::optional<Spool> spool = Spool::Locate(platform_);
    if (!spool) return Skip("spool", "rows kept", "the spool's directory cannot be located");
    if (options_.writeBackSpool) {
      Connections connections;
      if (!::qbnotify::OpenConnections(platform_, connections)) {
        Add("spool", "write back", Status::Failed, "the library's connections did not open",
            "mend the connections above, then write back again");
      } else {
        const DrainReport report = WriteBackSpool(platform_, connections, false);
        const bool stopped = report.serverUnavailable || report.diskFailed;
        Add("spool", "write back", stopped ? Status::Failed : Status::Ok,
            std::to_string(report.written) + " written, " + std::to_string(report.alreadyWritten) +
                " already there, " + std::to_string(report.refused) + " refused, " + std::to_string(report.declined) +
                " declined, " + std::to_string(report.setAside) + " unreadable set aside" +
                (report.serverUnavailable ? "; stopped: the server did not take rows" : "") +
                (report.diskFailed ? "; stopped: the spool could not be read or written" : ""),
            stopped ? "mend what stops it, then write back again" : "");
      }
    }
    const SpoolState state = spool->State();
    Add("spool", "directory", Status::Ok, state.directory);
    if (state.rowsWaiting == 0) {
      Add("spool", "rows waiting", Status::Ok, "none");
    } else {
      Add("spool", "rows waiting", Status::Warning,
          std::to_string(state.rowsWaiting) + " rows, the oldest of " +
              (state.oldest ? FormatDateTime(*state.oldest) : std::string("an unknown time")) + " (" +
              std::to_string(state.bytes) + " bytes of " + std::to_string(state.settings.MaxBytes) + ", at most " +
              std::to_string(state.settings.MaxRows) + " rows)",
          "the next sessions write them back; qbnotify-doctor --write-back does it now");
    }
    const auto lost = [&](const char* name, std::uint64_t rows, const char* what, const char* fix) {
      Add("spool", name, rows == 0 ? Status::Ok : Status::Warning, std::to_string(rows) + " " + what, rows ? fix : "");
    };
    lost("dropped rows", state.dropped, "rows lost because the spool was full or could not be written",
         "raise MaxRows or MaxBytes in [Spool] of the settings file, or mend the database sooner");
    lost("refused rows", state.refused, "rows the server refused for their content (the .refused files keep them)",
         "compare the columns of log and appshenji with db/log.sql");
    lost("unreadable files", state.setAside, "spool files that were not whole rows, set aside as .bad",
         "look at the .bad files in the spool's directory; remove them when read");
  }

  // --- The install path and the settings file ---

  bool InstallPathValue() {
    const RegistryValue value = platform_.ReadMachineRegistryString(kProductKey, kInstallPathValue);
    const std::string where = std::string("HKEY_LOCAL_MACHINE\\") + kProductKey;
    switch (value.status) {
      case RegistryStatus::KeyMissing:
        Add("install path", "registry key", Status::Failed, where + " cannot be opened (absent, or access refused)",
            "create the key with the string value InstallPath, in the registry view of the library's bitness");
        return false;
      case RegistryStatus::ValueMissing:
        Add("install path", "InstallPath", Status::Failed, where + " has no value InstallPath",
            "add the string value InstallPath: the product's installation directory");
        return false;
      case RegistryStatus::OtherType:
        Add("install path", "InstallPath", Status::Failed, "InstallPath is not a string value",
            "make InstallPath a string (REG_SZ) value");
        return false;
      case RegistryStatus::Text:
        break;
    }
    Add("install path", "InstallPath", Status::Ok, value.text);
    return true;
  }

  bool SettingsFile() {
    std::optional<std::string> path;
    try {
      path = SettingsFilePath(platform_);
    } catch (const std::exception& error) {
      Add("settings file", "path", Status::Failed, error.what());
      return false;
    }
    std::error_code error;
    if (!path || !std::filesystem::is_regular_file(options_.localPath(*path), error)) {
      Add("settings file", "present", Status::Failed, (path ? *path : std::string("?")) + " does not exist",
          "write it with qbnotify-settings write");
      return false;
    }
    Add("settings file", "present", Status::Ok, *path);
    settingsPath_ = *path;

    bool good = true;
    constexpr const char* kMissing = "\x01";
    const auto raw = [&](const char* section, const char* key) {
      return platform_.ReadProfileString(section, key, kMissing, *path, kProfileBufferSize);
    };
    const std::string host = raw("DSConnection", "DSHost");
    if (host == kMissing) {
      Add("settings file", "DSHost", Status::Failed, "[DSConnection] has no DSHost", "add DSHost=host:port");
      good = false;
    } else if (!SplitHostPort(host)) {
      Add("settings file", "DSHost", Status::Failed, "'" + host + "': the port after the ':' is not a number",
          "write DSHost as host:port, for instance 10.0.0.5:3306");
      good = false;
    } else {
      Add("settings file", "DSHost", Status::Ok, host);
    }
    const struct {
      const char* section;
      const char* key;
    } coded[] = {{"DSConnection", "DSUID"}, {"DSConnection", "DSPSW"}, {"DSConnection", "DSDB"},
                 {"DCConnection", "DCDB"},  {"LogConnection", "LogDB"}};
    for (const auto& [section, key] : coded) {
      const std::string value = raw(section, key);
      const std::string name = std::string("[") + section + "] " + key;
      if (value == kMissing) {
        Add("settings file", key, Status::Failed, name + " is missing", "add it with qbnotify-settings write");
        good = false;
        continue;
      }
      std::string base64 = value;
      for (char& c : base64)
        if (c == '#') c = '=';
      const std::string decoded = DecodeBase64Text(base64);
      if (decoded.empty() && !value.empty()) {
        Add("settings file", key, Status::Failed, name + " '" + value + "' is not Base64 (with # for =)",
            "write it again with qbnotify-settings write");
        good = false;
      } else if (decoded.empty() && std::string(key) != "DSPSW") {
        Add("settings file", key, Status::Failed, name + " is empty", "write it again with qbnotify-settings write");
        good = false;
      } else {
        Add("settings file", key, Status::Ok, std::string(key) == "DSPSW" ? "(set)" : decoded);
      }
    }
    return good;
  }

  // --- The client library ---

  bool ClientLibrary() {
    const MysqlApi* api = MysqlClient();
    if (!api) {
      Add("client library", "loaded", Status::Failed, "no MySQL client library with every function the library uses",
          "install the client library of the library's bitness (libmariadb.dll or libmysql.dll) beside it or on PATH");
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
        reinterpret_cast<const void*>(api->get_socket)};
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

  // --- Connections ---

  std::unique_ptr<Connection> Connect(const char* name, const char* section, const char* databaseKey) {
    auto connection = std::make_unique<Connection>(name);
    const std::optional<HostPort> hostPort = SplitHostPort(ReadConnectionSetting(platform_, "DSConnection", "DSHost"));
    if (!hostPort) return nullptr;
    connection->host = hostPort->host;
    connection->port = hostPort->port;
    connection->user = ReadConnectionSetting(platform_, "DSConnection", "DSUID");
    connection->password = ReadConnectionSetting(platform_, "DSConnection", "DSPSW");
    connection->database = ReadConnectionSetting(platform_, section, databaseKey);
    connection->connectTimeoutSeconds = options_.connectTimeoutSeconds;
    const std::string target = connection->user + "@" + (connection->host.empty() ? "localhost" : connection->host) + ":" +
                               std::to_string(connection->port) + ", database " + connection->database;
    try {
      connection->Open();
      RunStatement(*connection, "SET SESSION TRANSACTION READ ONLY");
      Add("connections", name, Status::Ok, target);
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

  void OpenConnections() {
    ds_ = Connect("DS", "DSConnection", "DSDB");
    dc_ = Connect("DC", "DCConnection", "DCDB");
    log_ = Connect("Log", "LogConnection", "LogDB");
  }

  Connection* Any() { return ds_ ? ds_.get() : dc_ ? dc_.get() : log_.get(); }

  // --- The server ---

  void Server() {
    try {
      const Rows rows = Any()->Query("select @@lower_case_table_names, version()").rows;
      const std::string lower = Cell(rows.at(0)[0]);
      if (lower == "0")
        Add("server", "lower_case_table_names", Status::Failed,
            "0: table names are matched by letter case, and the library names Cuser and cuser, Application and "
            "application",
            "start the server with lower_case_table_names=1 (it must also have been given to install the data "
            "directory)");
      else
        Add("server", "lower_case_table_names", Status::Ok, lower + " (server " + Cell(rows.at(0)[1]) + ")");
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

  // --- Tables and columns ---

  enum class Kind { Text, Integer, Date, Time, DateTime };

  static bool Fits(Kind kind, const std::string& dataType) {
    static const std::set<std::string> texts = {"char", "varchar", "text", "tinytext", "mediumtext", "longtext",
                                                "binary", "varbinary", "blob", "tinyblob", "mediumblob", "longblob"};
    static const std::set<std::string> integers = {"int", "tinyint", "smallint", "mediumint", "bigint", "decimal"};
    switch (kind) {
      case Kind::Text: return texts.count(dataType) != 0;
      case Kind::Integer: return integers.count(dataType) != 0;
      case Kind::Date: return dataType == "date" || dataType == "datetime";
      case Kind::Time: return dataType == "time";
      case Kind::DateTime: return dataType == "datetime" || dataType == "timestamp";
    }
    return false;
  }

  struct Column {
    const char* name;
    Kind kind;
  };
  struct Table {
    const char* name;
    std::vector<Column> columns;
    std::vector<const char*> keyed;  // columns a lookup or a lock relies on an index for
  };

  void CheckTables(Connection* connection, const std::vector<Table>& tables) {
    for (const Table& table : tables) {
      if (!connection) {
        Skip("tables", table.name, "its connection is not open");
        continue;
      }
      try {
        Statement statement(connection);
        statement.SetSql("select engine from information_schema.tables where table_schema = :db and lower(table_name) = lower(:t)");
        statement.BindText("db", connection->database);
        statement.BindText("t", table.name);
        statement.Open();
        if (statement.RowCount() == 0) {
          Add("tables", table.name, Status::Failed, "missing in database " + connection->database,
              "create it from the schema shipped with the library");
          continue;
        }
        const std::string engine = statement.ColumnText(std::size_t{0});
        statement.SetSql("select column_name, data_type from information_schema.columns where table_schema = :db and "
                         "lower(table_name) = lower(:t)");
        statement.BindText("db", connection->database);
        statement.BindText("t", table.name);
        statement.Open();
        std::map<std::string, std::string> types;
        for (std::size_t i = 0; i < statement.RowCount(); ++i) {
          statement.Seek(i);
          std::string column = statement.ColumnText(std::size_t{0});
          for (char& c : column) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
          types[column] = statement.ColumnText(std::size_t{1});
        }
        std::string problems;
        for (const Column& column : table.columns) {
          std::string lower = column.name;
          for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
          const auto found = types.find(lower);
          if (found == types.end()) problems += std::string(problems.empty() ? "" : "; ") + column.name + " missing";
          else if (!Fits(column.kind, found->second))
            problems += std::string(problems.empty() ? "" : "; ") + column.name + " is " + found->second;
        }
        if (!problems.empty()) {
          Add("tables", table.name, Status::Failed, problems, "alter the table to the shipped schema");
          continue;
        }
        if (engine != "InnoDB") {
          Add("tables", table.name, Status::Warning, "engine " + engine + ": the identifier draws need row locks and transactions",
              std::string("ALTER TABLE ") + table.name + " ENGINE=InnoDB");
          continue;
        }
        std::string unkeyed;
        for (const char* column : table.keyed) {
          Statement keys(connection);
          keys.SetSql("select count(*) from information_schema.statistics where table_schema = :db and "
                      "lower(table_name) = lower(:t) and lower(column_name) = lower(:c) and seq_in_index = 1");
          keys.BindText("db", connection->database);
          keys.BindText("t", table.name);
          keys.BindText("c", column);
          keys.Open();
          if (keys.ColumnInteger(std::size_t{0}) == 0) unkeyed += std::string(unkeyed.empty() ? "" : ", ") + column;
        }
        if (!unkeyed.empty())
          Add("tables", table.name, Status::Warning,
              "no index starts with " + unkeyed + ": lookups read the whole table, and a draw's lock covers every row",
              std::string("CREATE INDEX ON ") + table.name + " (" + unkeyed + ")");
        else
          Add("tables", table.name, Status::Ok, "columns, types, InnoDB and keys as the library needs");
      } catch (const std::exception& error) {
        Add("tables", table.name, Status::Failed, error.what());
      }
    }
  }

  void Tables() {
    using K = Kind;
    CheckTables(ds_.get(),
                {{"GloabolInc", {{"Head", K::Text}, {"ID", K::Text}, {"Inc", K::Integer}, {"Remark", K::Text}}, {"Head"}},
                 {"Cuser", {{"User_ID", K::Text}, {"name", K::Text}, {"RepeatLoginEnable", K::Integer}, {"RunAppNum", K::Integer}}, {"name"}},
                 {"Application",
                  {{"App_ID", K::Text}, {"Name", K::Text}, {"security_policy_id", K::Text}, {"app_session_count", K::Integer},
                   {"each_user_one_session", K::Integer}},
                  {"App_ID"}},
                 {"securitypolicy_sub",
                  {{"SecPID", K::Text}, {"SortID", K::Integer}, {"clientname", K::Text}, {"MAC", K::Text},
                   {"ClientProtocol", K::Integer}, {"ClientIPAddressGroupID", K::Text}, {"TimeID", K::Text}, {"Action", K::Integer}},
                  {"SecPID"}},
                 {"addressgroup", {{"AddressID", K::Text}, {"AddressType", K::Text}, {"Ip1", K::Text}, {"Ip2", K::Text}}, {"AddressID"}},
                 {"timegroup",
                  {{"TimeID", K::Text}, {"DayType", K::Integer}, {"DayFlags", K::Text}, {"StartDay", K::Date},
                   {"EndDay", K::Date}, {"StartTime", K::Time}, {"EndTime", K::Time}},
                  {"TimeID"}}});
    CheckTables(dc_.get(), {{"dc_sessionload", {{"InitAppName", K::Text}, {"ClientName", K::Text}, {"StationName", K::Text}}, {}}});
    CheckTables(log_.get(),
                {{"log",
                  {{"ID", K::Text}, {"Time", K::DateTime}, {"TypeID", K::Integer}, {"SourceID", K::Integer}, {"UserID", K::Text},
                   {"AppID", K::Text}, {"ComputerName", K::Text}, {"EventID", K::Integer}, {"Parameter1", K::Text},
                   {"Parameter2", K::Text}},
                  {}},
                 {"appshenji",
                  {{"logid", K::Text}, {"sessionid", K::Text}, {"farmuser", K::Text}, {"appid", K::Text},
                   {"appshowname", K::Text}, {"clientmac", K::Text}, {"starttime", K::DateTime}, {"stoptime", K::DateTime}},
                  {}}});
  }

  // --- Privileges ---

  // The account's privileges on a table, from every level they can be granted at.
  std::set<std::string> PrivilegesOn(Connection& connection, const std::string& table) {
    Statement statement(&connection);
    statement.SetSql("select privilege_type from information_schema.user_privileges union "
                     "select privilege_type from information_schema.schema_privileges where :db like table_schema union "
                     "select privilege_type from information_schema.table_privileges where :db like table_schema and "
                     "lower(table_name) = lower(:t)");
    statement.BindText("db", connection.database);
    statement.BindText("t", table);
    statement.Open();
    std::set<std::string> privileges;
    for (std::size_t i = 0; i < statement.RowCount(); ++i) {
      statement.Seek(i);
      privileges.insert(statement.ColumnText(std::size_t{0}));
    }
    return privileges;
  }

  void Privileges() {
    struct Need {
      Connection* connection;
      const char* table;
      std::set<std::string> privileges;
    };
    const std::vector<Need> needs = {
        {ds_.get(), "GloabolInc", {"SELECT", "INSERT", "UPDATE"}}, {ds_.get(), "Cuser", {"SELECT"}},
        {ds_.get(), "Application", {"SELECT"}},   {ds_.get(), "securitypolicy_sub", {"SELECT"}},
        {ds_.get(), "addressgroup", {"SELECT"}},  {ds_.get(), "timegroup", {"SELECT"}},
        {dc_.get(), "dc_sessionload", {"SELECT"}}, {log_.get(), "log", {"INSERT"}},
        {log_.get(), "appshenji", {"INSERT"}}};
    for (const Need& need : needs) {
      if (!need.connection) {
        Skip("privileges", need.table, "its connection is not open");
        continue;
      }
      try {
        const std::set<std::string> held = PrivilegesOn(*need.connection, need.table);
        std::string missing, extra;
        for (const std::string& privilege : need.privileges)
          if (!held.count(privilege)) missing += (missing.empty() ? "" : ", ") + privilege;
        for (const std::string& privilege : held)
          if (!need.privileges.count(privilege) && privilege != "USAGE") extra += (extra.empty() ? "" : ", ") + privilege;
        const std::string on = need.connection->database + "." + need.table;
        if (!missing.empty())
          Add("privileges", need.table, Status::Failed, "missing " + missing + " on " + on,
              "GRANT " + missing + " ON " + on + " TO the library's account");
        else if (!extra.empty())
          Add("privileges", need.table, Status::Warning, "more than needed on " + on + ": " + extra,
              "REVOKE " + extra + " ON " + on + " FROM the library's account (it needs only what it uses)");
        else
          Add("privileges", need.table, Status::Ok, "exactly what the library uses");
      } catch (const std::exception& error) {
        Add("privileges", need.table, Status::Failed, error.what());
      }
    }
  }

  // --- Identifier counters ---

  void Counters() {
    if (!ds_) {
      Skip("identifier counters", "GloabolInc", "DS is not open");
      return;
    }
    for (const char* head : {kHeadEvent, kHeadAudit}) {
      try {
        Statement statement(ds_.get());
        statement.SetSql("select ID from GloabolInc where Head=:np");
        statement.BindText("np", head);
        statement.Open();
        if (statement.RowCount() == 0) {
          Add("identifier counters", head, Status::Ok, "no counter row yet: the first draw creates it");
          continue;
        }
        if (statement.RowCount() > 1) {
          Add("identifier counters", head, Status::Warning,
              std::to_string(statement.RowCount()) + " counter rows for one head: the first decides and all advance "
              "together, and a cluster cannot replicate them by a key",
              std::string("keep only the row with the highest ID, then add a primary key on Head"));
          continue;
        }
        const std::string id = statement.ColumnText(std::size_t{0});
        const std::string tail = id.size() > std::string(head).size() ? id.substr(std::string(head).size()) : "";
        std::int64_t number = 0;
        const auto [end, error] = std::from_chars(tail.data(), tail.data() + tail.size(), number);
        if (tail.empty() || error != std::errc() || end != tail.data() + tail.size()) {
          Add("identifier counters", head, Status::Failed,
              "ID '" + id + "' is not the head followed by a number: every record of this head fails",
              "set ID to the head and the highest number in use, e.g. " + FormatIdentifier(head, 1));
        } else if (number >= INT32_MAX) {
          Add("identifier counters", head, Status::Failed, "ID '" + id + "' has used up the 32-bit numbers",
              "archive the table and restart the counter");
        } else if (number > INT32_MAX - 10000000) {
          Add("identifier counters", head, Status::Warning,
              "ID '" + id + "': " + std::to_string(INT32_MAX - number) + " identifiers left before 2147483647",
              "plan to archive the table and restart the counter");
        } else {
          Add("identifier counters", head, Status::Ok, "last issued " + id);
        }
      } catch (const std::exception& error) {
        Add("identifier counters", head, Status::Failed, error.what());
      }
    }
  }

  // --- Clock ---

  void Clock() {
    try {
      const std::string local = FormatDateTime(platform_.LocalNow());
      Statement statement(Any());
      statement.SetSql("select timestampdiff(second, :local, now()), now()");
      statement.BindText("local", local);
      statement.Open();
      const std::int32_t difference = statement.ColumnInteger(std::size_t{0});
      const std::string detail = "server " + statement.ColumnText(std::size_t{1}) + ", this machine " + local + " (" +
                                 std::to_string(difference) + " s)";
      if (difference > 60 || difference < -60)
        Add("clock", "difference", Status::Warning, detail + ": the time rules run on the server's clock",
            "synchronise both clocks, or write the time groups in the server's time");
      else
        Add("clock", "difference", Status::Ok, detail);
    } catch (const std::exception& error) {
      Add("clock", "difference", Status::Failed, error.what());
    }
  }

  Platform& platform_;
  const DoctorOptions& options_;
  std::vector<Check> checks_;
  std::string settingsPath_;
  std::unique_ptr<Connection> ds_, dc_, log_;
};

}  // namespace

const char* StatusName(Status status) {
  switch (status) {
    case Status::Ok: return "ok";
    case Status::Warning: return "warn";
    case Status::Failed: return "FAIL";
    case Status::Skipped: return "skip";
  }
  return "";
}

std::vector<Check> RunDoctor(Platform& platform, const DoctorOptions& options) {
  try {
    return Doctor(platform, options).Run();
  } catch (const std::exception& error) {
    return {{"doctor", "internal", Status::Failed, error.what(), ""}};
  }
}

std::optional<Check> OtherRegistryView(const RegistryValue& own, const RegistryValue& other, bool dll64) {
  if (other.status != RegistryStatus::Text) return std::nullopt;
  const std::string ownView = dll64 ? "64-bit view" : "32-bit view (Wow6432Node)";
  const std::string otherView = dll64 ? "32-bit view (Wow6432Node)" : "64-bit view";
  const std::string bitness = dll64 ? "64-bit" : "32-bit";
  if (own.status != RegistryStatus::Text)
    return Check{"install path", "registry view", Status::Failed,
                 Shown("only the " + otherView + " holds InstallPath ('" + other.text + "'); the " + bitness +
                       " QBNotify.dll reads the " + ownView),
                 "write InstallPath in the " + ownView + " (reg add ... /reg:" + (dll64 ? "64" : "32") +
                     "), or install the QBNotify.dll of the other bitness"};
  if (own.text != other.text)
    return Check{"install path", "registry view", Status::Warning,
                 Shown("the " + otherView + " holds another InstallPath ('" + other.text +
                       "'); the " + bitness + " QBNotify.dll reads '" + own.text + "'"),
                 "keep one install path: give both views the same value, or remove the other one"};
  return std::nullopt;
}

void InsertAfterSection(std::vector<Check>& checks, const std::string& section, Check check) {
  auto at = checks.begin();
  for (auto i = checks.begin(); i != checks.end(); ++i)
    if (i->section == section) at = i + 1;
  checks.insert(at, std::move(check));
}

bool AnyFailed(const std::vector<Check>& checks) {
  for (const Check& check : checks)
    if (check.status == Status::Failed) return true;
  return false;
}

void PrintChecks(std::ostream& out, const std::vector<Check>& checks, bool asJson) {
  const bool failed = AnyFailed(checks);
  if (asJson) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Check& c : checks)
      list.push_back({{"section", c.section}, {"check", c.name}, {"status", StatusName(c.status)},
                      {"detail", c.detail}, {"fix", c.fix}});
    out << nlohmann::ordered_json{{"checks", list}, {"failed", failed}}.dump(2) << '\n';
    return;
  }
  std::string section;
  for (const Check& c : checks) {
    if (c.section != section) out << (section.empty() ? "" : "\n") << (section = c.section) << '\n';
    out << "  [" << Padded(StatusName(c.status), 4) << "] " << Padded(c.name, 22) << ' ' << c.detail << '\n';
    if (!c.fix.empty()) out << "         " << Padded("", 22) << " fix: " << c.fix << '\n';
  }
  out << '\n' << (failed ? "some checks failed" : "every check passed") << '\n';
}

}  // namespace qbnotify::tools
