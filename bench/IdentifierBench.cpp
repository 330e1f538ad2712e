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
// processes (the ceiling the server itself puts on writes that queue for one row) and one of
// bare draws of it (the plainest statement that hands a number back); each of the three runs
// three times, interleaved, and the median round is shown.
//
// On the cluster of scripts/lib/galera.sh (scripts/bench --cluster) the same rounds run with
// the processes spread over the three nodes (process i on node i mod 3), and again with all
// of them on node 1 (a single write node), each next to the hot-row ceiling measured the same
// way. Spread over the nodes, writes of one row conflict at certification: what the draws'
// retries absorb shows as draws/s and "failed"; the hot-row UPDATEs have only the server's
// own retry of an autocommit statement.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "store/Identifiers.h"
#include "tests/cluster/Cluster.h"

namespace qbnotify::bench {
namespace {

constexpr const char* kHead = "Log";
constexpr double kRoundSeconds = 2.5;
constexpr double kBaselineSeconds = 1.5;
// The plainest change of one hot row that the library's role allows (it may update ID only).
constexpr const char* kHotRowUpdate = "UPDATE GloabolInc SET ID=IF(ID='lap1', 'lap2', 'lap1') WHERE Head='lap'";
// The plainest statement that draws: it advances the other head's counter and hands the
// number back, without any of the checks a draw makes (a number, one row, 32 bits, width).
constexpr const char* kBareDraw = "UPDATE GloabolInc SET ID=CONCAT('lap', LAST_INSERT_ID(SUBSTRING(ID, 4)+1)) WHERE Head='lap'";

enum class Work { Draw, HotRowUpdate, BareDraw };
enum class Start { CounterPresent, NoCounter };
// Where the processes connect: the server (on a cluster, node 1), or each to a node in turn.
enum class Spread { OneServer, AllNodes };
constexpr int kProcessCounts[] = {1, 2, 4, 8, 16};
// Rounds of each kind per process count, interleaved: the median round is shown, so that one
// round that shared the machine with something else does not make the share.
constexpr int kRepeats = 3;

struct ChildReport {
  std::uint64_t draws = 0;
  std::uint64_t failures = 0;
  double elapsedMicros = 0;
  char firstFailure[160] = {};
};

// The child: connect, say ready, wait for the start, draw until the round is over, report.
[[noreturn]] void Child(Work work, int port, int readyFd, int goFd, int resultFd) {
  ChildReport report;
  std::vector<std::int32_t> numbers;
  std::vector<float> latencies;
  numbers.reserve(100000);
  latencies.reserve(100000);
  try {
    auto connection = LibraryConnection(Server().ds);
    connection->port = port;
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
        else connection->Query(work == Work::HotRowUpdate ? kHotRowUpdate : kBareDraw);
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

Round RunRound(Admin& ds, int processes, Work work, Start startWith, Spread spread = Spread::OneServer) {
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
      const auto& nodes = test::ClusterNodes();
      const int port = spread == Spread::AllNodes && !nodes.empty() ? nodes[p % nodes.size()].port : Server().port;
      Child(work, port, ready[1], go[0], result[1]);
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

double PerSecond(const Round& round) { return round.seconds > 0 ? static_cast<double>(round.draws) / round.seconds : 0; }
bool CounterAtLast(const Round& round) { return round.counterRows == 1 && round.counterValue == round.lastDrawn; }

// The round of median rate; a round of draws that broke a property of the identifiers wins,
// so that it is shown.
Round MedianRound(std::vector<Round> rounds, Work work) {
  for (Round& round : rounds)
    if (work == Work::Draw && (!round.distinct || !CounterAtLast(round))) return std::move(round);
  std::sort(rounds.begin(), rounds.end(), [](const Round& a, const Round& b) { return PerSecond(a) < PerSecond(b); });
  return std::move(rounds[rounds.size() / 2]);
}

// One series of rounds: draws with the counter row present, each next to the hot-row
// ceiling measured the same way.
struct Series {
  std::string title;
  Spread spread;
  std::vector<Round> draws;
  std::vector<Round> hotRow;
  std::vector<Round> bareDraws;
};

int Run() {
  EmptyAllTables();
  Admin ds(Server().ds);
  const bool cluster = !test::ClusterNodes().empty();
  std::cout << "QBNotify identifier benchmark: NextIdentifier on head \"" << kHead << "\" from several processes,\n"
            << "each with its own DS connection, " << kRoundSeconds << " s per round; the counter table also holds\n"
            << "the row of the head \"lap\", as a farm's does.\n";
  if (cluster) std::cout << "On a " << test::ClusterNodes().size() << "-node Galera cluster.\n";

  std::vector<Series> series;
  if (cluster) {
    series.push_back({"spread over the cluster's nodes (process i on node i mod 3)", Spread::AllNodes, {}, {}, {}});
    series.push_back({"all on node 1 (a single write node)", Spread::OneServer, {}, {}, {}});
  } else {
    series.push_back({"one server", Spread::OneServer, {}, {}, {}});
  }
  for (int processes : kProcessCounts)
    for (Series& one : series) {
      std::vector<Round> draws, hotRow, bare;
      for (int i = 0; i < kRepeats; ++i) {
        draws.push_back(RunRound(ds, processes, Work::Draw, Start::CounterPresent, one.spread));
        hotRow.push_back(RunRound(ds, processes, Work::HotRowUpdate, Start::CounterPresent, one.spread));
        bare.push_back(RunRound(ds, processes, Work::BareDraw, Start::CounterPresent, one.spread));
      }
      one.draws.push_back(MedianRound(std::move(draws), Work::Draw));
      one.hotRow.push_back(MedianRound(std::move(hotRow), Work::HotRowUpdate));
      one.bareDraws.push_back(MedianRound(std::move(bare), Work::BareDraw));
    }
  std::vector<Round> absent;
  const Spread firstDraws = cluster ? Spread::AllNodes : Spread::OneServer;
  for (int processes : kProcessCounts) absent.push_back(RunRound(ds, processes, Work::Draw, Start::NoCounter, firstDraws));

  bool ok = true;
  auto print = [&](std::vector<Round>& rounds, const std::vector<Round>* hotRow, const std::vector<Round>* bare) {
    std::vector<std::string> header = {"processes", "draws", "draws/s", "mean us", "p50 us", "p99 us", "failed",
                                       "distinct", "counter rows", "counter = last drawn", "numbers skipped"};
    if (hotRow) {
      header.push_back("hot-row UPDATE/s");
      header.push_back("draws/ceiling");
      if (cluster) header.push_back("UPDATEs failed");
      header.push_back("bare draws/s");
      header.push_back("draws/bare");
    }
    Table table(header);
    for (std::size_t r = 0; r < rounds.size(); ++r) {
      Round& round = rounds[r];
      std::vector<double> latencies(round.latencies.begin(), round.latencies.end());
      const bool counterAtLast = CounterAtLast(round);
      ok = ok && round.distinct && counterAtLast;
      const double perSecond = static_cast<double>(round.draws) / round.seconds;
      std::vector<std::string> row = {
          std::to_string(round.processes), std::to_string(round.draws), Fixed(perSecond, 0),
          Fixed(Mean(latencies), 0), Fixed(Quantile(latencies, 0.5), 0), Fixed(Quantile(latencies, 0.99), 0),
          std::to_string(round.failures), round.distinct ? "yes" : "NO", std::to_string(round.counterRows),
          counterAtLast ? "yes (" + round.counterValue + ")"
                        : "NO (" + round.counterValue + " vs " + round.lastDrawn + ")",
          std::to_string(round.gaps)};
      if (hotRow) {
        const Round& ceiling = (*hotRow)[r];
        const double ceilingPerSecond = static_cast<double>(ceiling.draws) / ceiling.seconds;
        row.push_back(Fixed(ceilingPerSecond, 0));
        row.push_back(ceilingPerSecond > 0 ? Fixed(100 * perSecond / ceilingPerSecond, 0) + " %" : "-");
        if (cluster) row.push_back(std::to_string(ceiling.failures));
        const Round& plain = (*bare)[r];
        const double barePerSecond = static_cast<double>(plain.draws) / plain.seconds;
        row.push_back(Fixed(barePerSecond, 0));
        row.push_back(barePerSecond > 0 ? Fixed(100 * perSecond / barePerSecond, 0) + " %" : "-");
      }
      table.Add(row);
    }
    table.Print();
    for (const Round& round : rounds)
      if (!round.firstFailure.empty())
        std::cout << " first failure with " << round.processes << " processes: " << round.firstFailure << '\n';
    if (hotRow)
      for (const Round& round : *hotRow)
        if (!round.firstFailure.empty())
          std::cout << " first failed UPDATE with " << round.processes << " processes: " << round.firstFailure << '\n';
  };

  for (Series& one : series) {
    Heading("Draws per second, the head's counter row present (the usual state), " + one.title);
    print(one.draws, &one.hotRow, &one.bareDraws);
  }
  Heading(std::string("Draws per second, no counter row for the head yet (its first draws race to create it)") +
          (cluster ? ", spread over the nodes" : ""));
  print(absent, nullptr, nullptr);
  std::cout << "\n A draw is one autocommitted UPDATE on DS that hands the number back (a read follows only\n for a head without a counter row).\n"
               " failed: draws that raised an error after the generator's own retries; numbers skipped:\n"
               " numbers between the first and the last drawn that nobody received. hot-row UPDATE/s: plain\n"
               " autocommit UPDATEs of the other head's row from as many processes, connected the same way: the\n"
               " ceiling the server puts on writes that queue for one row; draws/ceiling: draws/s as a share of it.\n"
               " bare draws/s: the plainest statement that draws (advances the other head's counter and hands the\n"
               " number back, with none of a draw's checks), from as many processes; draws/bare: the share of it.\n";
  if (cluster)
    std::cout << " UPDATEs failed: hot-row UPDATEs refused after the server's own retry (certification conflicts\n"
                 " between nodes, error 1213).\n";
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace qbnotify::bench

int main() { return qbnotify::bench::RunReporting("identifier benchmark", qbnotify::bench::Run); }
