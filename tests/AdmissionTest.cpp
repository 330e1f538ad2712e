#include "AdmissionTest.h"

#include <algorithm>

#include "platform/hosted/CodePage.h"

namespace qbnotify::test {
namespace {

std::string VerdictOf(const HostRun& run) {
  if (run.status != 0) return "host exited " + std::to_string(run.status) + ": " + run.errors;
  const auto& lines = run.lines;
  const auto told = std::find_if(lines.begin(), lines.end(), [](const auto& line) {
    return line.value("type", "") == "channel" && line.value("code", 0) == 0x1000;
  });
  const auto ended = std::find_if(lines.begin(), lines.end(),
                                  [](const auto& line) { return line.value("type", "") == "end_session"; });
  if (told == lines.end()) return ended == lines.end() ? "quiet" : "ended without telling the client";
  if (run.Messages().size() != 1) return "more than one status message";
  const int reason = (*told)["reason"];
  if (reason == 0) return ended == lines.end() ? "admitted" : "admitted, yet ended";
  if (ended != told + 1) return "refused " + std::to_string(reason) + " without ending the session at once";
  if ((*ended)["flags"] != 10 || (*ended)["reason"] != 0) return "ended with " + ended->dump();
  if (ended + 1 != lines.end()) return "refused " + std::to_string(reason) + ", then went on: " + (ended + 1)->dump();
  return "refused " + std::to_string(reason);
}

}  // namespace

bool Startup::Traced(const std::string& text) const {
  return std::find(traces.begin(), traces.end(), hosted::Cp936ToUtf8(text)) != traces.end();
}

void AdmissionTest::SetUp() {
  DatabaseTest::SetUp();
  if (IsSkipped()) return;
  ClearTables();
}

void AdmissionTest::ClearTables() {
  for (const char* table : {"GloabolInc", "Cuser", "Application", "securitypolicy_sub", "addressgroup", "timegroup"})
    ds().Exec(std::string("DELETE FROM ") + table);
  dc().Exec("DELETE FROM dc_sessionload");
  ds().Exec("INSERT INTO Cuser (User_ID, name) VALUES ('U001', 'alice');"
            "INSERT INTO Application (App_ID, Name) VALUES ('APP00000012', 'Ledger')");
}

nlohmann::ordered_json AdmissionTest::SessionFile(const std::string& initialProgram, const std::string& clientName,
                                                  const std::string& clientAddress) {
  return {
      {"remote", true},
      {"protocol_type", 2},
      {"winstation", "KEV-Tcp#3"},
      {"initial_program", initialProgram},
      {"client_name", clientName},
      {"client_address", clientAddress},
      {"install_path", installPath().string()},
      {"events", {"startup"}},
  };
}

AdminConnection& AdmissionTest::Admin(Database database) {
  return database == Database::DS ? ds() : database == Database::DC ? dc() : log();
}

Startup AdmissionTest::StartFile(const nlohmann::ordered_json& session, const Fault* fault) {
  log().Exec("DELETE FROM log");
  Startup startup;
  if (fault) Admin(fault->database).Exec(fault->breakSql);
  startup.run = RunHost(session, {"--trace"});
  if (fault) Admin(fault->database).Exec(fault->mendSql);
  startup.verdict = VerdictOf(startup.run);
  for (const auto& row :
       log().Rows("SELECT TypeID, SourceID, EventID, CONVERT(Parameter1 USING gbk) FROM log ORDER BY ID"))
    startup.events.push_back(row[0] + "," + row[1] + "," + row[2] + "," + row[3]);
  for (const auto& line : startup.run.OfType("trace")) startup.traces.push_back(line["text"]);
  return startup;
}

}  // namespace qbnotify::test
