#include "Suite.h"

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "store/Database.h"

namespace qbnotify::faults {
namespace {

// Stops the server while the handler under test waits for its second row: each row the Log
// connection writes sleeps in a trigger, the first 7 s (part of the handler's budget spent on
// a server that answers), every later one 3 s, and the server is stopped (SIGSTOP) as soon as
// a statement that began after the first one shows sleeping in the process list. Without a
// second statement nothing is stopped.
class MidHandlerStall {
 public:
  ~MidHandlerStall() { Join(); }

  void Begin(Suite& suite) {
    const std::string body =
        " FOR EACH ROW BEGIN IF @fault_slept IS NULL THEN SET @fault_slept = 1; DO SLEEP(7); ELSE DO SLEEP(3); "
        "END IF; END";
    suite.Sql("CREATE TRIGGER qblog.fault_log_insert BEFORE INSERT ON qblog.log" + body);
    suite.Sql("CREATE TRIGGER qblog.fault_audit_insert BEFORE INSERT ON qblog.appshenji" + body);
    stopped_ = false;
    thread_ = std::thread([this, &suite] { Watch(suite); });
  }

  // After the handler: the server goes on, the triggers go.
  void End(Suite& suite) {
    Join();
    suite.Server().Resume();
    suite.Sql("DROP TRIGGER IF EXISTS qblog.fault_log_insert; DROP TRIGGER IF EXISTS qblog.fault_audit_insert");
    if (!stopped_) throw ServerError("the handler sent no second row: the server was never stopped");
  }

