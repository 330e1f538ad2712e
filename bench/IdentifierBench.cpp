// Identifier draws from several processes at once, as the logon processes of a farm's
// sessions draw them: each process has its own DS connection and draws "Log" identifiers
// with NextIdentifier for a fixed time. Prints the draws per second reached, the latency of a
// draw, and a check that every identifier drawn was distinct, that the head still has one
// counter row and that it ends at the last identifier drawn.
//
// Every round starts from a fresh counter table holding the other head's row ("lap"), as a
// farm's does. Two series of rounds: the head's counter row present (the usual state), and
// no counter row yet, so that the processes' first draws race to create it. The children
// send what they drew through a pipe when they are done. Each round of the first series is
// followed by one of plain autocommit UPDATEs of the other head's row from as many
// processes: the ceiling the server itself puts on writes that queue for one row.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "store/WriteLog.h"

namespace qbnotify::bench {
namespace {

constexpr const char* kHead = "Log";
constexpr double kRoundSeconds = 2.5;
constexpr double kBaselineSeconds = 1.5;
constexpr const char* kHotRowUpdate = "UPDATE GloabolInc SET Inc=Inc+1 WHERE Head='lap'";

enum class Work { Draw, HotRowUpdate };
enum class Start { CounterPresent, NoCounter };
constexpr int kProcessCounts[] = {1, 2, 4, 8, 16};

struct ChildReport {
  std::uint64_t draws = 0;
  std::uint64_t failures = 0;
  double elapsedMicros = 0;
  char firstFailure[160] = {};
};

bool WriteAll(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, void* data, std::size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The child: connect, say ready, wait for the start, draw until the round is over, report.
[[noreturn]] void Child(Work work, int readyFd, int goFd, int resultFd) {
  ChildReport report;
  std::vector<std::int32_t> numbers;
  std::vector<float> latencies;
  numbers.reserve(100000);
  latencies.reserve(100000);
  try {
    auto connection = LibraryConnection(Server().ds);
    connection->Open();
    Statement statement(connection.get());
    const char ready = 1;
    WriteAll(readyFd, &ready, 1);
    char go;
    (void)!read(goFd, &go, 1);  // returns 0 when the parent closes its end: the start
    const auto start = Clock::now();
    const double seconds = work == Work::Draw ? kRoundSeconds : kBaselineSeconds;
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (auto now = start; now < end;) {
      try {
        std::int32_t number = 0;
        if (work == Work::Draw) number = std::stoi(NextIdentifier(statement, kHead).substr(std::strlen(kHead)));
        else connection->Query(kHotRowUpdate);
        const auto after = Clock::now();
        numbers.push_back(number);
        latencies.push_back(static_cast<float>(Micros(now, after)));
        now = after;
      } catch (const std::exception& error) {
        if (report.failures++ == 0) std::strncpy(report.firstFailure, error.what(), sizeof report.firstFailure - 1);
        now = Clock::now();
      }
    }
    report.elapsedMicros = Micros(start, Clock::now());
    connection->Close();
  } catch (const std::exception& error) {
    ++report.failures;
    std::strncpy(report.firstFailure, error.what(), sizeof report.firstFailure - 1);
    const char ready = 0;
    WriteAll(readyFd, &ready, 1);
  }
  report.draws = numbers.size();
  const bool sent = WriteAll(resultFd, &report, sizeof report) &&
                    WriteAll(resultFd, numbers.data(), numbers.size() * sizeof numbers[0]) &&
                    WriteAll(resultFd, latencies.data(), latencies.size() * sizeof latencies[0]);
  _exit(sent ? 0 : 3);  // no destructors: the parent's inherited connection must stay untouched
}

struct Round {
  int processes = 0;
  std::uint64_t draws = 0;
  std::uint64_t failures = 0;
  double seconds = 0;
  std::vector<float> latencies;
  std::string firstFailure;
  bool distinct = false;
  std::uint64_t counterRows = 0;
  std::string counterValue;
  std::string lastDrawn;
  std::int64_t gaps = 0;
};

Round RunRound(Admin& ds, int processes, Work work, Start startWith) {
  // A fresh table (no trace of earlier rounds' rows in its index) with the other head's row.
  ds.Exec("TRUNCATE TABLE GloabolInc; INSERT INTO GloabolInc (Head, ID, Inc, Remark) VALUES ('lap', '" +
          FormatIdentifier("lap", 0) + "', 1, 'NULL')");
  if (startWith == Start::CounterPresent)
    ds.Exec(std::string("INSERT INTO GloabolInc (Head, ID, Inc, Remark) VALUES ('") + kHead + "', '" +
            FormatIdentifier(kHead, 0) + "', 1, 'NULL')");
  int ready[2], go[2];
  if (pipe(ready) != 0 || pipe(go) != 0) throw std::runtime_error("pipe failed");
  std::vector<pid_t> children;
  std::vector<int> results;
  std::cout << std::flush;
  for (int p = 0; p < processes; ++p) {
    int result[2];
    if (pipe(result) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
      close(ready[0]);
      close(go[1]);
      close(result[0]);
      for (int fd : results) close(fd);
      Child(work, ready[1], go[0], result[1]);
    }
    close(result[1]);
    children.push_back(pid);
    results.push_back(result[0]);
  }
  close(ready[1]);
  close(go[0]);
  for (int p = 0; p < processes; ++p) {
    char flag = 0;
    ReadAll(ready[0], &flag, 1);
  }
  close(go[1]);  // every child starts drawing
  close(ready[0]);

  Round round;
  round.processes = processes;
  std::vector<std::int32_t> all;
  for (int fd : results) {
    ChildReport report;
    if (!ReadAll(fd, &report, sizeof report)) throw std::runtime_error("a child sent no report");
    std::vector<std::int32_t> numbers(report.draws);
    std::vector<float> latencies(report.draws);
    ReadAll(fd, numbers.data(), numbers.size() * sizeof numbers[0]);
    ReadAll(fd, latencies.data(), latencies.size() * sizeof latencies[0]);
    close(fd);
    all.insert(all.end(), numbers.begin(), numbers.end());
    round.latencies.insert(round.latencies.end(), latencies.begin(), latencies.end());
    round.failures += report.failures;
    round.seconds = std::max(round.seconds, report.elapsedMicros / 1e6);
    if (report.failures > 0 && round.firstFailure.empty()) round.firstFailure = report.firstFailure;
  }
  for (pid_t pid : children) waitpid(pid, nullptr, 0);

  round.draws = all.size();
  std::sort(all.begin(), all.end());
  round.distinct = std::adjacent_find(all.begin(), all.end()) == all.end();
  if (!all.empty()) {
    round.lastDrawn = FormatIdentifier(kHead, all.back());
    round.gaps = (static_cast<std::int64_t>(all.back()) - all.front() + 1) - static_cast<std::int64_t>(all.size());
  }
  const std::string where = std::string(" FROM GloabolInc WHERE Head='") + kHead + "'";
  round.counterRows = ds.ScalarNumber("SELECT COUNT(*)" + where);
  round.counterValue = ds.Scalar("SELECT MAX(ID)" + where);
  return round;
}

int Run() {
  EmptyAllTables();
  Admin ds(Server().ds);
  std::cout << "QBNotify identifier benchmark: NextIdentifier on head \"" << kHead << "\" from several processes,\n"
            << "each with its own DS connection, " << kRoundSeconds << " s per round; the counter table also holds\n"
            << "the row of the head \"lap\", as a farm's does.\n";

  std::vector<Round> present, absent;
  std::vector<double> hotRowUpdates;
  for (int processes : kProcessCounts) {
    present.push_back(RunRound(ds, processes, Work::Draw, Start::CounterPresent));
    const Round baseline = RunRound(ds, processes, Work::HotRowUpdate, Start::CounterPresent);
    hotRowUpdates.push_back(static_cast<double>(baseline.draws) / baseline.seconds);
  }
  for (int processes : kProcessCounts) absent.push_back(RunRound(ds, processes, Work::Draw, Start::NoCounter));

  bool ok = true;
  auto print = [&](std::vector<Round>& rounds, bool withBaseline) {
    std::vector<std::string> header = {"processes", "draws", "draws/s", "mean us", "p50 us", "p99 us", "failed",
                                       "distinct", "counter rows", "counter = last drawn", "numbers skipped"};
    if (withBaseline) header.push_back("hot-row UPDATE/s");
    Table table(header);
    for (std::size_t r = 0; r < rounds.size(); ++r) {
      Round& round = rounds[r];
      std::vector<double> latencies(round.latencies.begin(), round.latencies.end());
      const bool counterAtLast = round.counterRows == 1 && round.counterValue == round.lastDrawn;
      ok = ok && round.distinct && counterAtLast;
      std::vector<std::string> row = {
          std::to_string(round.processes), std::to_string(round.draws),
          Fixed(static_cast<double>(round.draws) / round.seconds, 0), Fixed(Mean(latencies), 0),
          Fixed(Quantile(latencies, 0.5), 0), Fixed(Quantile(latencies, 0.99), 0), std::to_string(round.failures),
          round.distinct ? "yes" : "NO", std::to_string(round.counterRows),
          counterAtLast ? "yes (" + round.counterValue + ")"
                        : "NO (" + round.counterValue + " vs " + round.lastDrawn + ")",
          std::to_string(round.gaps)};
      if (withBaseline) row.push_back(Fixed(hotRowUpdates[r], 0));
      table.Add(row);
    }
    table.Print();
    for (const Round& round : rounds)
      if (!round.firstFailure.empty())
        std::cout << " first failure with " << round.processes << " processes: " << round.firstFailure << '\n';
  };

  Heading("Draws per second, the head's counter row present (the usual state)");
  print(present, true);
  Heading("Draws per second, no counter row for the head yet (its first draws race to create it)");
  print(absent, false);
  std::cout << "\n A draw is one autocommitted UPDATE on DS that hands the number back (a read follows only\n for a head without a counter row).\n"
               " failed: draws that raised an error after the generator's own retries; numbers skipped:\n"
               " numbers between the first and the last drawn that nobody received. hot-row UPDATE/s: plain\n"
               " autocommit UPDATEs of the other head's row from as many processes, the server's own ceiling.\n";
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace qbnotify::bench

int main() { return qbnotify::bench::RunReporting("identifier benchmark", qbnotify::bench::Run); }
