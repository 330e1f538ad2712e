#include "tools/qbnotify-explain/Explain.h"

#include <cstdio>
#include <exception>
#include <sstream>
#include <stdexcept>

#include "environment/SessionQueries.h"
#include "environment/Switches.h"
#include "platform/PlatformWrapper.h"
#include "policy/Offline.h"
#include "policy/Startup.h"
#include "policy/SecurityPolicy.h"
#include "session/SessionContext.h"
#include "tools/common/ToolSupport.h"
#include "tools/qbnotify-explain/ExplainSteps.h"

namespace qbnotify::tools {
namespace {

using json = nlohmann::ordered_json;
using namespace explain;

// Makes the tool's sessions read-only (and sets their clock) as soon as they are open, and
// keeps the records instead of writing them: the plan lists them.
class ShowOnly final : public StartupEffects {
 public:
  explicit ShowOnly(std::string at) : at_(std::move(at)) {}
  void Connected(Instance& instance) override {
    MakeReadOnly(instance.connections);
    if (at_.empty()) return;
    try {
      FreezeServerClock(instance.connections, at_);
    } catch (const std::invalid_argument&) {
      badClock_ = std::current_exception();  // the command line's fault, not the farm's
      throw;
    }
  }
  void Record(const EventRecord&) override {}
  // A time the server cannot be set to is a usage error: raised again after the plan.
  void RaiseBadClock() const {
    if (badClock_) std::rethrow_exception(badClock_);
  }

 private:
  std::string at_;
  std::exception_ptr badClock_;
};

// The session's platform with every change of a file refused: whatever the startup's code
// would write (a note, the deny state, a directory made, moved aside or narrowed, a
// temporary file removed), the tool leaves the install path as it found it. Reads pass.
class ReadOnlyFiles final : public PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;
  FileResult MakePrivateDirectory(std::string_view) override { return FileResult::Failed; }
  FileResult WriteFileDurably(std::string_view, std::string_view, bool) override { return FileResult::Failed; }
  FileResult RenameWithoutReplacing(std::string_view, std::string_view) override { return FileResult::Failed; }
  FileResult FlushRenames(std::string_view) override { return FileResult::Ok; }
  FileResult RemoveFile(std::string_view) override { return FileResult::Failed; }
};

// Which connection failed, with the client library's or the server's own words: the plan
// says only that they did not open.
std::string ConnectionFailure(Connections& connections) {
  for (Connection* connection : {connections.DS.get(), connections.DC.get(), connections.Log.get()}) {
    if (!connection || connection->IsOpen()) continue;
    try {
      connection->Open();
      return connection->Name() + " opened only on a second try";
    } catch (const DatabaseError& error) {
      return connection->Name() + " (" + connection->user + "@" + connection->host + ":" +
             std::to_string(connection->port) + ", database " + connection->database + "): " + error.what();
    }
  }
  return "the settings cannot be read";
}

// Now; --at sets the server's local time at which the snapshot's rules are judged.
OfflineMoment ParseAt(const std::string& at, Platform& platform) {
  OfflineMoment moment = OfflineMomentNow(platform);
  if (at.empty()) return moment;
  DateTime t;
  std::sscanf(at.c_str(), "%d-%d-%d %d:%d:%d", &t.year, &t.month, &t.day, &t.hour, &t.minute, &t.second);
  moment.serverTime = t;
  return moment;
}

}  // namespace

