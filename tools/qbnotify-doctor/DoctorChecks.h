// The doctor's checks, one family to a file: the install path and the settings file
// (DoctorSettings.cpp), the client library, the connections and the server
// (DoctorConnections.cpp), the tables and privileges (DoctorSchema.cpp), the identifier
// counters and the clock (DoctorCounters.cpp), and the local spool (DoctorSpool.cpp). Each
// adds its findings to one list, in the order Run calls them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "store/Database.h"
#include "tools/qbnotify-doctor/Doctor.h"

namespace qbnotify::tools {

class Doctor {
 public:
  Doctor(Platform& platform, const DoctorOptions& options) : platform_(platform), options_(options) {}

  std::vector<Check> Run();

 private:
  void Add(const std::string& section, const std::string& name, Status status, std::string detail, std::string fix = {});
  void Skip(const std::string& section, const std::string& name, const std::string& why);

  // The install path and the settings file.
  bool InstallPathValue();
  bool SettingsFile();
  void SettingsFileAccess(const std::string& path);

  // The client library, the connections and the server.
  bool ClientLibrary();
  std::unique_ptr<Connection> Connect(const char* name, const char* section, const char* databaseKey);
  void OpenConnections();
  // Each listed server, the deny state and the server the library would use
  // (DoctorServers.cpp); the connections below go to that server.
  void Servers();
  Connection* Any() { return ds_ ? ds_.get() : dc_ ? dc_.get() : log_.get(); }
  void Server();

  // Tables, columns and privileges.
  struct Table;
  void CheckTables(Connection* connection, const std::vector<Table>& tables);
  void Tables();
  void Privileges();
  // Which form the session-load searches take (DoctorSessionLoad.cpp).
  void SessionLoadSearches();
  // Whether the usage report's optional indexes are in place (DoctorSessionLoad.cpp).
  void ReportIndexes();

  // Identifier counters and the clock.
  void Counters();
  void Clock();

  // The local spool of rows the database could not take.
  void SpoolChecks();

  // What a session gets while the database is away (DoctorOffline.cpp).
  void OfflineChecks();
  void RefreshLine(bool cached);

  // The installer package and the last entries in the event log (DoctorPackage.cpp).
  void PackageChecks();
  void EventChecks();
  void NullableRuleColumns();

  Platform& platform_;
  const DoctorOptions& options_;
  std::vector<Check> checks_;
  std::unique_ptr<Connection> ds_, dc_, log_;
  std::optional<HostPort> chosen_;  // the server the library would use now
};

}  // namespace qbnotify::tools
