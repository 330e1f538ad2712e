#include "tests/cluster/ClusterSessions.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

namespace qbnotify::test {
namespace {

// GBK bytes of the farm's Chinese texts.
constexpr const char* kZhangWei = "\xD5\xC5\xCE\xB0";
constexpr const char* kWordProcessing = "\xCE\xC4\xD7\xD6\xB4\xA6\xC0\xED";

using Events = std::multiset<std::pair<int, int>>;
// startup (1,2), shell check passed (2,2), logon (2,3), disconnect (2,4), reconnect (2,5), logoff (2,6);
// a refusal by the policy check or by the shell check is (2,1).
const Events kWholeSession = {{1, 2}, {2, 2}, {2, 3}, {2, 4}, {2, 5}, {2, 6}};

const SessionKind kAdmittedByPolicy{"admitted by policy", true, kWholeSession, 4};
const SessionKind kAdmittedNoPolicy{"admitted, no policy", true, kWholeSession, 4};
const SessionKind kRefusedByAddress{"refused by address", false, {{1, 2}, {2, 2}, {2, 1}}, 0};
const SessionKind kRefusedUnknownApp{"refused, unknown app", false, {{1, 2}, {2, 2}, {2, 1}}, 0};
const SessionKind kRefusedDuplicate{"refused, duplicate", false, {{1, 2}, {2, 2}}, 0};
const SessionKind kRefusedShell{"refused by shell", false, {{1, 2}, {2, 1}}, 0};

// The mix of each node's sessions: five admitted, five refused.
const SessionKind* const kMix[] = {&kAdmittedByPolicy, &kAdmittedNoPolicy, &kRefusedByAddress, &kRefusedUnknownApp,
                                   &kRefusedDuplicate, &kRefusedShell,     &kAdmittedByPolicy, &kAdmittedNoPolicy,
                                   &kRefusedByAddress, &kAdmittedByPolicy};

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

std::vector<std::string> FarmStatements(const std::string& ds, const std::string& dc, const std::string& log) {
  return {
      "USE " + ds,
      "TRUNCATE TABLE GloabolInc",
      "TRUNCATE TABLE Cuser",
      "TRUNCATE TABLE Application",
      "TRUNCATE TABLE securitypolicy_sub",
      "TRUNCATE TABLE addressgroup",
      "TRUNCATE TABLE timegroup",
      "TRUNCATE TABLE " + dc + ".dc_sessionload",
      "TRUNCATE TABLE " + log + ".log",
      "TRUNCATE TABLE " + log + ".appshenji",
      std::string("INSERT INTO Cuser (User_ID, name, RepeatLoginEnable, RunAppNum) VALUES "
                  "('U0001', 'alice', 1, 0), ('U0002', 'bob', 0, 0), ('U0003', '") +
          kZhangWei + "', 0, 2)",
      std::string("INSERT INTO Application (App_ID, Name, security_policy_id, app_session_count, each_user_one_session) "
                  "VALUES ('APP00000012', 'Reports', 'SP01', 0, 0), ('APP00000020', '") +
          kWordProcessing + "', NULL, 0, 0)",
      "INSERT INTO addressgroup (AddressID, AddressType, Ip1, Ip2) VALUES ('AG00', '0', '', ''), "
      "('AG01', '8', '10.0.0.0', '')",
      "INSERT INTO timegroup (TimeID, DayType, DayFlags, StartDay, EndDay, StartTime, EndTime) VALUES "
      "('TG00', 0, '01111111', NULL, NULL, NULL, NULL)",
      "INSERT INTO securitypolicy_sub (SecPID, SortID, clientname, MAC, ClientProtocol, ClientIPAddressGroupID, "
      "TimeID, Action) VALUES ('SP01', 10, 'PC-*', '*', 1, 'AG01', 'TG00', 0), "
      "('SP01', 20, '*', '*', 0, 'AG00', 'TG00', 1)",
      // alice already works on another computer, and her account allows one at a time.
      "INSERT INTO " + dc + ".dc_sessionload (InitAppName, ClientName, StationName) VALUES "
      "('\"C:\\\\TAV\\\\kevshell.exe\" /N:APP00000020 /U:alice /M:00-11-22-33-44-55 /E:HOME01', 'HOME-PC', "
      "'KEV-Tcp#1')",
  };
}

}  // namespace

void LoadFarm(const ClusterNode& through, const std::string& ds, const std::string& dc, const std::string& log) {
  NodeAdmin admin(through, ds);
  for (const std::string& sql : FarmStatements(ds, dc, log)) admin.Exec(sql);
  WaitAllApplied(ds);
}

PlannedSession PlanSession(int round, int node, int index, const std::string& installPath) {
  PlannedSession p;
  p.node = node;
  char tag[32];
  std::snprintf(tag, sizeof tag, "R%dN%dS%02d", round, node, index);
  p.tag = tag;
  p.computer = "PC-" + p.tag;
  p.kind = kMix[index % std::size(kMix)];

  std::string program = "\"C:\\TAV\\kevshell.exe\" /N:APP00000012 /U:bob";
  std::string address = "10.0.0.7";
  if (p.kind == &kAdmittedNoPolicy) {
    program = std::string("\"C:\\TAV\\kevshell.exe\" /N:APP00000020 /U:") + kZhangWei;
    address = "172.16.0.9";
  } else if (p.kind == &kRefusedByAddress) {
    address = "192.168.7.7";
  } else if (p.kind == &kRefusedUnknownApp) {
    program = "\"C:\\TAV\\kevshell.exe\" /N:APP00000099 /U:bob";
  } else if (p.kind == &kRefusedDuplicate) {
    program = "\"C:\\TAV\\kevshell.exe\" /N:APP00000020 /U:alice";
  } else if (p.kind == &kRefusedShell) {
    program = "C:\\WINDOWS\\system32\\cmd.exe /N:APP00000020 /U:bob";
  }
  program += " /M:00-11-22-33-44-55 /E:" + p.tag;

  p.session = {
      {"comment", std::string(p.kind->name) + " on node " + std::to_string(node)},
      {"remote", true},
      {"protocol_type", 2},
      {"winstation", "KEV-Tcp#" + std::to_string(index + 1)},
      {"initial_program_hex", Hex(program)},
      {"client_name", p.computer},
      {"client_address", address},
      {"install_path", installPath},
      {"windows", nlohmann::ordered_json::array({{{"handle", 101}, {"title", "Book1"}, {"visible", true}, {"parent", 0}}})},
      {"events", {"startup", "logon", "startshell", "disconnect", "reconnect", "logoff"}},
  };
  return p;
}

RunningHost StartHost(const nlohmann::ordered_json& session, const std::filesystem::path& workDir) {
  static int counter = 0;
  RunningHost host;
  host.dir = workDir / ("host" + std::to_string(++counter));
  std::filesystem::create_directories(host.dir);
  const std::string sessionPath = (host.dir / "session.json").string();
  std::ofstream(sessionPath, std::ios::binary) << session.dump();
  const std::string outPath = (host.dir / "out.txt").string();
  const std::string errPath = (host.dir / "err.txt").string();
  std::fflush(nullptr);
  host.started = std::chrono::steady_clock::now();
  host.pid = fork();
  if (host.pid == 0) {
    if (!freopen(outPath.c_str(), "w", stdout) || !freopen(errPath.c_str(), "w", stderr)) _exit(127);
    std::vector<std::string> args = {QBNOTIFY_HOST_PATH, sessionPath, "--library", QBNOTIFY_LIBRARY_PATH, "--times"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return host;
}

namespace {

// The outcome of a host that has ended with `status` (-1: killed), from its output.
HostOutcome ReadOutcome(RunningHost& host, int status, bool killed, std::chrono::seconds limit) {
  HostOutcome outcome;
  if (killed) outcome.errors = "killed after " + std::to_string(limit.count()) + " s; ";
  else outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - host.started).count();
  host.pid = -1;
  std::ifstream out(host.dir / "out.txt");
  for (std::string line; std::getline(out, line);) {
    try {
      const nlohmann::json parsed = nlohmann::json::parse(line);
      const std::string type = parsed.value("type", "");
      if (type == "end_session") outcome.ended = true;
      if (type == "handler_time") outcome.slowestHandlerMs = std::max(outcome.slowestHandlerMs, parsed.value("ms", 0LL));
    } catch (const nlohmann::json::exception&) {
    }
  }
  outcome.errors += ReadFile(host.dir / "err.txt");
  return outcome;
}

}  // namespace

HostOutcome FinishHost(RunningHost& host, std::chrono::seconds limit) {
  if (host.pid <= 0) return HostOutcome{};
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  pid_t done = 0;
  while ((done = waitpid(host.pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (done == 0) {
    kill(host.pid, SIGKILL);
    waitpid(host.pid, &status, 0);
  }
  return ReadOutcome(host, status, done == 0, limit);
}

std::vector<HostOutcome> FinishHosts(std::vector<RunningHost>& hosts, std::chrono::seconds limit) {
  std::vector<HostOutcome> outcomes(hosts.size());
  std::vector<bool> done(hosts.size(), false);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (std::size_t left = hosts.size(); left > 0;) {
    for (std::size_t i = 0; i < hosts.size(); ++i) {
      if (done[i]) continue;
      int status = 0;
      const bool late = std::chrono::steady_clock::now() >= deadline;
      if (hosts[i].pid <= 0) {
        done[i] = true;
        --left;
        continue;
      }
      bool killed = false;
      if (waitpid(hosts[i].pid, &status, WNOHANG) == 0) {
        if (!late) continue;
        kill(hosts[i].pid, SIGKILL);
        waitpid(hosts[i].pid, &status, 0);
        killed = true;
      }
      outcomes[i] = ReadOutcome(hosts[i], status, killed, limit);
      done[i] = true;
      --left;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return outcomes;
}

std::string Describe(const std::multiset<std::pair<int, int>>& events) {
  std::string out = "{";
  for (const auto& [type, event] : events)
    out += (out.size() > 1 ? " (" : "(") + std::to_string(type) + "," + std::to_string(event) + ")";
  return out + "}";
}

namespace {

std::string Pad(const std::string& text, std::size_t width, bool left) {
  if (text.size() >= width) return text;
  const std::string fill(width - text.size(), ' ');
  return left ? text + fill : fill + text;
}

}  // namespace

void PrintTable(const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows)
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (widths.size() <= i) widths.push_back(0);
      widths[i] = std::max(widths[i], row[i].size());
    }
  for (std::size_t r = 0; r < rows.size(); ++r) {
    std::string line = " ";
    for (std::size_t i = 0; i < rows[r].size(); ++i) line += (i ? "  " : "") + Pad(rows[r][i], widths[i], i == 0);
    std::cout << line << '\n';
    if (r == 0) {
      std::size_t total = 0;
      for (std::size_t w : widths) total += w + 2;
      std::cout << ' ' << std::string(total - 2, '-') << '\n';
    }
  }
  std::cout << std::flush;
}

}  // namespace qbnotify::test
