// The fault suite: demo sessions played against a private server that misbehaves in one way
// per case, with the time each handler took, the session process's exit status, the rows
// written against those a healthy server receives, and the startup decision.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Rows.h"
#include "Server.h"
#include "Worker.h"
#include "policy/OfflineSnapshot.h"

namespace qbnotify::faults {

// Where a case's settings file points.
enum class Target { Server, Listener, RefusedPort };

// Which of the rows a healthy run writes a case must write.
enum class RowsRule {
  All,           // every one
  None,          // none can be written
  StepOptional,  // all but the faulty step's, which may be written or not
  AllOptional,   // any of them, each at most once
  EventsOnly,    // the event log's, none of the audit's
  AuditOnly,     // the audit's, none of the event log's
  OwnCheck,      // rows unlike the healthy run's (after an unchecked startup): the case
                 // counts them itself; only the counters are checked here
};

class Suite;

struct Fault {
  std::string name = {};
  std::vector<std::string> sessions = {};  // short names of demo sessions
  Target target = Target::Server;
  std::function<void(Suite&)> setUp = {};  // before the session
  int step = -1;                      // index of the handler that `before` and `after` surround
  std::function<void(Suite&)> before = {};
  std::function<void(Suite&)> after = {};  // after that handler
  RowsRule rows = RowsRule::All;
  bool unreachableAtStartup = false;  // the rules cannot be read: the session goes on unchecked
  double targetSeconds = 15;          // the most any handler may take
  double startupTargetSeconds = 15;
  std::size_t eventLimit = 0;         // play only the first N notifications (0: all)
  // While the database is away: the lines of an [Offline] section for this case's settings
  // file, a snapshot of the server's rows planted in the target's state directory before the
  // case (taken `snapshotHours` before the session's clock; negative: none), the decision
  // each session must get (instead of the healthy run's), and a check after the session.
  std::string offline = {};
  int snapshotHours = -1;
  std::map<std::string, std::string> decisions = {};
  std::function<void(Suite&, const std::string& session)> finish = {};
  bool plantedByOther = false;  // the state directory is then handed to another account
};

struct CaseResult {
  std::string fault;
  std::string session;
  std::vector<std::string> events;             // names of the notifications played
  std::vector<std::optional<HandlerRun>> runs;  // per notification; nullopt: not delivered
  int exitStatus = -1;
  long expectedRows = -1;  // -1: not counted (the session cannot reach the suite's server)
  long writtenRows = -1;
  std::string decision;
  std::vector<std::string> problems;
  std::size_t lateHandlers = 0;    // problems that are only a handler over its target
  std::vector<std::string> notes;  // shown, not counted
  bool Passed() const { return problems.empty(); }
};

class Suite {
 public:
  Suite(std::filesystem::path root, std::filesystem::path work, std::string libraryPath);
  ~Suite();
  Suite(const Suite&) = delete;
  Suite& operator=(const Suite&) = delete;

  // Starts the server and the stand-ins (listener, refused port), plays the healthy runs.
  void Prepare();
  // Runs the cases whose name holds `only` (all when empty) and prints the table. True when
  // every case passed.
  bool RunAll(const std::vector<Fault>& faults, const std::string& only);

  PrivateServer& Server() { return *server_; }
  // Writes the settings file of a target, with `offline` as its [Offline] section's lines.
  void WriteSettings(Target target, const std::string& offline);
  // Takes a snapshot of the server's rows and stores it in the target's state directory as
  // the library does, stamped `takenAt`.
  void PlantSnapshot(Target target, const DateTime& takenAt);
  // Takes the reset farm's snapshot once (it resets the farm on the suite's server first).
  void TakeFarmSnapshot();
  // Runs administrative SQL; a failure is thrown.
  void Sql(const std::string& sql);
  // The number of connections of the library's account.
  int LibraryConnections();
  // Ends the library's connections to one database with KILL; the number killed.
  int KillLibraryConnections(const std::string& database);

 private:
  struct Healthy {
    std::vector<std::vector<Row>> rowsByStep;
    std::vector<std::string> effectsByStep;
    std::string decision;
  };

  hosted::Session LoadSession(const std::string& shortName, Target target, std::vector<host::Event>& events) const;
  void ResetDatabase();
  std::vector<Row> ReadRows();
  CaseResult Play(const Fault& fault, const std::string& session, Healthy* record);
  // Plays a case; one that failed only by handlers over their target is played once more,
  // and the second play counts (the first one's times are kept as notes).
  CaseResult PlayOnceMore(const Fault& fault, const std::string& session);

  std::filesystem::path root_, work_;
  std::string libraryPath_;
  std::unique_ptr<PrivateServer> server_;
  int listenerSocket_ = -1;
  int listenerPort_ = 0;
  int refusedSocket_ = -1;
  int refusedPort_ = 0;
  std::map<std::string, Healthy> healthy_;
  std::shared_ptr<OfflineSnapshot> farmSnapshot_;  // the reset farm's rows, once taken
};

// The cases.
std::vector<Fault> FaultCases();

// The notifications by their order in host::Event.
inline constexpr const char* kStepNames[] = {"startup", "logon", "startshell", "disconnect", "reconnect", "logoff"};

// Targets: a handler on a stopped server, the library's connect time-out, a refused
// connection.
inline constexpr double kStoppedTarget = 15;
inline constexpr double kConnectTimeout = 15;  // cut to the handler's wait budget
inline constexpr double kRefusedTarget = 0.1;

// Takes INSERT (on the counters, the event log and the audit) or UPDATE (of the counter) from
// the role qbnotify_library, under which the library's account works.
std::string RevokeFromRole(const char* privilege);

// Decision texts.
inline constexpr const char* kAdmitted = "admitted";
inline constexpr const char* kRefused = "refused";
inline constexpr const char* kUnchecked = "unchecked";

// The startup decision that a startup step shows: refused when it ended the session,
// admitted when it told the client so, unchecked otherwise.
std::string DecisionOf(const HandlerRun& startup);

// The rows a case must write, from the healthy run's rows by step.
Expectation Expect(RowsRule rule, const std::vector<std::vector<Row>>& rowsByStep, int step);

}  // namespace qbnotify::faults
