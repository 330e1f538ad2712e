// The spool's own cost with a large backlog, without a database: the inserts and identifier
// draws answer at once, so every figure is time spent on the spool's files.
//
//   qbnotify-bench-spool [ROWS]     (100000 by default)
//
// Prints: the time to keep one more row with ROWS waiting; what one handler spends on the
// spool when the server is healthy (the look for waiting rows, and a write-back's set-up);
// the rows one write-back of the default budget moves; and the time to write back all rows.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/hosted/HostedPlatform.h"
#include "store/Spool.h"

using namespace qbnotify;
namespace fs = std::filesystem;

namespace {

double Milliseconds(std::chrono::steady_clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

template <typename Body>
double Time(Body&& body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  return Milliseconds(std::chrono::steady_clock::now() - start);
}

}  // namespace

int main(int argc, char** argv) {
  const long rows = argc > 1 ? std::atol(argv[1]) : 100000;
  char pattern[] = "/tmp/qbnotify-bench-spool.XXXXXX";
  const fs::path root = ::mkdtemp(pattern);
  fs::create_directories(root / "Data");
  hosted::Session session;
  session.registry["SOFTWARE\\Quillbrook\\TAV"]["InstallPath"] = RegistryValue{RegistryStatus::Text, root.string()};
  hosted::HostedPlatform platform(session);
  Spool spool(platform, *SpoolDirectory(platform), SpoolSettings{static_cast<std::uint64_t>(rows) + 10, 1ull << 40, 200, 600});

  EventRow row;
  row.time = DateTime{2026, 12, 7, 10, 0, 0};
  row.typeId = 2;
  row.userId = "U1";
  row.parameter1 = "bench";
  // Filled directly (one Add per row would list the directory each time, as a real outage
  // does; the figure for one Add below shows that cost).
  std::printf("filling %ld rows...\n", rows);
  spool.Add(row);
  const std::string entry = *EncodeSpoolEntry(row);
  for (long n = 1; n < rows; ++n) {
    char name[64];
    std::snprintf(name, sizeof name, "20261207100000-00000001-%08lx.row", static_cast<unsigned long>(n));
    std::FILE* file = std::fopen((root / "Data" / "Spool" / name).c_str(), "wb");
    if (!file || std::fwrite(entry.data(), 1, entry.size(), file) != entry.size() || std::fclose(file) != 0) return 1;
  }

  std::uint64_t next = 0;
  DrainCallbacks instant;
  instant.drawIdentifier = [&](const std::string& head) { return head + std::to_string(10000000 + ++next); };
  instant.insert = [](const SpooledRow&) { return InsertOutcome::Written; };

  const double add = Time([&] { spool.Add(row); });
  const double look = Time([&] { spool.HasWaitingRows(); });
  const double listing = Time([&] { platform.ListDirectory(spool.Directory()); });
  DrainReport report;
  const double drain = Time([&] { report = spool.DrainWithinBudget(instant); });
  std::printf("rows waiting                              %ld\n", rows + 1);
  std::printf("keep one more row                         %.1f ms\n", add);
  std::printf("look for waiting rows (healthy handler)   %.1f ms\n", look);
  std::printf("list the directory                        %.1f ms\n", listing);
  std::printf("write-back, 200 ms budget                 %llu rows in %.1f ms\n",
              static_cast<unsigned long long>(report.written), drain);
  const double all = Time([&] { report = spool.Drain(instant, std::nullopt); });
  std::printf("write back all the rest                   %llu rows in %.1f s\n",
              static_cast<unsigned long long>(report.written), all / 1000);
  fs::remove_all(root);
  return 0;
}
