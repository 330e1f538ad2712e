#include "bench/BenchSupport.h"

#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <numeric>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "environment/ConnectionSettings.h"
#include "tests/TestSupport.h"
#include "tests/cluster/Cluster.h"

namespace qbnotify::bench {
int RunReporting(const char* what, int (*run)()) {
  try {
    return run();
  } catch (const std::exception& error) {
    std::cerr << what << ": " << error.what() << '\n';
    return 1;
  }
}

const ServerInfo& Server() {
  if (!test::Server()) {
    std::cerr << "no database server: run the benchmarks through scripts/bench\n";
    std::exit(2);
  }
  return *test::Server();
}

Admin::Admin(const std::string& database) : test::AdminSession(Server(), database, "NULL") {
  // On a cluster, reads wait until node 1 has applied what the other nodes committed.
  if (!test::ClusterNodes().empty()) Exec("SET SESSION wsrep_sync_wait = 1");
}

std::unique_ptr<Connection> LibraryConnection(const std::string& database) {
  return test::LibraryConnection(Server(), database);
}

InstallDir::InstallDir() {
  std::random_device random;
  path_ = (std::filesystem::temp_directory_path() / ("qbnotify-bench-" + std::to_string(random()))).string();
  test::WriteSettingsFile(path_, test::SettingsText(Server()));
}

InstallDir::~InstallDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

hosted::Session KevSessionAt(const InstallDir& install, const std::string& initialProgram) {
  hosted::Session session = test::KevSession(initialProgram);
  test::SetInstallPath(session, install.Path());
  return session;
}

void EmptyAllTables() {
  Admin(Server().ds).Exec(test::kEmptyDsTables);
  Admin(Server().dc).Exec(test::kEmptyDcTables);
  Admin(Server().log).Exec(test::kEmptyLogTables);
}

void SetSessionLoadColumns(Admin& dc, bool wanted) {
  const bool present = dc.Scalar("SELECT COUNT(*) FROM information_schema.columns WHERE table_schema = DATABASE() "
                                 "AND table_name = 'dc_sessionload' AND column_name = 'UserSwitch'") != "0";
  if (present == wanted) return;
  const std::string path = std::string(QBNOTIFY_SOURCE_DIR) + "/db/migrations/sessionload-index-" +
                           (wanted ? "add" : "remove") + ".sql";
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  dc.Exec(text.str());
}

void SetRunningSessions(Admin& dc, int count) {
  dc.Exec("DELETE FROM dc_sessionload WHERE ClientName <> 'PC-A'");
  if (count > 0)
    dc.Exec("INSERT INTO dc_sessionload (InitAppName, ClientName, StationName) SELECT "
            "  CONCAT('\"C:\\\\TAV\\\\kevshell.exe\" /N:APP', LPAD(1 + seq MOD 200, 8, '0'), "
            "         ' /U:user', LPAD(seq MOD 5000, 5, '0'), ' /M:AA-BB-CC-', LPAD(HEX(seq MOD 256), 2, '0'), "
            "         '-00-01 /E:S', LPAD(seq, 6, '0')), "
            "  CONCAT('PC-', LPAD(seq MOD 3000, 5, '0')), "
            "  IF(seq MOD 10 = 0, CONCAT('RDP-Tcp#', seq), CONCAT('KEV-Tcp#', seq)) "
            "FROM seq_0_to_" + std::to_string(count - 1));
  dc.Exec("ANALYZE TABLE dc_sessionload");
}

bool WaitForQuietServer(Admin& admin, std::chrono::seconds limit) {
  const std::string dirtyShare = admin.Rows("SELECT @@innodb_max_dirty_pages_pct").at(0).at(0);
  admin.Exec("SET GLOBAL innodb_max_dirty_pages_pct = 0");  // the page cleaner writes them all now
  const auto deadline = Clock::now() + limit;
  bool quiet = false;
  while (!(quiet = GlobalStatus(admin, "Innodb_buffer_pool_pages_dirty") == 0 &&
                   GlobalStatus(admin, "Innodb_history_list_length") < 64) &&
         Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  admin.Exec("SET GLOBAL innodb_max_dirty_pages_pct = " + dirtyShare);
  return quiet;
}

double Quantile(std::vector<double>& sample, double q) {
  if (sample.empty()) return 0;
  std::sort(sample.begin(), sample.end());
  const double position = q * static_cast<double>(sample.size() - 1);
  const auto below = static_cast<std::size_t>(std::floor(position));
  const std::size_t above = std::min(below + 1, sample.size() - 1);
  const double fraction = position - static_cast<double>(below);
  return sample[below] * (1 - fraction) + sample[above] * fraction;
}

double Mean(const std::vector<double>& sample) {
  if (sample.empty()) return 0;
  return std::accumulate(sample.begin(), sample.end(), 0.0) / static_cast<double>(sample.size());
}

void Table::Print() const {
  std::vector<std::size_t> widths(header_.size(), 0);
  auto widen = [&](const std::vector<std::string>& row) {
    for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  };
  widen(header_);
  for (const auto& row : rows_) widen(row);
  auto print = [&](const std::vector<std::string>& row) {
    std::string line = " ";
    for (std::size_t i = 0; i < widths.size(); ++i) {
      const std::string cell = i < row.size() ? row[i] : "";
      const std::string pad(widths[i] - cell.size(), ' ');
      line += i == 0 ? cell + pad : "  " + pad + cell;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::cout << line << '\n';
  };
  print(header_);
  std::size_t total = 1;
  for (std::size_t w : widths) total += w + 2;
  std::cout << ' ' << std::string(total - 3, '-') << '\n';
  for (const auto& row : rows_) print(row);
  std::cout << std::flush;
}

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

void Heading(const std::string& text) { std::cout << '\n' << text << '\n' << std::flush; }


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

}  // namespace qbnotify::bench
