// The library's troubles in the system's event log, on the hosted platform (lines of the
// session host's output): a storm of sessions in separate processes against servers that
// are down writes one entry of each kind per interval, naming the servers and the time the
// trouble was first seen; the kinds agree with the message table compiled into the DLL.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "HostRunner.h"
#include "TestSupport.h"
#include "store/SystemEventLog.h"

namespace qbnotify {
namespace {

namespace fs = std::filesystem;

// A loopback port where nothing listens: connections are refused at once.
int ClosedPort() {
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(probe);
  return ntohs(address.sin_port);
}

// The entries of the event log in the hosts' outputs, by id.
using Entries = std::map<int, std::vector<std::string>>;

// Plays `sessions` startups at the fixed time `clock`, `parallel` hosts at a time, and
// gathers their event-log lines.
Entries Storm(const fs::path& install, const std::string& clock, int sessions, int parallel) {
  const nlohmann::ordered_json session = {
      {"remote", true},
      {"protocol_type", 2},
      {"winstation", "KEV-Tcp#3"},
      {"initial_program", "\"C:\\TAV\\kevshell.exe\" /N:APP00000012 /U:alice /M:00-11-22-33-44-55 /E:S0001"},
      {"client_name", "PC-17"},
      {"install_path", install.string()},
      {"clock", clock},
      {"events", {"startup"}}};
  std::vector<test::HostRun> runs(static_cast<std::size_t>(sessions));
  for (int first = 0; first < sessions; first += parallel) {
    std::vector<std::thread> hosts;
    for (int i = first; i < std::min(sessions, first + parallel); ++i)
      hosts.emplace_back([&runs, &session, i] { runs[static_cast<std::size_t>(i)] = test::RunHost(session); });
    for (std::thread& host : hosts) host.join();
  }
  Entries entries;
  for (const test::HostRun& run : runs) {
    EXPECT_EQ(run.status, 0) << run.errors;
    for (const auto& line : run.OfType("system_event")) entries[line.at("id").get<int>()].push_back(line.at("text"));
  }
  return entries;
}

TEST(SystemEvents, StormAgainstStoppedServersWritesOneEntryOfEachKindPerInterval) {
  test::TempDir dir;
  const fs::path install = dir.Path() / "install";
  const std::string servers = "127.0.0.1:" + std::to_string(ClosedPort()) + ",127.0.0.1:" + std::to_string(ClosedPort());
  test::WriteSettingsFile(install,
                          "[DSConnection]\nDSHost=" + servers +
                              "\nDSUID=cWI#\nDSPSW=cHc#\nDSDB=cWJkcw##\n[DCConnection]\nDCDB=cWJkYw##\n[LogConnection]\n"
                              "LogDB=cWJsb2c#\n[Offline]\nAdmission=closed\n");
  // Each step: the sessions of one moment, and when each kind's entry says it was first seen.
  const struct {
    const char* clock;
    int sessions;
    int parallel;
    const char* firstSeen;  // nullptr: no entry expected in this interval
  } steps[] = {
      {"2031-05-06 10:00:00", 200, 8, "2031-05-06 10:00:00"},  // the storm
      {"2031-05-06 10:07:00", 20, 4, nullptr},                  // the same interval: quiet
      {"2031-05-06 10:16:00", 20, 4, "2031-05-06 10:00:00"},   // the next one: carried on
      {"2031-05-06 12:30:00", 5, 1, "2031-05-06 12:30:00"},    // after a quiet hour: a new run
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.clock);
    const Entries entries = Storm(install, step.clock, step.sessions, step.parallel);
    for (const auto& [id, texts] : entries) EXPECT_LE(texts.size(), 1u) << "entries of " << id;
    for (const int id : {1001, 1002, 1008}) {
      const auto found = entries.find(id);
      if (!step.firstSeen) {
        EXPECT_EQ(found, entries.end()) << id;
        continue;
      }
      ASSERT_NE(found, entries.end()) << id;
      EXPECT_NE(found->second.front().find("first seen " + std::string(step.firstSeen)), std::string::npos)
          << found->second.front();
    }
    if (step.firstSeen) {
      EXPECT_NE(entries.at(1001).front().find(servers), std::string::npos) << entries.at(1001).front();
    }
  }
  // The doctor's view: the last entry of each kind, from the claims in the state folder.
  hosted::Session session;
  test::SetInstallPath(session, install.string());
  hosted::HostedPlatform platform(session);
  std::map<std::uint32_t, std::string> remembered;
  for (const RememberedTrouble& trouble : RememberedTroubles(platform)) remembered[trouble.id] = trouble.time;
  EXPECT_EQ(remembered[1001], "2031-05-06 12:30:00");
  EXPECT_EQ(remembered[1008], "2031-05-06 12:30:00");
}

// Every kind has its message and category in the message table the DLL is built with, under
// the same id and a symbolic name made of the kind's name.
TEST(SystemEvents, KindsAgreeWithTheMessageTable) {
  std::ifstream in(QBNOTIFY_SOURCE_DIR "/notify/win32/QBNotifyEvents.mc");
  ASSERT_TRUE(in.good());
  std::stringstream text;
  text << in.rdbuf();
  std::map<int, std::string> symbols;
  const std::string source = text.str();
  const std::regex entry(R"(MessageId=(\d+)\s+Severity=\w+\s+Facility=\w+\s+SymbolicName=(\w+))");
  for (auto it = std::sregex_iterator(source.begin(), source.end(), entry); it != std::sregex_iterator(); ++it)
    symbols[std::stoi((*it)[1])] = (*it)[2];
  std::set<std::uint32_t> ids;
  for (const TroubleKind& kind : TroubleKinds()) {
    EXPECT_TRUE(ids.insert(kind.id).second) << kind.id;
    EXPECT_EQ(&KindOf(kind.trouble), &kind);
    std::string symbol = "QBN_";
    for (const char c : std::string(kind.name)) symbol += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(symbols[static_cast<int>(kind.id)], symbol);
    EXPECT_EQ(symbols[static_cast<int>(kind.category)].rfind("QBN_CATEGORY_", 0), 0u) << kind.name;
  }
  // The categories and the kinds, nothing more (CategoryCount is 5).
  EXPECT_EQ(symbols.size(), TroubleKinds().size() + 5);
}

// The interval number: whole intervals of local time, across a month's and a year's end.
TEST(SystemEvents, IntervalNumbers) {
  const struct {
    DateTime a, b;
    std::uint32_t minutes;
    std::int64_t apart;
  } cases[] = {
      {{2031, 5, 6, 10, 0, 0}, {2031, 5, 6, 10, 14, 59}, 15, 0},
      {{2031, 5, 6, 10, 0, 0}, {2031, 5, 6, 10, 15, 0}, 15, 1},
      {{2031, 1, 31, 23, 59, 0}, {2031, 2, 1, 0, 0, 0}, 1, 1},
      {{2030, 12, 31, 23, 0, 0}, {2031, 1, 1, 0, 0, 0}, 60, 1},
      {{2032, 2, 28, 0, 0, 0}, {2032, 3, 1, 0, 0, 0}, 1440, 2},  // a leap year
  };
  for (const auto& c : cases) EXPECT_EQ(TroubleInterval(c.b, c.minutes) - TroubleInterval(c.a, c.minutes), c.apart);
}

}  // namespace
}  // namespace qbnotify
