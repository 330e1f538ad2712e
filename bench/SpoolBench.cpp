// The spool with a large backlog, against the private server that scripts/bench starts: the
// rows a long outage left (kept without their identifiers, as after a failed draw), written
// back by the library's own write-back over the library's own connections.
//
//   qbnotify-bench-spool            (QB_BENCH_SPOOL_ROWS rows waiting, 100000 by default)
//
// Prints, with the machine's load before and after:
//   - the spool's own cost for a handler on a healthy server: the look for waiting rows, and
//     a write-back's set-up (the directory looked at, the rows chosen, one row claimed and put
//     back: the write-back's cost beyond the rows it writes);
//   - keeping one more row (what a handler pays per row during an outage);
//   - handlers' write-backs of the default budget (200 ms): rows moved and time taken;
//   - the administrators' write-back (qbnotify-doctor --write-back) of all the rest: its
//     time and rate, and that every row reached the log table exactly once.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "store/spool/Spool.h"
#include "store/spool/SpoolNames.h"
#include "store/spool/SpoolWriteBack.h"

namespace qbnotify::bench {
namespace {

namespace fs = std::filesystem;

constexpr int kSamples = 15;
constexpr int kHandlerWriteBacks = 10;  // and one more, timed in its parts

double MillisOf(const std::function<void()>& body) {
  const Clock::time_point start = Clock::now();
  body();
  return Micros(start, Clock::now()) / 1000;
}

double MedianMillis(const std::function<void()>& body) {
  std::vector<double> sample;
  for (int i = 0; i < kSamples; ++i) sample.push_back(MillisOf(body));
  return Quantile(sample, 0.5);
}

std::string Load() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// The rows of a long outage, one every 20 seconds from 2026-12-01 00:00 on, laid
// down directly as the spool's files (one Add each would take as long as the outage did).
void LayDownBacklog(Spool& spool, long rows) {
  EventRow row;
  row.typeId = 2;
  row.sourceId = 1;
  row.eventId = 3;
  row.userId = "U0001";
  row.appId = "APP00000012";
  row.computerName = "PC-A";
  row.time = DateTime{2026, 11, 30, 23, 59, 0};
  if (spool.Add(row) != SpoolAddResult::Spooled) throw std::runtime_error("the spool takes no row");
  const fs::path directory = hosted::HostPath(spool.Directory());
  for (long n = 0; n + 1 < rows; ++n) {
    const long seconds = n * 20;
    row.time = DateTime{2026, 12, std::min(28, 1 + static_cast<int>(seconds / 86400)),
                        static_cast<int>(seconds / 3600 % 24), static_cast<int>(seconds / 60 % 60),
                        static_cast<int>(seconds % 60)};
    row.parameter1 = "outage row " + std::to_string(n);
    const std::string entry = *EncodeSpoolEntry(row);
    const std::string name =
        spool::WaitingRowName(row.time, 1, static_cast<std::uint32_t>(n), entry.size() + spool::kIdentifierRoom);
    std::ofstream out(directory / name, std::ios::binary);
    out << entry;
    if (!out) throw std::runtime_error("cannot write " + (directory / name).string());
  }
}

int Run() {
  const char* asked = std::getenv("QB_BENCH_SPOOL_ROWS");
  const long rows = asked ? std::atol(asked) : 100000;
  if (rows < 2) throw std::runtime_error("QB_BENCH_SPOOL_ROWS must be 2 or more");
  const std::string loadBefore = Load();
  EmptyAllTables();
  InstallDir install;
  hosted::HostedPlatform platform(KevSessionAt(install));
  const std::optional<std::string> directory = SpoolDirectory(platform);
  if (!directory) throw std::runtime_error("no spool directory");
  Spool spool(platform, *directory, SpoolSettings{static_cast<std::uint64_t>(rows) + 10, 1ull << 40, 200, 600});
  std::printf("laying down %ld rows...\n", rows);
  LayDownBacklog(spool, rows);

  Heading("The spool's own cost with " + std::to_string(rows) + " rows waiting (median of " +
          std::to_string(kSamples) + ")");
  const double look = MedianMillis([&] {
    if (!spool.HasWaitingRows()) throw std::runtime_error("no rows seen waiting");
  });
  // The write-back's set-up: the draw of the first row fails, so it is put back untouched and
  // the write-back stops there, having done everything but write rows.
  DrainCallbacks noServer;
  noServer.drawIdentifier = [](const std::string&) -> std::string { throw std::runtime_error("no server"); };
  noServer.insert = [](const SpooledRow&) { return InsertOutcome::Unavailable; };
  const double setUp = MedianMillis([&] { spool.DrainWithinBudget(noServer); });
  int kept = 0;
  const double keep = MedianMillis([&] {
    EventRow row;
    row.time = DateTime{2026, 12, 28, 23, 59, 59};
    row.parameter1 = "kept during the outage " + std::to_string(++kept);
    spool.Add(row);
  });
  Table own({"step", "ms"});
  own.Add({"look for waiting rows (every handler)", Fixed(look, 2)});
  own.Add({"write-back set-up (beyond the rows written)", Fixed(setUp, 2)});
  own.Add({"a healthy handler's spool cost, both", Fixed(look + setUp, 2)});
  own.Add({"keep one more row (a handler in an outage)", Fixed(keep, 2)});
  own.Print();

  Heading("Handlers' write-backs on a healthy server (budget 200 ms each)");
  Connections connections;
  if (!OpenConnections(platform, connections)) throw std::runtime_error("the library's connections do not open");
  std::vector<double> moved, took;
  for (int i = 0; i < kHandlerWriteBacks; ++i) {
    connections.BeginHandler();
    DrainReport report;
    took.push_back(MillisOf([&] { report = WriteBackSpool(platform, connections, true); }));
    if (report.serverUnavailable || report.diskFailed) throw std::runtime_error("a write-back stopped");
    moved.push_back(static_cast<double>(report.written));
  }
  // One more write-back of the same budget with its server calls timed: what the rest of its
  // time went to is the spool's own file work on the rows.
  double drawMs = 0, insertMs = 0;
  DrainReport timedReport;
  const double timedTotal = MillisOf([&] {
    connections.BeginHandler();
    const DrainCallbacks real = SpoolWriteBack(connections);
    DrainCallbacks timed = real;
    timed.drawIdentifier = [&](const std::string& head) {
      std::string identifier;
      drawMs += MillisOf([&] { identifier = real.drawIdentifier(head); });
      return identifier;
    };
    timed.drawIdentifiers = [&](const std::string& head, int count) {
      std::vector<std::string> identifiers;
      drawMs += MillisOf([&] { identifiers = real.drawIdentifiers(head, count); });
      return identifiers;
    };
    timed.insert = [&](const SpooledRow& row) {
      InsertOutcome outcome = InsertOutcome::Unavailable;
      insertMs += MillisOf([&] { outcome = real.insert(row); });
      return outcome;
    };
    timed.insertAll = [&](const std::vector<const SpooledRow*>& batch) {
      bool all = false;
      insertMs += MillisOf([&] { all = real.insertAll(batch); });
      return all;
    };
    timedReport = spool.DrainWithinBudget(timed);
  });
  moved.push_back(static_cast<double>(timedReport.written));
  took.push_back(timedTotal);
  Table handlers({"", "min", "median", "max"});
  std::vector<double> movedSorted = moved, tookSorted = took;
  handlers.Add({"rows moved", Fixed(Quantile(movedSorted, 0), 0), Fixed(Quantile(movedSorted, 0.5), 0),
                Fixed(Quantile(movedSorted, 1), 0)});
  handlers.Add({"ms taken", Fixed(Quantile(tookSorted, 0), 1), Fixed(Quantile(tookSorted, 0.5), 1),
                Fixed(Quantile(tookSorted, 1), 1)});
  handlers.Print();
  std::printf("one of them: %llu rows in %.1f ms: identifier draws %.1f ms, inserts %.1f ms, the spool's files %.1f ms\n",
              static_cast<unsigned long long>(timedReport.written), timedTotal, drawMs, insertMs,
              timedTotal - drawMs - insertMs);

  Heading("The administrators' write-back of all the rest (qbnotify-doctor --write-back)");
  Connections doctor;  // as the doctor opens them: no handler's budget
  if (!OpenConnections(platform, doctor)) throw std::runtime_error("the library's connections do not open");
  DrainReport all;
  const double seconds = MillisOf([&] { all = WriteBackSpool(platform, doctor, false); }) / 1000;
  const std::uint64_t logRows = Admin(Server().log).ScalarNumber("SELECT COUNT(*) FROM log");
  const std::uint64_t distinct =
      Admin(Server().log).ScalarNumber("SELECT COUNT(DISTINCT Parameter1, Time) FROM log");
  Table doctorTable({"rows written", "seconds", "rows/s", "rows in log", "distinct", "left waiting"});
  doctorTable.Add({std::to_string(all.written), Fixed(seconds, 1), Fixed(static_cast<double>(all.written) / std::max(seconds, 1e-9), 0),
                   std::to_string(logRows), std::to_string(distinct), std::to_string(spool.State().rowsWaiting)});
  doctorTable.Print();
  std::printf("load average before %s, after %s (%u cores)\n", loadBefore.c_str(), Load().c_str(),
              std::thread::hardware_concurrency());
  if (logRows != distinct || spool.State().rowsWaiting != 0)
    throw std::runtime_error("a row was written twice or left behind");
  return 0;
}

}  // namespace
}  // namespace qbnotify::bench

int main() { return qbnotify::bench::RunReporting("spool benchmark", qbnotify::bench::Run); }
