#include "Suite.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "environment/ConnectionSettings.h"
#include "policy/OfflineSnapshot.h"
#include "store/StateDirectory.h"
#include "tests/Tally.h"

namespace qbnotify::faults {
namespace {

// Beyond its target a handler gets this long before its session is killed.
constexpr double kGraceSeconds = 15;
// Waits bounded by the connect time-out may overrun it by the scheduling of the moment.
constexpr double kConnectTimeoutSlack = 1;

struct DemoSession {
  const char* shortName;
  const char* file;
  const char* decision;  // on a healthy server
};
constexpr DemoSession kDemoSessions[] = {
    {"bob", "03-bob-full-day.json", kAdmitted},
    {"alice-2nd", "07-alice-second-computer.json", kRefused},
    {"unknown-app", "06-unknown-app.json", kRefused},
    {"kiosk", "05-kiosk.json", kRefused},
};

const DemoSession& Demo(const std::string& shortName) {
  for (const DemoSession& demo : kDemoSessions)
    if (shortName == demo.shortName) return demo;
  throw ServerError("no demo session " + shortName);
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ServerError("cannot read " + path.string());
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string SettingsText(int port) {
  return "[DSConnection]\r\nDSHost=127.0.0.1:" + std::to_string(port) + "\r\nDSUID=" + EncodeSettingValue(kAccount) +
         "\r\nDSPSW=" + EncodeSettingValue(kPassword) + "\r\nDSDB=" + EncodeSettingValue(kDsDatabase) +
         "\r\n[DCConnection]\r\nDCDB=" + EncodeSettingValue(kDcDatabase) +
         "\r\n[LogConnection]\r\nLogDB=" + EncodeSettingValue(kLogDatabase) + "\r\n";
}

std::filesystem::path InstallDir(const std::filesystem::path& work, Target target) {
  switch (target) {
    case Target::Server: return work / "install-server";
    case Target::Listener: return work / "install-listener";
    case Target::RefusedPort: return work / "install-refused";
  }
  return work;
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, seconds < 10 ? "%.3f" : "%.1f", seconds);
  return text;
}

constexpr long kSeedNumber = 100;


// --- results as JSON, for the cases that run beside the others in a child process ---

nlohmann::json ToJson(const CaseResult& result) {
  nlohmann::json runs = nlohmann::json::array();
  for (const auto& run : result.runs) {
    if (!run) runs.push_back(nullptr);
    else runs.push_back({{"seconds", run->seconds}, {"completed", run->completed}, {"failure", run->failure},
                         {"ended", run->sessionEnded}, {"effects", run->effects}});
  }
  return {{"fault", result.fault},       {"session", result.session},   {"events", result.events},
          {"runs", runs},                {"exit", result.exitStatus},   {"expected", result.expectedRows},
          {"written", result.writtenRows}, {"decision", result.decision}, {"problems", result.problems},
          {"notes", result.notes}};
}

CaseResult FromJson(const nlohmann::json& json) {
  CaseResult result;
  result.fault = json.at("fault");
  result.session = json.at("session");
  result.events = json.at("events").get<std::vector<std::string>>();
  for (const auto& run : json.at("runs")) {
    if (run.is_null()) {
      result.runs.emplace_back();
      continue;
    }
    HandlerRun out;
    out.seconds = run.at("seconds");
    out.completed = run.at("completed");
    out.failure = run.at("failure");
    out.sessionEnded = run.at("ended");
    out.effects = run.at("effects");
    result.runs.emplace_back(out);
  }
  result.exitStatus = json.at("exit");
  result.expectedRows = json.at("expected");
  result.writtenRows = json.at("written");
  result.decision = json.at("decision");
  result.problems = json.at("problems").get<std::vector<std::string>>();
  result.notes = json.at("notes").get<std::vector<std::string>>();
  return result;
}

// --- the table ---

void PrintHeader() {
  std::printf("Each demo session is played one handler at a time; the fault acts before the handler named\n"
              "(and a stopped server goes on after it). Handler times in seconds. Targets: a handler on a\n"
              "stopped server, on one that must be connected to, or on a listener that never accepts, %.0f s\n"
              "(a handler's wait budget), on a refused port %.1f s, otherwise %.0f s; %.0f s past its target a\n"
              "handler is KILLED with its session. Rows: expected (must be there) / written.\n\n",
              kConnectTimeout, kRefusedTarget, kStoppedTarget, kGraceSeconds);
  std::printf("%-47s %-11s", "fault", "session");
  for (const char* step : kStepNames) std::printf(" %10s", step);
  std::printf(" %4s %9s %-10s %s\n", "exit", "rows", "decision", "result");
}

void PrintRow(const CaseResult& result) {
  std::printf("%-47s %-11s", result.fault.c_str(), result.session.c_str());
  for (const char* step : kStepNames) {
    std::string cell = "-";
    for (std::size_t i = 0; i < result.events.size() && i < result.runs.size(); ++i) {
      if (result.events[i] != step || !result.runs[i]) continue;
      cell = (result.runs[i]->completed ? "" : "KILLED ") + Seconds(result.runs[i]->seconds);
    }
    std::printf(" %10s", cell.c_str());
  }
  const std::string rows = result.expectedRows < 0 ? "0/-"
                                                   : std::to_string(result.expectedRows) + "/" +
                                                         std::to_string(result.writtenRows);
  std::printf(" %4d %9s %-10s %s\n", result.exitStatus, rows.c_str(), result.decision.c_str(),
              result.Passed() ? "ok" : "FAILED");
}

}  // namespace

std::string RevokeFromRole(const char* privilege) {
  const std::string verb = privilege;
  if (verb == "UPDATE") return std::string("REVOKE UPDATE (ID) ON ") + kDsDatabase + ".GloabolInc FROM qbnotify_library;";
  return "REVOKE " + verb + " (Head, ID, Inc, Remark) ON " + kDsDatabase + ".GloabolInc FROM qbnotify_library;REVOKE " +
         verb + " ON " + kLogDatabase + ".log FROM qbnotify_library;REVOKE " + verb + " ON " + kLogDatabase +
         ".appshenji FROM qbnotify_library;";
}

std::string DecisionOf(const HandlerRun& startup) {
  if (!startup.completed) return "none";
  if (startup.sessionEnded) return kRefused;
  if (startup.effects.find("msg 1000/0") != std::string::npos) return kAdmitted;
  return kUnchecked;
}

Expectation Expect(RowsRule rule, const std::vector<std::vector<Row>>& rowsByStep, int step) {
  Expectation expectation;
  for (std::size_t i = 0; i < rowsByStep.size(); ++i) {
    for (const Row& row : rowsByStep[i]) {
      switch (rule) {
        case RowsRule::All: expectation.required.push_back(row); break;
        case RowsRule::None:
        case RowsRule::OwnCheck: break;
        case RowsRule::StepOptional:
          (static_cast<int>(i) == step ? expectation.optional : expectation.required).push_back(row);
          break;
        case RowsRule::AllOptional: expectation.optional.push_back(row); break;
        case RowsRule::EventsOnly:
          if (row.table == "log") expectation.required.push_back(row);
          break;
        case RowsRule::AuditOnly:
          if (row.table == "appshenji") expectation.required.push_back(row);
          break;
      }
    }
  }
  return expectation;
}

Suite::Suite(std::filesystem::path root, std::filesystem::path work, std::string libraryPath)
    : root_(std::move(root)), work_(std::move(work)), libraryPath_(std::move(libraryPath)) {}

Suite::~Suite() {
  if (listenerSocket_ >= 0) close(listenerSocket_);
  if (refusedSocket_ >= 0) close(refusedSocket_);
}

void Suite::Sql(const std::string& sql) {
  Admin admin(*server_);
  admin.Exec(sql);
}

int Suite::LibraryConnections() {
  Admin admin(*server_);
  return static_cast<int>(admin.Rows(std::string("SELECT ID FROM information_schema.PROCESSLIST WHERE USER = '") +
                                     kAccount + "'").size());
}

int Suite::KillLibraryConnections(const std::string& database) {
  Admin admin(*server_);
  int killed = 0;
  for (const auto& row : admin.Rows(std::string("SELECT ID FROM information_schema.PROCESSLIST WHERE USER = '") +
                                    kAccount + "' AND DB = '" + database + "'")) {
    try {
      admin.Exec("KILL " + row.at(0));
      ++killed;
    } catch (const ServerError& error) {
      // Listed a moment ago and ended since (an earlier session's process closing it).
      if (std::string(error.what()).find("Unknown thread id") == std::string::npos) throw;
    }
  }
  return killed;
}

void Suite::Prepare() {
  server_ = std::make_unique<PrivateServer>(work_ / "server", root_ / "db");
  server_->Create();

  // A socket that listens and never accepts: a connection completes its handshake in the
  // kernel's backlog and then never receives the server's greeting.
  listenerSocket_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(listenerSocket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listenerSocket_, 128) != 0 ||
      getsockname(listenerSocket_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw ServerError("cannot open the listener that never accepts");
  listenerPort_ = ntohs(address.sin_port);

  // A port held by a socket that is bound and never listens: every connection is refused,
  // and no other program can take the port meanwhile.
  refusedSocket_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  address.sin_port = 0;
  length = sizeof address;
  if (bind(refusedSocket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(refusedSocket_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw ServerError("cannot hold a port that refuses connections");
  refusedPort_ = ntohs(address.sin_port);

  for (const Target target : {Target::Server, Target::Listener, Target::RefusedPort}) WriteSettings(target, "");
}

void Suite::WriteSettings(Target target, const std::string& offline) {
  const int port = target == Target::Server ? server_->Port() : target == Target::Listener ? listenerPort_ : refusedPort_;
  const std::filesystem::path config = InstallDir(work_, target) / "Data" / "CONFIG";
  std::filesystem::create_directories(config);
  std::ofstream(config / "TavDbCnn.dat", std::ios::binary | std::ios::trunc)
      << SettingsText(port) << (offline.empty() ? "" : "[Offline]\r\n" + offline);
}

void Suite::TakeFarmSnapshot() {
  // Every case starts from the same farm (ResetDatabase), so one snapshot of it serves them
  // all; it is taken just after the farm was reset.
  if (farmSnapshot_) return;
  ResetDatabase();
  hosted::Session description;
  description.registry[kProductKey][kInstallPathValue] =
      RegistryValue{RegistryStatus::Text, InstallDir(work_, Target::Server).string()};
  hosted::HostedPlatform platform(description);
  Instance instance(platform);
  instance.connections.DS = std::make_unique<Connection>("DS");
  Connection& ds = *instance.connections.DS;
  ds.host = "127.0.0.1";
  ds.port = server_->Port();
  ds.user = kAccount;
  ds.password = kPassword;
  ds.database = kDsDatabase;
  farmSnapshot_ = std::make_shared<OfflineSnapshot>(TakeSnapshot(instance));
}

void Suite::PlantSnapshot(Target target, const DateTime& takenAt) {
  hosted::Session description;
  description.registry[kProductKey][kInstallPathValue] =
      RegistryValue{RegistryStatus::Text, InstallDir(work_, target).string()};
  hosted::HostedPlatform platform(description);
  TakeFarmSnapshot();
  OfflineSnapshot snapshot = *farmSnapshot_;
  snapshot.serverTime = takenAt;  // the server's clock and this machine's UTC read alike
  snapshot.serverUtc = takenAt;
  snapshot.takenUtc = takenAt;
  snapshot.farm = CurrentFarm(platform);  // of the farm the target's settings name
  std::optional<StateDirectory> state = StateDirectory::Locate(platform);
  if (!state || !state->Write(kSnapshotStateName, EncodeSnapshot(snapshot), kMaxSnapshotBytes))
    throw ServerError("cannot plant the snapshot");
}

hosted::Session Suite::LoadSession(const std::string& shortName, Target target, std::vector<host::Event>& events) const {
  std::string text = ReadFile(root_ / "demo" / "sessions" / Demo(shortName).file);
  const std::string marker = "@INSTALL_PATH@";
  for (std::size_t at; (at = text.find(marker)) != std::string::npos;)
    text.replace(at, marker.size(), InstallDir(work_, target).string());
  host::SessionFile file = host::ParseSessionFile(text);
  // A fixed clock makes the rows' times the same in every run.
  if (!file.session.clock) file.session.clock = DateTime{2026, 12, 7, 10, 0, 0};
  events = file.events;
  return file.session;
}

void Suite::ResetDatabase() {
  Admin admin(*server_);
  for (const auto& row : admin.Rows(std::string("SELECT ID FROM information_schema.PROCESSLIST WHERE USER = '") +
                                    kAccount + "'")) {
    try {
      admin.Exec("KILL " + row.at(0));
    } catch (const ServerError&) {
      // It ended meanwhile.
    }
  }
  admin.Exec(std::string("SET GLOBAL read_only = 0; SET GLOBAL wait_timeout = DEFAULT; SET GLOBAL lock_wait_timeout = "
             "DEFAULT; ALTER USER '") + kAccount + "'@'127.0.0.1' WITH MAX_STATEMENT_TIME 0;"
             "DROP TRIGGER IF EXISTS qblog.fault_log_insert;"
             "DROP TRIGGER IF EXISTS qblog.fault_audit_insert;" +
             server_->RoleStatements() +
             "TRUNCATE TABLE qblog.log; TRUNCATE TABLE qblog.appshenji;"
             "DELETE FROM qbds.GloabolInc;"
             "INSERT INTO qbds.GloabolInc (Head, ID, Inc, Remark) VALUES ('Log', 'Log00000" +
             std::to_string(kSeedNumber) + "', 1, NULL), ('lap', 'lap00000" + std::to_string(kSeedNumber) +
             "', 1, NULL)");
}

std::vector<Row> Suite::ReadRows() {
  Admin admin(*server_, kLogDatabase);
  std::vector<Row> rows;
  for (auto& values : admin.Rows("SELECT ID, Time, TypeID, SourceID, UserID, AppID, ComputerName, EventID, Parameter1, "
                                 "Parameter2 FROM log ORDER BY ID")) {
    Row row{"log", values.front(), {values.begin() + 1, values.end()}};
    rows.push_back(std::move(row));
  }
  for (auto& values : admin.Rows("SELECT logid, sessionid, farmuser, appid, appshowname, clientmac, starttime, "
                                 "stoptime FROM appshenji ORDER BY logid")) {
    Row row{"appshenji", values.front(), {values.begin() + 1, values.end()}};
    rows.push_back(std::move(row));
  }
  return rows;
}

CaseResult Suite::Play(const Fault& fault, const std::string& session, Healthy* record) {
  CaseResult result;
  result.fault = fault.name;
  result.session = session;
  const bool onServer = fault.target == Target::Server;
  std::vector<host::Event> events;
  hosted::Session description = LoadSession(session, fault.target, events);
  if (fault.eventLimit > 0 && events.size() > fault.eventLimit) events.resize(fault.eventLimit);

  std::set<std::pair<std::string, std::string>> seen;
  try {
    // Each case starts with an empty local spool: rows kept by an earlier case hold
    // identifiers of a counter that ResetDatabase has set back.
    std::filesystem::remove_all(InstallDir(work_, fault.target) / "Data" / "Spool");
    std::filesystem::remove_all(InstallDir(work_, fault.target) / "Data" / "State");
    if (onServer) ResetDatabase();
    WriteSettings(fault.target, fault.offline);
    if (fault.snapshotHours >= 0) {
      DateTime takenAt = *description.clock;  // the sessions' clock is fixed, early in a month
      for (int hours = fault.snapshotHours; hours > 0; --hours) {
        if (takenAt.hour > 0) {
          --takenAt.hour;
        } else {
          takenAt.hour = 23;
          --takenAt.day;
        }
      }
      PlantSnapshot(fault.target, takenAt);
      const std::filesystem::path state = InstallDir(work_, fault.target) / "Data" / "State";
      if (fault.plantedByOther && std::system(("chown -R nobody '" + state.string() + "'").c_str()) != 0)
        throw ServerError("cannot hand the state directory to another account");
    }
    if (fault.setUp) fault.setUp(*this);
    SessionWorker worker(libraryPath_, std::move(description));
    for (std::size_t i = 0; i < events.size(); ++i) {
      const bool faulty = static_cast<int>(i) == fault.step;
      const double target = i == 0 ? fault.startupTargetSeconds : fault.targetSeconds;
      if (faulty && fault.before) fault.before(*this);
      std::optional<HandlerRun> run = worker.Run(events[i], target + kGraceSeconds);
      if (faulty && fault.after) fault.after(*this);
      if (!run) break;  // the session has ended
      const std::string name = kStepNames[static_cast<int>(events[i])];
      result.events.push_back(name);
      result.runs.push_back(run);
      if (!run->completed) {
        result.problems.push_back(name + ": " + run->failure);
        break;
      }
      const double allowed = target + (target >= kConnectTimeout ? kConnectTimeoutSlack : 0);
      if (run->seconds > allowed) {
        result.problems.push_back(name + " took " + Seconds(run->seconds) + " s, more than the target " +
                                  Seconds(target) + " s");
        ++result.lateHandlers;
      }
      if (record) {
        std::vector<Row> fresh;
        for (Row& row : ReadRows())
          if (seen.insert({row.table, row.id}).second) fresh.push_back(std::move(row));
        record->rowsByStep.push_back(std::move(fresh));
        record->effectsByStep.push_back(run->effects);
      }
    }
    result.exitStatus = worker.Finish();
    if (fault.finish) fault.finish(*this, session);
  } catch (const std::exception& error) {
    result.problems.push_back(std::string("the suite could not act: ") + error.what());
  }
  if (onServer) {
    server_->Resume();
    try {
      if (!server_->Running()) server_->Start();
    } catch (const std::exception& error) {
      result.problems.push_back(std::string("the server did not start again: ") + error.what());
    }
  }

  if (result.exitStatus != 0) result.problems.push_back("the session process ended with status " + std::to_string(result.exitStatus));

  // The decision, and what the client was told at each later step.
  const Healthy* healthy = record ? nullptr : &healthy_.at(session);
  const auto given = fault.decisions.find(session);
  const std::string expectedDecision = given != fault.decisions.end() ? given->second
                                       : fault.unreachableAtStartup   ? kUnchecked
                                       : healthy                      ? healthy->decision
                                                                      : Demo(session).decision;
  result.decision = result.runs.empty() || !result.runs[0] ? "none" : DecisionOf(*result.runs[0]);
  if (result.decision != expectedDecision)
    result.problems.push_back("decision " + result.decision + ", expected " + expectedDecision);
  if (healthy) {
    for (std::size_t i = 1; i < result.runs.size(); ++i) {
      if (!result.runs[i] || !result.runs[i]->completed || i >= healthy->effectsByStep.size()) continue;
      if (result.runs[i]->effects != healthy->effectsByStep[i])
        result.problems.push_back(result.events[i] + ": the client saw [" + result.runs[i]->effects + "], expected [" +
                                  healthy->effectsByStep[i] + "]");
    }
  }

  if (onServer) {
    try {
      std::vector<std::vector<Row>> byStep;
      if (record) byStep = record->rowsByStep;
      else byStep = healthy->rowsByStep;
      const std::vector<Row> found = ReadRows();
      const RowCheck check = CheckRows(found, Expect(fault.rows, byStep, fault.step), kSeedNumber);
      // A counter that went back (a draw lost in a restart) would hand out a number again later.
      Admin admin(*server_, kDsDatabase);
      for (const auto& counter : admin.Rows("SELECT Head, ID FROM GloabolInc")) {
        for (const Row& row : found)
          if (HeadOf(row.table) == counter.at(0) && row.id > counter.at(1))
            result.problems.push_back("counter " + counter.at(0) + " stands at " + counter.at(1) + ", below " + row.id);
      }
      result.expectedRows = static_cast<long>(check.expected);
      result.writtenRows = static_cast<long>(check.written);
      if (fault.rows != RowsRule::OwnCheck)
        result.problems.insert(result.problems.end(), check.problems.begin(), check.problems.end());
    } catch (const std::exception& error) {
      result.problems.push_back(std::string("cannot read the rows: ") + error.what());
    }
  }
  if (record) record->decision = result.decision;
  return result;
}

CaseResult Suite::PlayOnceMore(const Fault& fault, const std::string& session) {
  CaseResult first = Play(fault, session, nullptr);
  if (first.Passed() || first.lateHandlers != first.problems.size()) return first;
  // Only late: a machine busy with other work can hold a process for a moment. A wait of the
  // library's own comes back in the second play; a moment's load seldom does.
  CaseResult second = Play(fault, session, nullptr);
  second.fault += " (2nd play)";
  for (const std::string& problem : first.problems) second.notes.push_back("1st play: " + problem);
  return second;
}

bool Suite::RunAll(const std::vector<Fault>& faults, const std::string& only) {
  const auto suiteStart = std::chrono::steady_clock::now();
  std::vector<CaseResult> results;
  PrintHeader();
  std::fflush(stdout);

  // The healthy runs: what each session writes and is told when nothing goes wrong.
  for (const DemoSession& demo : kDemoSessions) {
    Healthy healthy;
    results.push_back(Play(Fault{.name = "none (healthy server)"}, demo.shortName, &healthy));
    healthy_[demo.shortName] = std::move(healthy);
    PrintRow(results.back());
    std::fflush(stdout);
  }

  // Cases that never reach the suite's server run beside the others, in a child process:
  // they spend their time waiting for connect time-outs.
  std::vector<std::pair<const Fault*, std::string>> onServer, offServer;
  double offServerLimit = 30;
  for (const Fault& fault : faults) {
    if (!only.empty() && fault.name.find(only) == std::string::npos) continue;
    for (const std::string& session : fault.sessions) {
      if (fault.target == Target::Server) {
        onServer.emplace_back(&fault, session);
      } else {
        offServer.emplace_back(&fault, session);
        offServerLimit += fault.startupTargetSeconds + 6 * (fault.targetSeconds + kGraceSeconds) + kGraceSeconds;
      }
    }
  }
  // Taking the farm's snapshot resets the farm on the suite's server: it is done here, before
  // the off-server cases start beside the others, never in the middle of a case on the server.
  if (std::any_of(offServer.begin(), offServer.end(), [](const auto& entry) { return entry.first->snapshotHours >= 0; }))
    TakeFarmSnapshot();
  const std::filesystem::path offServerFile = work_ / "off-server-results.json";
  std::fflush(nullptr);
  const pid_t offServerChild = offServer.empty() ? -1 : fork();
  if (offServerChild == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    nlohmann::json out = nlohmann::json::array();
    for (const auto& [fault, session] : offServer) out.push_back(ToJson(PlayOnceMore(*fault, session)));
    std::ofstream(offServerFile) << out.dump();
    _exit(0);
  }

  for (const auto& [fault, session] : onServer) {
    results.push_back(PlayOnceMore(*fault, session));
    PrintRow(results.back());
    std::fflush(stdout);
  }

  if (offServerChild > 0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(offServerLimit);
    int status = 0;
    bool done = false;
    while (!done && std::chrono::steady_clock::now() < deadline) {
      done = waitpid(offServerChild, &status, WNOHANG) == offServerChild;
      if (!done) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!done) {
      kill(offServerChild, SIGKILL);
      waitpid(offServerChild, &status, 0);
    }
    try {
      for (const auto& json : nlohmann::json::parse(ReadFile(offServerFile))) {
        results.push_back(FromJson(json));
        PrintRow(results.back());
      }
    } catch (const std::exception& error) {
      CaseResult lost;
      lost.fault = "cases without the suite's server";
      lost.problems.push_back(std::string("their results were lost: ") + error.what());
      results.push_back(lost);
      PrintRow(lost);
    }
  }

  for (const CaseResult& result : results) {
    if (!result.Passed() || result.notes.empty()) continue;
    std::printf("\n%s, %s:\n", result.fault.c_str(), result.session.c_str());
    for (const std::string& note : result.notes) std::printf("    %s\n", note.c_str());
  }
  check::Tally tally("faults");
  bool header = false;
  for (const CaseResult& result : results) {
    if (tally.Count(result.Passed())) continue;
    if (!header) std::printf("\nfailures:\n");
    header = true;
    // One line per problem that starts "FAILED", so a summary that keeps only such lines
    // still says which case failed and why.
    for (const std::string& note : result.notes)
      std::printf("FAILED: %s, %s: (%s)\n", result.fault.c_str(), result.session.c_str(), note.c_str());
    for (const std::string& problem : result.problems)
      std::printf("FAILED: %s, %s: %s\n", result.fault.c_str(), result.session.c_str(), problem.c_str());
  }
  std::printf("\nsuite time %.0f s\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - suiteStart).count());
  return tally.Finish() == 0;
}

}  // namespace qbnotify::faults
