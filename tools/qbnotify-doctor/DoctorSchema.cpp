// The tables and columns the library names.
#include <cctype>
#include <map>
#include <set>

#include "tools/qbnotify-doctor/DoctorChecks.h"

namespace qbnotify::tools {
namespace {

enum class Kind { Text, Integer, Date, Time, DateTime };

bool Fits(Kind kind, const std::string& dataType) {
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

// Whether a unique index of the table holds `column` alone.
bool UniquelyKeyed(Connection& connection, const std::string& table, const std::string& column) {
  Statement statement(&connection);
  statement.SetSql("select count(*) from information_schema.statistics s where table_schema = :db and "
                   "lower(table_name) = lower(:t) and lower(column_name) = lower(:c) and non_unique = 0 and "
                   "seq_in_index = 1 and not exists (select 1 from information_schema.statistics o where "
                   "o.table_schema = s.table_schema and o.table_name = s.table_name and o.index_name = s.index_name "
                   "and o.seq_in_index = 2)");
  statement.BindText("db", connection.database);
  statement.BindText("t", table);
  statement.BindText("c", column);
  statement.Open();
  return statement.ColumnInteger(std::size_t{0}) != 0;
}

}  // namespace

struct Doctor::Table {
  const char* name;
  std::vector<Column> columns;
  std::vector<const char*> keyed;  // columns a lookup or a lock relies on an index for
  const char* unique = nullptr;     // a column whose unique key tells a row already written
};

void Doctor::CheckTables(Connection* connection, const std::vector<Table>& tables) {
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
      if (table.unique && !UniquelyKeyed(*connection, table.name, table.unique))
        Add("tables", table.name, Status::Warning,
            std::string("no unique key on ") + table.unique +
                ": a row of the spool sent again after a lost answer or a crash is stored twice",
            std::string("CREATE UNIQUE INDEX ON ") + table.name + " (" + table.unique + ")");
      else if (!unkeyed.empty())
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

void Doctor::Tables() {
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
                {},
                "ID"},
               {"appshenji",
                {{"logid", K::Text}, {"sessionid", K::Text}, {"farmuser", K::Text}, {"appid", K::Text},
                 {"appshowname", K::Text}, {"clientmac", K::Text}, {"starttime", K::DateTime}, {"stoptime", K::DateTime}},
                {},
                "logid"}});
}

}  // namespace qbnotify::tools
