#include <sstream>

#include "tools/common/ToolSupport.h"
#include "tools/qbnotify-explain/Explain.h"

// The explained startup as aligned text for a person.
namespace qbnotify::tools {

using json = nlohmann::ordered_json;

std::string ExplainText(const json& report, bool fullSql) {
  std::ostringstream out;
  const json& session = report["session"];
  out << "session: user " << session.value("user", "") << ", application " << session.value("application", "")
      << ", client " << session.value("client_name", "") << " at " << session.value("client_address", "") << ", MAC "
      << session.value("mac", "") << "\n";
  int number = 0;
  for (const json& step : report["steps"]) {
    char head[64];
    std::snprintf(head, sizeof head, "%2d. %-20s", ++number, step.value("check", "").c_str());
    out << head << step.value("outcome", "(not reached)") << "\n";
    if (step.contains("server_clock") && step["server_clock"].is_string())
      out << "      server clock   " << step["server_clock"].get<std::string>() << "\n";
    if (step.contains("servers_passed_over"))
      for (const json& passed : step["servers_passed_over"])
        out << "      passed over    " << passed.get<std::string>() << "\n";
    if (step.contains("queries"))
      for (const json& query : step["queries"]) {
        const std::string sql = query["sql"];
        out << "      query " << query["connection"].get<std::string>() << "       "
            << (fullSql ? sql : Shortened(sql, 96)) << "  -> " << query["rows"].get<std::size_t>() << " row(s)\n";
      }
    if (step.contains("lines"))
      for (const json& line : step["lines"]) out << "      " << line.get<std::string>() << "\n";
  }
  if (report.contains("would_write") && !report["would_write"].empty()) {
    out << "would write (not written):\n";
    for (const json& record : report["would_write"])
      out << "      log: TypeID " << record["TypeID"] << ", SourceID 1, EventID " << record["EventID"] << ", UserID '"
          << record["UserID"].get<std::string>() << "', AppID '" << record["AppID"].get<std::string>()
          << "', ComputerName '" << record["ComputerName"].get<std::string>() << "', Parameter1 '"
          << record["Parameter1"].get<std::string>() << "'"
          << (record["Parameter2"].get<std::string>().empty() ? "" : ", Parameter2 '" + record["Parameter2"].get<std::string>() + "'")
          << "\n";
  }
  const json& decision = report["decision"];
  out << "decision: " << decision["result"].get<std::string>();
  if (decision.contains("reason")) {
    out << ", reason " << decision["reason"] << " (" << decision["decided_by"].get<std::string>() << ")\n";
    out << "the client would receive code 0x1000 with reason " << decision["reason"];
    if (decision.contains("end_session")) out << ", then the session would be ended (flags 10)";
    out << "\n";
  } else {
    out << "\n";
  }
  return out.str();
}

}  // namespace qbnotify::tools
