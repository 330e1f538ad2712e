// The Windows test program against a real database server: the library's own code over the
// Win32 platform, with MariaDB's Connector/C built for Windows (libmariadb.dll) beside the
// program, loaded by name as the DLL loads it. The server is the private one of
// scripts/lib/mariadb.sh, described by its QB_DB_* environment variables.
//
//   qbnotify_wine_db_tests              libmariadb.dll beside the program
//   qbnotify_wine_db_tests --no-client  no client library anywhere: nothing connects
//   qbnotify_wine_db_tests --install-path DIR
//                                       as the first, with the settings file that is already
//                                       in DIR (written by the Windows settings tool)
//
// Run by scripts/check-windows-db under 64-bit Wine, with ANSI code page 936.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "environment/ConnectionSettings.h"
#include "platform/win32/Win32Platform.h"
#include "platform/win32/WindowsApi.h"
#include "store/Database.h"
#include "store/EventLog.h"
#include "tests/Tally.h"

namespace qbnotify {
namespace {

#define CHECK(condition) QB_CHECK(tally, condition)
#define CHECK_EQ(actual, expected) QB_CHECK_EQ(tally, actual, expected)

// 财务报表 in code page 936, and the same characters in UTF-8 as hexadecimal.
const std::string kChineseGbk = "\xB2\xC6\xCE\xF1\xB1\xA8\xB1\xED";
const std::string kChineseUtf8Hex = "E8B4A2E58AA1E68AA5E8A1A8";
// A double-byte lead byte before a quote: a byte-wise escaper would let the quote through.
const std::string kCrafted = "\xBF' or 1=1 -- ";

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

struct Server {
  std::string host = Environment("QB_DB_HOST");
  std::string port = Environment("QB_DB_PORT");
  std::string user = Environment("QB_DB_USER");
  std::string password = Environment("QB_DB_PASSWORD");
  std::string ds = Environment("QB_DB_DS");
  std::string dc = Environment("QB_DB_DC");
  std::string log = Environment("QB_DB_LOG");
};

std::string Hex(const std::string& bytes) {
  std::string out;
  char digits[3];
  for (unsigned char c : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", c);
    out += digits;
  }
  return out;
}

// Points the product's InstallPath at `install`; false when the registry refused.
bool SetInstallPath(const std::string& install, check::Tally& tally) {
  win32::OpenKey key;
  const bool keyMade = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                       key.Receive(), nullptr) == ERROR_SUCCESS;
  CHECK(keyMade);
  if (!keyMade) return false;
  return CHECK(RegSetValueExA(key.Get(), kInstallPathValue, 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(install.c_str()),
                              static_cast<DWORD>(install.size() + 1)) == ERROR_SUCCESS);
}

// Points the product's InstallPath at a directory of the temporary folder and writes the
// settings file below it, as an administrator's installation does.
bool WriteSettings(const Server& server, check::Tally& tally) {
  char temp[MAX_PATH];
  const std::string install = std::string(temp, GetTempPathA(MAX_PATH, temp)) + "qbnotify-db-install";
  for (const char* sub : {"", "\\Data", "\\Data\\CONFIG"}) CreateDirectoryA((install + sub).c_str(), nullptr);
  if (!SetInstallPath(install, tally)) return false;

  const std::string text = "[DSConnection]\r\nDSHost=" + server.host + ":" + server.port +
                           "\r\nDSUID=" + EncodeSettingValue(server.user) +
                           "\r\nDSPSW=" + EncodeSettingValue(server.password) +
                           "\r\nDSDB=" + EncodeSettingValue(server.ds) +
                           "\r\n[DCConnection]\r\nDCDB=" + EncodeSettingValue(server.dc) +
                           "\r\n[LogConnection]\r\nLogDB=" + EncodeSettingValue(server.log) + "\r\n";
  std::FILE* file = std::fopen((install + kSettingsFileSuffix).c_str(), "wb");
  CHECK(file != nullptr);
  if (!file) return false;
  std::fwrite(text.data(), 1, text.size(), file);
  std::fclose(file);
  return true;
}

// The directory of a loaded module's file, without the trailing backslash.
std::string ModuleDirectory(HMODULE module) {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
  std::string text(path, length);
  const std::size_t slash = text.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : text.substr(0, slash);
}

void CheckConnections(Connections& connections, const Server& server, check::Tally& tally) {
  tally.Group("connections");
  CHECK(connections.DS && connections.DS->IsOpen());
  CHECK(connections.DC && connections.DC->IsOpen());
  CHECK(connections.Log && connections.Log->IsOpen());
  // The library in use is the one beside this program.
  const HMODULE library = GetModuleHandleA("libmariadb.dll");
  CHECK(library != nullptr);
  if (library) CHECK_EQ(ModuleDirectory(library), ModuleDirectory(nullptr));
  // Each connection reached its own database, stating the code page's character set.
  const struct {
    Connection* connection;
    const std::string& database;
  } expected[] = {{connections.DS.get(), server.ds}, {connections.DC.get(), server.dc},
                  {connections.Log.get(), server.log}};
  for (const auto& [connection, database] : expected) {
    Statement statement(connection);
    statement.SetSql("select database() as db, @@character_set_connection as cs, @@character_set_results as rs");
    statement.Open();
    CHECK_EQ(statement.ColumnText("db"), database);
    CHECK_EQ(statement.ColumnText("cs"), std::string(kConnectionCharset));
    CHECK_EQ(statement.ColumnText("rs"), std::string(kConnectionCharset));
  }
}

void CheckEventLog(Platform& platform, Connections& connections, check::Tally& tally) {
  tally.Group("event log");
  // The library's account deletes nothing: the script empties the event log and removes the
  // head's counter before each run.
  Statement ds(connections.DS.get());
  Statement log(connections.Log.get());

  // Two events: the first draws the head's first identifier, the second the next one.
  const std::string computer = "PC-\xD6\xD0";  // 中
  WriteEvent(platform, connections, 1, 7, 2, "U1", "APP1", computer, kChineseGbk, kCrafted);
  WriteEvent(platform, connections, 2, 7, 6, "U1", "APP1", computer, "", "");

  log.SetSql(
      "select ID, TypeID, SourceID, EventID, UserID, AppID, ComputerName, Parameter1, Parameter2,"
      " abs(timestampdiff(second, Time, now())) as skew from log order by ID");
  log.Open();
  CHECK_EQ(log.RowCount(), 2u);
  if (log.RowCount() != 2) return;
  CHECK_EQ(log.ColumnText("ID"), std::string("Log00000001"));
  CHECK_EQ(log.ColumnInteger("TypeID"), 1);
  CHECK_EQ(log.ColumnInteger("SourceID"), 7);
  CHECK_EQ(log.ColumnInteger("EventID"), 2);
  CHECK_EQ(log.ColumnText("UserID"), std::string("U1"));
  CHECK_EQ(log.ColumnText("AppID"), std::string("APP1"));
  CHECK_EQ(log.ColumnText("ComputerName"), computer);
  CHECK_EQ(log.ColumnText("Parameter1"), kChineseGbk);
  CHECK_EQ(log.ColumnText("Parameter2"), kCrafted);
  // The time is the platform's local time, the same clock as the server's.
  CHECK(log.ColumnInteger("skew") < 300);
  log.Seek(1);
  CHECK_EQ(log.ColumnText("ID"), std::string("Log00000002"));
  CHECK_EQ(log.ColumnInteger("EventID"), 6);

  ds.SetSql("select ID from GloabolInc where Head= :head");
  ds.BindText("head", kHeadEvent);
  ds.Open();
  CHECK_EQ(ds.RowCount(), 1u);
  CHECK_EQ(ds.ColumnText("ID"), std::string("Log00000002"));
}

// A gbk text column: the server must read the bytes as the characters they are in code
// page 936, and give the same bytes back. The library's account may not write Cuser: the
// script puts the rows W-ZH (the name in code page 936) and W-ALICE there first.
void CheckChineseText(Connections& connections, check::Tally& tally) {
  tally.Group("Chinese text");
  Statement ds(connections.DS.get());
  ds.SetSql("select name, hex(convert(name using utf8mb4)) as utf8 from Cuser where User_ID= :id");
  ds.BindText("id", "W-ZH");
  ds.Open();
  CHECK_EQ(ds.RowCount(), 1u);
  CHECK_EQ(ds.ColumnText("name"), kChineseGbk);
  CHECK_EQ(ds.ColumnText("utf8"), kChineseUtf8Hex);
  ds.SetSql("select User_ID from Cuser where name= :name");
  ds.BindText("name", kChineseGbk);
  ds.Open();
  CHECK_EQ(ds.RowCount(), 1u);
  CHECK_EQ(ds.ColumnText("User_ID"), std::string("W-ZH"));
}

// A crafted client value is compared and stored as plain text.
void CheckCraftedValue(Connections& connections, check::Tally& tally) {
  tally.Group("crafted value");
  Statement ds(connections.DS.get());
  ds.SetSql("select User_ID from Cuser where name= :name");
  ds.BindText("name", kCrafted);
  ds.Open();
  CHECK_EQ(ds.RowCount(), 0u);  // "or 1=1" would find every user

  // The audit takes rows only: the script removes W1 before each run.
  Statement log(connections.Log.get());
  log.SetSql("insert into appshenji (logid, farmuser, starttime, stoptime) values ('W1', :v, now(), now())");
  log.BindText("v", kCrafted);
  log.Execute();
  log.SetSql("select farmuser, hex(farmuser) as bytes from appshenji where logid='W1'");
  log.Open();
  CHECK_EQ(log.RowCount(), 1u);
  CHECK_EQ(log.ColumnText("farmuser"), kCrafted);
  CHECK_EQ(log.ColumnText("bytes"), Hex(kCrafted));
}

// `install`: the directory of a settings file written before; empty: the program writes one.
void RunWithClient(const Server& server, const std::string& install, check::Tally& tally) {
  win32::Win32Platform platform;
  tally.Group("settings");
  if (install.empty() ? !WriteSettings(server, tally) : !SetInstallPath(install, tally)) return;
  Connections connections;
  const bool opened = OpenConnections(platform, connections);
  CHECK(opened);
  if (!opened) return;
  // Each group on its own: a failure raised in one does not hide the others' results.
  const auto run = [&tally](auto group) {
    try {
      group();
    } catch (const std::exception& failure) {
      tally.Record(false, __FILE__, __LINE__, std::string("raised: ") + failure.what());
    }
  };
  run([&] { CheckConnections(connections, server, tally); });
  run([&] { CheckEventLog(platform, connections, tally); });
  run([&] { CheckChineseText(connections, tally); });
  run([&] { CheckCraftedValue(connections, tally); });
}

// Without a client library the settings lead nowhere: the connections are made but none opens.
void RunWithoutClient(const Server& server, check::Tally& tally) {
  tally.Group("no client library");
  for (const char* name : {"libmariadb.dll", "libmysql.dll"}) {
    win32::LoadedModule library(name);
    CHECK(!library);  // the run's premise
  }
  win32::Win32Platform platform;
  if (!WriteSettings(server, tally)) return;
  Connections connections;
  CHECK(!OpenConnections(platform, connections));
  CHECK(connections.DS && !connections.DS->IsOpen());
  CHECK(connections.Log && !connections.Log->IsOpen());
}

}  // namespace
}  // namespace qbnotify

int main(int argc, char** argv) {
  using namespace qbnotify;
  check::Tally tally;
  tally.Group("setup");
  const Server server;
  QB_CHECK(tally, !server.host.empty() && !server.port.empty() && !server.user.empty());
  const std::string mode = argc > 1 ? argv[1] : "";
  try {
    if (mode == "--no-client") RunWithoutClient(server, tally);
    else if (mode == "--install-path" && argc > 2) RunWithClient(server, argv[2], tally);
    else RunWithClient(server, "", tally);
  } catch (const std::exception& failure) {
    tally.Record(false, __FILE__, __LINE__, std::string("raised: ") + failure.what());
  }
  return tally.Finish();
}
