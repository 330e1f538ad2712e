// The offline admission's own costs on farms of growing size: refreshing the snapshot after
// a startup that reached the database (its five statements, then encoding and the durable
// write), the snapshot's size, and an offline decision (reading and checking the snapshot,
// then deciding from it).
#include <cstdio>

#include "bench/BenchSupport.h"
#include "policy/Offline.h"

namespace qbnotify::bench {
namespace {

struct Farm {
  int policies;
  int rulesPerPolicy;
  int users;
};

void Fill(const Farm& farm) {
  EmptyAllTables();
  Admin ds(Server().ds);
  ds.Exec("INSERT INTO addressgroup VALUES ('ANY', '0', '', ''), ('LAN', '4', '10.0.0.1', '10.0.0.99');"
          "INSERT INTO timegroup (TimeID, DayType, DayFlags, StartDay, EndDay, StartTime, EndTime) VALUES "
          "('T', 0, '01111111', NULL, NULL, NULL, NULL), ('W', 1, '01111100', '2026-01-01', '0000-00-00', '08:00', '18:00')");
  ds.Exec("INSERT INTO Application (App_ID, Name, security_policy_id) SELECT CONCAT('APP', LPAD(seq, 8, '0')), "
          "CONCAT('app ', seq), CONCAT('P', seq % " + std::to_string(farm.policies) + ") FROM seq_1_to_" +
          std::to_string(farm.policies * 2));
  ds.Exec("INSERT INTO securitypolicy_sub (SecPID, SortID, clientname, MAC, ClientProtocol, ClientIPAddressGroupID, "
          "TimeID, Action) SELECT CONCAT('P', p.seq), r.seq * 10, CONCAT('PC-', r.seq, '*'), '*', 1, "
          "IF(r.seq % 2, 'LAN', 'ANY'), IF(r.seq % 3, 'T', 'W'), r.seq % 2 FROM seq_0_to_" +
          std::to_string(farm.policies - 1) + " p, seq_1_to_" + std::to_string(farm.rulesPerPolicy) + " r");
  ds.Exec("INSERT INTO Cuser (User_ID, name) SELECT CONCAT('U', LPAD(seq, 8, '0')), CONCAT('user', seq) FROM seq_1_to_" +
          std::to_string(farm.users));
}

int Run() {
  const Farm farms[] = {{10, 10, 1000}, {100, 20, 10000}, {200, 50, 50000}};
  Table table({"farm (policies x rules, users)", "bytes", "statements ms", "encode+write ms", "refresh ms",
               "offline decision ms"});
  for (const Farm& farm : farms) {
    Fill(farm);
    InstallDir install;
    hosted::HostedPlatform platform(KevSessionAt(install, "\"C:\\TAV\\kevshell.exe\" /N:APP00000003 /U:user77 /M:00-11"));
    Instance instance(platform);
    if (!OpenConnections(platform, instance.connections)) throw std::runtime_error("the connections did not open");
    std::vector<double> statements, refresh, decide;
    std::uint64_t bytes = 0;
    for (int round = 0; round < 7; ++round) {
      auto start = Clock::now();
      const OfflineSnapshot snapshot = TakeSnapshot(instance);
      statements.push_back(Micros(start, Clock::now()) / 1000);
      start = Clock::now();
      if (RefreshSnapshotIfDue(instance, 0) != RefreshOutcome::Stored) throw std::runtime_error("no snapshot stored");
      refresh.push_back(Micros(start, Clock::now()) / 1000);
      start = Clock::now();
      const StoredSnapshot stored = ReadStoredSnapshot(platform);
      OfflineSettings settings;
      settings.mode = OfflineMode::Cached;
      const OfflineDecision decision = DecideOffline(instance, settings, stored.snapshot, OfflineMomentNow(platform));
      decide.push_back(Micros(start, Clock::now()) / 1000);
      if (!stored.snapshot || decision.mode != OfflineMode::Cached) throw std::runtime_error("the snapshot was not used");
      bytes = stored.bytes;
    }
    const double statementMs = Quantile(statements, 0.5);
    const double refreshMs = Quantile(refresh, 0.5);
    char cells[5][32];
    std::snprintf(cells[0], sizeof cells[0], "%llu", static_cast<unsigned long long>(bytes));
    std::snprintf(cells[1], sizeof cells[1], "%.2f", statementMs);
    std::snprintf(cells[2], sizeof cells[2], "%.2f", refreshMs - statementMs);
    std::snprintf(cells[3], sizeof cells[3], "%.2f", refreshMs);
    std::snprintf(cells[4], sizeof cells[4], "%.2f", Quantile(decide, 0.5));
    table.Add({std::to_string(farm.policies) + " x " + std::to_string(farm.rulesPerPolicy) + ", " +
                   std::to_string(farm.users),
               cells[0], cells[1], cells[2], cells[3], cells[4]});
  }
  std::printf("medians of 7 rounds; refresh = statements + encoding + the durable write\n");
  table.Print();
  EmptyAllTables();
  return 0;
}

}  // namespace
}  // namespace qbnotify::bench

int main() { return qbnotify::bench::RunReporting("offline snapshot benchmark", &qbnotify::bench::Run); }