 private:
  // A sleep whose time is shorter than the last one seen began after it: the next row.
  void Watch(Suite& suite) {
    Admin admin(suite.Server());
    // A trigger's statements show under its definer, each with its own time.
    const std::string query =
        "SELECT TIME_MS FROM information_schema.PROCESSLIST WHERE STATE = 'User sleep' AND INFO LIKE 'DO SLEEP(%'";
    double last = -1;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(25);
    while (std::chrono::steady_clock::now() < end) {
      const auto rows = admin.Rows(query);
      if (!rows.empty()) {
        const double time = std::stod(rows.at(0).at(0));
        if (last >= 0 && time < last) {
          suite.Server().Pause();
          stopped_ = true;
          return;
        }
        last = time;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

  std::thread thread_;
  bool stopped_ = false;
};

}  // namespace

std::vector<Fault> FaultCases() {
  std::vector<Fault> cases;
  const auto pause = [](Suite& suite) { suite.Server().Pause(); };
  const auto resume = [](Suite& suite) { suite.Server().Resume(); };

  // A stopped server accepts connections in the kernel and never greets them: a handler
  // that has to connect waits the connect time-out. The session goes on unchecked, without
  // the second stage of its context, so the rows of its later handlers carry no user or
  // application and differ from the healthy run's.
  cases.push_back(Fault{.name = "server SIGSTOP before startup, SIGCONT after",
                        .sessions = {"bob"},
                        .step = 0,
                        .before = pause,
                        .after = resume,
                        .rows = RowsRule::OwnCheck,
                        .unreachableAtStartup = true,
                        .startupTargetSeconds = kConnectTimeout});
  // The rows of the handler that found the server stopped wait in the local spool and are
  // written back by the next handler; after the last one (logoff) they are still waiting.
  for (int step = 1; step < 6; ++step)
    cases.push_back(Fault{.name = std::string("server SIGSTOP before ") + kStepNames[step] + ", SIGCONT after",
                          .sessions = {"bob"},
                          .step = step,
                          .before = pause,
                          .after = resume,
                          .rows = step < 5 ? RowsRule::All : RowsRule::StepOptional});
  for (int step = 1; step < 6; ++step)
    cases.push_back(Fault{.name = std::string("server kill -9, restarted before ") + kStepNames[step],
                          .sessions = {"bob"},
                          .step = step,
                          .before =
                              [](Suite& suite) {
                                suite.Server().Kill();
                                suite.Server().Start();
                              },
                          .rows = RowsRule::All});
  const auto killConnection = [](const char* database) {
    return [database](Suite& suite) {
      if (suite.KillLibraryConnections(database) == 0)
        throw ServerError(std::string("the library has no connection to ") + database + " to kill");
    };
  };
  cases.push_back(Fault{.name = "DS connection KILLed before logon",
                        .sessions = {"bob"},
                        .step = 1,
                        .before = killConnection(kDsDatabase),
                        .rows = RowsRule::All});
  cases.push_back(Fault{.name = "Log connection KILLed before disconnect",
                        .sessions = {"bob"},
                        .step = 3,
                        .before = killConnection(kLogDatabase),
                        .rows = RowsRule::All});

  // The server ends connections idle for a second, as a firewall or an idle time-out does.
  cases.push_back(Fault{.name = "idle connections closed by the server",
                        .sessions = {"bob"},
                        .setUp = [](Suite& suite) { suite.Sql("SET GLOBAL wait_timeout = 1"); },
                        .step = 3,
                        .before =
                            [](Suite& suite) {
                              std::this_thread::sleep_for(std::chrono::milliseconds(2500));
                              if (suite.LibraryConnections() != 0)
                                throw ServerError("the server kept the library's idle connections");
                            },
                        .rows = RowsRule::All});

  const std::vector<std::string> all = {"bob", "alice-2nd", "unknown-app"};
  cases.push_back(Fault{.name = "server read-only",
                        .sessions = all,
                        .setUp = [](Suite& suite) { suite.Sql("SET GLOBAL read_only = 1"); },
                        .rows = RowsRule::None});
  cases.push_back(Fault{.name = "read-only during disconnect, then writable",
                        .sessions = {"bob"},
                        .step = 3,
                        .before = [](Suite& suite) { suite.Sql("SET GLOBAL read_only = 1"); },
                        .after = [](Suite& suite) { suite.Sql("SET GLOBAL read_only = 0"); },
                        .rows = RowsRule::All});
  cases.push_back(Fault{.name = "INSERT revoked",
                        .sessions = all,
                        .setUp = [](Suite& suite) { suite.Sql(RevokeFromRole("INSERT")); },
                        .rows = RowsRule::None});
  cases.push_back(Fault{.name = "UPDATE revoked",
                        .sessions = all,
                        .setUp = [](Suite& suite) { suite.Sql(RevokeFromRole("UPDATE")); },
                        .rows = RowsRule::None});
  cases.push_back(Fault{.name = "trigger fails every event log insert",
                        .sessions = all,
                        .setUp =
                            [](Suite& suite) {
                              suite.Sql("CREATE TRIGGER qblog.fault_log_insert BEFORE INSERT ON qblog.log FOR EACH ROW "
                                        "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'the event log takes no rows'");
                            },
                        .rows = RowsRule::AuditOnly});
  cases.push_back(Fault{.name = "trigger fails every audit insert",
                        .sessions = all,
                        .setUp =
                            [](Suite& suite) {
                              suite.Sql("CREATE TRIGGER qblog.fault_audit_insert BEFORE INSERT ON qblog.appshenji FOR "
                                        "EACH ROW SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'the audit takes no rows'");
                            },
                        .rows = RowsRule::EventsOnly});

  // Each handler connects anew and waits the whole connect time-out: two are enough to show
  // startup's wait and a later handler's.
  cases.push_back(Fault{.name = "listener that never accepts",
                        .sessions = {"bob"},
                        .target = Target::Listener,
                        .rows = RowsRule::None,
                        .unreachableAtStartup = true,
                        .targetSeconds = kConnectTimeout,
                        .startupTargetSeconds = kConnectTimeout,
                        .eventLimit = 2});
  cases.push_back(Fault{.name = "refused port",
                        .sessions = {"bob"},
                        .target = Target::RefusedPort,
                        .rows = RowsRule::None,
                        .unreachableAtStartup = true,
                        .targetSeconds = kRefusedTarget,
                        .startupTargetSeconds = kRefusedTarget});
  // A cluster node that answers "not ready" (1047) to every statement, as one cut off from
  // its cluster's majority does, from startup to the reconnect: every handler gives it up
  // within its wait budget and keeps its rows; the node is ready again for logoff, which
  // writes them all back.
  const auto restart = [](bool clusterNode) {
    return [clusterNode](Suite& suite) {
      suite.Server().Stop();
      suite.Server().SetClusterNode(clusterNode);
      suite.Server().Start();
    };
  };
  cases.push_back(Fault{.name = "cluster node answering 1047 to everything until logoff",
                        .sessions = {"bob"},
                        .setUp =
                            [restart](Suite& suite) {
                              restart(true)(suite);
                              suite.Sql("SET GLOBAL wsrep_reject_queries = ALL");
                            },
                        .step = 5,
                        .before = [](Suite& suite) { suite.Sql("SET GLOBAL wsrep_reject_queries = NONE"); },
                        .after =
                            [restart](Suite& suite) {
                              // The startup went on unchecked, without its records; the
                              // event and audit row of logon, disconnect, reconnect and
                              // logoff were all kept and are written now.
                              Admin admin(suite.Server(), kLogDatabase);
                              const auto counts = admin.Rows(
                                  "SELECT (SELECT COUNT(*) FROM log WHERE ID > 'Log00000100'), "
                                  "(SELECT COUNT(*) FROM appshenji WHERE logid > 'lap00000100')");
                              restart(false)(suite);
                              if (counts.at(0) != std::vector<std::string>{"4", "4"})
                                throw ServerError("rows after logoff: " + counts.at(0).at(0) + " events, " +
                                                  counts.at(0).at(1) + " audit rows; 4 and 4 were kept");
                            },
                        .rows = RowsRule::OwnCheck,
                        .unreachableAtStartup = true,
                        .targetSeconds = kStoppedTarget,
                        .startupTargetSeconds = kStoppedTarget});

  // While the database is away, [Offline] decides. Under cached a snapshot of the farm's rows
  // taken an hour before decides as the server would: bob (an office PC on the LAN) is
  // admitted, the kiosk (refused by the policy's catch-all rule) and the unknown application
  // are refused. Under closed every session the policy would check is refused.
  const std::vector<std::string> offlineSessions = {"bob", "kiosk", "unknown-app"};
  const std::map<std::string, std::string> byRules = {{"bob", kAdmitted}, {"kiosk", kRefused}, {"unknown-app", kRefused}};
  const std::map<std::string, std::string> allRefused = {{"bob", kRefused}, {"kiosk", kRefused}, {"unknown-app", kRefused}};
  const std::string cached = "Admission=cached\r\n";
  const std::string closed = "Admission=closed\r\n";
  // The records of an offline startup wait in the spool with their mark; the next handler
  // that reaches the server writes them back, once.
  const auto offlineRowsOnce = [](const char* mark, const char* expected) {
    return [mark, expected](Suite& suite, const std::string& session) {
      if (session != "bob") return;
      Admin admin(suite.Server(), kLogDatabase);
      const auto rows = admin.Rows(std::string("SELECT COUNT(*), COUNT(DISTINCT TypeID, EventID, Parameter1) FROM log "
                                               "WHERE Parameter2 LIKE '") + mark + "%'");
      if (rows.at(0).at(0) != expected || rows.at(0).at(1) != expected)
        throw ServerError("offline records written back: " + rows.at(0).at(0) + " (" + rows.at(0).at(1) +
                          " distinct), expected " + expected);
    };
  };
  for (const auto& [mode, decisions] : {std::pair{cached, byRules}, std::pair{closed, allRefused}}) {
    const std::string name = mode == cached ? "offline cached: " : "offline closed: ";
    cases.push_back(Fault{.name = name + "refused port",
                          .sessions = offlineSessions,
                          .target = Target::RefusedPort,
                          .rows = RowsRule::None,
                          .targetSeconds = kRefusedTarget,
                          .startupTargetSeconds = kRefusedTarget,
                          .offline = mode,
                          .snapshotHours = 1,
                          .decisions = decisions});
    cases.push_back(Fault{.name = name + "server SIGSTOP before startup, SIGCONT after",
                          .sessions = {"bob", "kiosk"},
                          .step = 0,
                          .before = pause,
                          .after = resume,
                          .rows = RowsRule::OwnCheck,
                          .startupTargetSeconds = kConnectTimeout,
                          .offline = mode,
                          .snapshotHours = 1,
                          .decisions = decisions,
                          .finish = offlineRowsOnce(mode == cached ? "offline cached" : "offline closed",
                                                    mode == cached ? "2" : "0")});
  }
  cases.push_back(Fault{.name = "offline cached: listener that never accepts",
                        .sessions = {"bob", "kiosk"},
                        .target = Target::Listener,
                        .rows = RowsRule::None,
                        .targetSeconds = kConnectTimeout,
                        .startupTargetSeconds = kConnectTimeout,
                        .eventLimit = 1,
                        .offline = cached,
                        .snapshotHours = 1,
                        .decisions = byRules});
  cases.push_back(Fault{.name = "offline cached: cluster node answering 1047 to everything",
                        .sessions = {"bob", "kiosk"},
                        .setUp =
                            [restart](Suite& suite) {
                              restart(true)(suite);
                              suite.Sql("SET GLOBAL wsrep_reject_queries = ALL");
                            },
                        .rows = RowsRule::OwnCheck,
                        .targetSeconds = kStoppedTarget,
                        .startupTargetSeconds = kStoppedTarget,
                        .eventLimit = 1,
                        .offline = cached,
                        .snapshotHours = 1,
                        .decisions = byRules,
                        .finish = [restart](Suite& suite, const std::string&) { restart(false)(suite); }});
  // The server stops answering in the middle of the checks: the rule table is held locked,
  // so the rule query waits until the library's read time-out gives the server up.
  static std::unique_ptr<Admin> locker;
  cases.push_back(Fault{.name = "offline cached: server stops answering at the rule query",
                        .sessions = {"bob", "kiosk"},
                        .setUp =
                            [](Suite& suite) {
                              locker.reset();
                              locker = std::make_unique<Admin>(suite.Server(), kDsDatabase);
                              locker->Exec("LOCK TABLES securitypolicy_sub WRITE");
                            },
                        .rows = RowsRule::OwnCheck,
                        .startupTargetSeconds = kStoppedTarget,
                        .eventLimit = 1,
                        .offline = cached,
                        .snapshotHours = 1,
                        .decisions = byRules,
                        .finish = [](Suite&, const std::string&) { locker.reset(); }});
  // A snapshot that counts as none: the session is decided as closed.
  cases.push_back(Fault{.name = "offline cached: snapshot older than MaxAgeHours",
                        .sessions = {"bob"},
                        .target = Target::RefusedPort,
                        .rows = RowsRule::None,
                        .targetSeconds = kRefusedTarget,
                        .startupTargetSeconds = kRefusedTarget,
                        .offline = cached + "MaxAgeHours=24\r\n",
                        .snapshotHours = 30,
                        .decisions = allRefused});
  cases.push_back(Fault{.name = "offline cached: snapshot planted by another account",
                        .sessions = {"bob"},
                        .target = Target::RefusedPort,
                        .rows = RowsRule::None,
                        .targetSeconds = kRefusedTarget,
                        .startupTargetSeconds = kRefusedTarget,
                        .offline = cached,
                        .snapshotHours = 1,
                        .decisions = allRefused,
                        .plantedByOther = true});
  // A closed door stays closed whatever fails mid-check: the rule table is held locked, so
  // the rule query waits, and then the account's statement time limit ends it (1969), a
  // metadata lock wait times out (1205, the answer of a cluster's sync wait too), the
  // account itself interrupts it (1317) or the connection is dropped, once and again on
  // the new connection. SELECT revoked on the rule table (1142) needs no lock.
  static std::unique_ptr<Admin> holder;
  static std::thread watcher;
  static std::atomic<bool> watching{false};
  // Locks the rule table; `onWaiting` runs once for each of the library's statements that
  // waits on it, for a few seconds.
  const auto holdRules = [](std::function<void(Suite&, const std::string& id)> onWaiting, std::string setUpSql) {
    return [onWaiting, setUpSql](Suite& suite) {
      watching = false;  // a watcher left by a case that ended early
      if (watcher.joinable()) watcher.join();
      if (!setUpSql.empty()) suite.Sql(setUpSql);
      holder = std::make_unique<Admin>(suite.Server(), kDsDatabase);
      holder->Exec("LOCK TABLES securitypolicy_sub WRITE");
      if (!onWaiting) return;
      watching = true;
      watcher = std::thread([&suite, onWaiting] {
        Admin admin(suite.Server());
        std::set<std::string> seen;
        for (int round = 0; watching && round < 200; ++round) {
          for (const auto& row : admin.Rows(std::string("SELECT ID FROM information_schema.PROCESSLIST WHERE USER = '") +
                                            kAccount + "' AND STATE LIKE '%metadata lock%'"))
            if (seen.insert(row.at(0)).second) {
              try {
                onWaiting(suite, row.at(0));
              } catch (const std::exception&) {
                // It ended meanwhile.
              }
            }
          std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
      });
    };
  };
  const auto release = [](Suite&, const std::string&) {
    watching = false;
    if (watcher.joinable()) watcher.join();
    holder.reset();
  };
  const auto asAccount = [](Suite& suite, const std::string& sql) {
    Connection connection("faults");
    connection.host = "127.0.0.1";
    connection.port = suite.Server().Port();
    connection.user = kAccount;
    connection.password = kPassword;
    connection.database = kDsDatabase;
    connection.Query(sql);
  };
  const std::string account = std::string("'") + kAccount + "'@'127.0.0.1'";
  struct MidCheck {
    const char* name;
    std::function<void(Suite&)> setUp;
  } midChecks[] = {
      {"statement time limit (1969)", holdRules({}, "ALTER USER " + account + " WITH MAX_STATEMENT_TIME 0.5")},
      {"lock wait timed out (1205)", holdRules({}, "SET GLOBAL lock_wait_timeout = 1")},
      {"KILL QUERY by the account (1317)",
       holdRules([asAccount](Suite& suite, const std::string& id) { asAccount(suite, "KILL QUERY " + id); }, "")},
      {"connection dropped mid-check",
       holdRules([](Suite& suite, const std::string& id) { Admin(suite.Server()).Exec("KILL " + id); }, "")},
      {"SELECT revoked on securitypolicy_sub (1142)",
       [](Suite& suite) {
         suite.Sql(std::string("REVOKE SELECT ON ") + kDsDatabase + ".securitypolicy_sub FROM qbnotify_library");
       }},
  };
  for (const MidCheck& check : midChecks)
    for (const auto& [mode, decisions] : {std::pair{closed, allRefused}, std::pair{cached, byRules}})
      cases.push_back(Fault{.name = (mode == cached ? "offline cached, mid-check: " : "offline closed, mid-check: ") +
                                    std::string(check.name),
                            .sessions = {"bob", "kiosk"},
                            .setUp = check.setUp,
                            .rows = RowsRule::OwnCheck,
                            .startupTargetSeconds = kStoppedTarget,
                            .eventLimit = 1,
                            .offline = mode,
                            .snapshotHours = 1,
                            .decisions = decisions,
                            .finish = release});
  cases.push_back(Fault{.name = "offline open: refused port (unchecked, as before)",
                        .sessions = {"bob"},
                        .target = Target::RefusedPort,
                        .rows = RowsRule::None,
                        .unreachableAtStartup = true,
                        .targetSeconds = kRefusedTarget,
                        .startupTargetSeconds = kRefusedTarget,
                        .offline = "Admission=open\r\n",
                        .snapshotHours = 1});

  // The read time-out of the client library was fixed when it connected (10 s): the wait for
  // the stalled row ends with what is left of the handler's 15 s, not 10 s after it was sent.
  // The rows of the handler that are not written wait in the spool for the next handler.
  const auto stall = std::make_shared<MidHandlerStall>();
  cases.push_back(Fault{.name = "server SIGSTOP mid-handler, after 7 s of its budget",
                        .sessions = {"bob"},
                        .step = 5,
                        .before = [stall](Suite& suite) { stall->Begin(suite); },
                        .after = [stall](Suite& suite) { stall->End(suite); },
                        .rows = RowsRule::StepOptional});
  return cases;
}

}  // namespace qbnotify::faults