ExplainResult Explain(ExplainRequest request) {
  ExplainResult result;
  json& report = result.report;
  hosted::HostedPlatform hosted(request.session);
  ReadOnlyFiles platform(hosted);
  Instance instance(platform);
  instance.connections.updateDenyState = false;  // the tool writes nothing
  // Every key in place first: references into an ordered object move when a key is added.
  report["session"] = json::object();
  report["steps"] = json::array();
  report["would_write"] = json::array();
  report["decision"] = nullptr;
  json& steps = report["steps"];
  json& would = report["would_write"];

  ShowOnly effects(request.at);
  StartupPlan plan;
  if (request.offline) {
    // The snapshot's decision, without opening a connection.
    plan.gate = DecideStartupGate(instance);
    plan.context = instance.context;
    if (plan.gate.Ours()) {
      OfflineSettings settings = ReadOfflineSettings(platform);
      if (settings.mode == OfflineMode::Open) settings.mode = OfflineMode::Cached;  // what the snapshot would give
      OfflineDecision decision =
          DecideOffline(instance, settings, ReadStoredSnapshot(platform).snapshot, ParseAt(request.at, platform));
      plan.records = decision.records;
      TakeOfflineDecision(plan, std::move(decision));
      plan.context = instance.context;
    }
  } else {
    plan = DecideStartup(instance, effects);
    effects.RaiseBadClock();
  }
  const SessionContext& context = plan.context;
  using Outcome = StartupPlan::Outcome;
  report["decision"] = Decision(plan);

  const std::string& program = context.InitialProgram;
  report["session"] = {{"user", Shown(FindSwitchValue(platform, program, "/U:"))},
                       {"application", Shown(FindSwitchValue(platform, program, "/N:"))},
                       {"client_name", Shown(context.ClientName)},
                       {"client_address", GetClientAddress(platform, kCurrentSession).address},
                       {"mac", Shown(FindSwitchValue(platform, program, "/M:"))},
                       {"winstation", Shown(context.WinStationName)},
                       {"initial_program", Shown(program)}};
  if (plan.outcome == Outcome::LeftAlone) {
    steps.push_back({{"check", "session gate"},
                     {"outcome", !plan.gate.remote ? "left alone: not a remote session"
                                                   : "left alone: protocol label '" + plan.gate.label +
                                                         "', not 'TAV KEV'"}});
    return result;
  }
  steps.push_back({{"check", "session gate"}, {"outcome", "passed: remote, protocol label 'TAV KEV'"}});

  if (plan.offline) {
    OfflineSteps(instance, *plan.offline, steps);
    for (const EventRecord& record : plan.records) would.push_back(Record(context, record));
    result.status = plan.outcome == Outcome::Admitted ? kExitGood : kExitProblem;
    return result;
  }
  json connect = {{"check", "connections"}};
  if (plan.outcome == Outcome::Unchecked) {
    connect["outcome"] = "failed: " + Shown(ConnectionFailure(instance.connections)) +
                         "; the library lets the session go on unchecked";
    steps.push_back(connect);
    return result;
  }
  const Connection& ds = *instance.connections.DS;
  connect["outcome"] = "opened DS " + Shown(ds.database) + ", DC " + Shown(instance.connections.DC->database) + ", Log " +
                       Shown(instance.connections.Log->database) + " on " + Shown(ds.ServerInUse()) + " as " +
                       Shown(ds.user) + " (this tool's sessions are read-only)";
  connect["server"] = Shown(ds.ServerInUse());
  if (ds.Server().Failover()) {
    json passed = json::array();
    for (const std::string& entry : ds.Server().passedOver) passed.push_back(Shown(entry));
    connect["servers_passed_over"] = passed;
  }
  if (!request.at.empty()) connect["server_clock"] = request.at + " (set for this tool's connections only)";
  steps.push_back(connect);
  const std::string stopped =
      plan.failure ? "failed: " + Shown(plan.failure->message) + "; the library stops here: nothing told, nothing ended"
                   : std::string();
  if (!plan.contextFilled) {
    steps.push_back({{"check", "session context"}, {"outcome", stopped}});
    return result;
  }
  steps.push_back({{"check", "session context"},
                   {"outcome", "AppId '" + Shown(context.AppId) + "', ClientMac '" + Shown(context.ClientMac) +
                                   "', UserId '" + Shown(context.UserId) + "', application '" +
                                   Shown(context.Audit.appshowname) + "'"}});

  const AdmissionReport& admission = plan.admission;
  if (admission.shell) {
    const ShellDecision& shell = *admission.shell;
    steps.push_back({{"check", "shell"},
                     {"outcome", shell.result == kAdmitted
                                     ? "passed: the session starts '" + Shown(shell.program) + "' (holds KEVSHELL)"
                                     : "refused: the session starts '" + Shown(shell.program) +
                                           "', whose name does not hold KEVSHELL"}});
  }
  if (admission.shell && admission.shell->result == kAdmitted) {
    steps.push_back(PolicyStep(instance, admission));
    if (admission.repeatLogin) steps.push_back(DuplicateStep(admission));
    if (admission.userLimit) steps.push_back(UserLimitStep(admission));
  }
  for (const EventRecord& record : plan.records) would.push_back(Record(context, record));

  if (plan.failure) {
    // The step that failed keeps what it decided before; its outcome says that it failed.
    steps.back()["outcome"] = stopped;
    return result;
  }
  result.status = plan.outcome == Outcome::Admitted ? kExitGood : kExitProblem;
  return result;
}

}  // namespace qbnotify::tools
