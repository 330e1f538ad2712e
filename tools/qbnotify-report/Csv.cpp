// The report's tables as CSV files, in UTF-8 with a byte-order mark.
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <tuple>

#include "tools/common/ToolSupport.h"
#include "tools/qbnotify-report/Output.h"

namespace qbnotify::report {
namespace {

using tools::Shown;
constexpr const char* kByteOrderMark = "\xEF\xBB\xBF";

class CsvFile {
 public:
  CsvFile(const std::filesystem::path& file, const std::string& header) : out_(file, std::ios::binary) {
    if (!out_) throw std::runtime_error("cannot write " + file.string());
    out_ << kByteOrderMark << header << "\r\n";
  }
  template <typename... Fields>
  void Line(const Fields&... fields) {
    bool first = true;
    ((out_ << (first ? "" : ",") << Field(fields), first = false), ...);
    out_ << "\r\n";
  }

 private:
  static std::string Field(const std::string& text) { return CsvField(text); }
  static std::string Field(const char* text) { return CsvField(text); }
  template <typename Number>
  static std::string Field(Number number) { return std::to_string(number); }
  std::ofstream out_;
};

}  // namespace

std::string CsvField(const std::string& text) {
  // A spreadsheet runs a cell that begins so as a formula; an apostrophe before it keeps it text.
  const bool formula = !text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos;
  const std::string cell = formula ? "'" + text : text;
  if (cell.find_first_of(",\"\r\n") == std::string::npos) return cell;
  std::string quoted = "\"";
  for (char c : cell) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

SessionHistoryCsv::SessionHistoryCsv(const std::filesystem::path& file) : out_(file, std::ios::binary) {
  if (!out_) throw std::runtime_error("cannot write " + file.string());
  out_ << kByteOrderMark
       << "session_id,user,app_id,client_mac,logon,end,open,duration_seconds,connected_seconds,disconnected_seconds\r\n";
}

void SessionHistoryCsv::Add(const Session& s, const Period& period) {
  // Open: not ended by the period's end (or the server's clock); times within the period.
  const bool ended = !s.open && s.end <= period.asOf;
  const Seconds end = ended ? s.end : period.asOf;
  out_ << CsvField(Shown(s.sessionid)) << ',' << CsvField(Shown(s.user)) << ',' << CsvField(Shown(s.app)) << ','
       << CsvField(Shown(s.mac)) << ',' << FormatTime(s.logon) << ',' << (ended ? FormatTime(s.end) : "") << ','
       << (ended ? 0 : 1) << ',' << end - s.logon << ',' << s.TimeIn(true, period.begin, period.asOf) << ','
       << s.TimeIn(false, period.begin, period.asOf) << "\r\n";
}

void WriteCsvTables(const Report& report, const std::filesystem::path& dir) {
  std::filesystem::create_directories(dir);
  const Usage& usage = report.usage;
  const Seconds begin = report.period.begin;
  {
    CsvFile file(dir / "applications.csv",
                 "app_id,name,sessions,users,clients,peak_sessions,peak_at,limit,open_sessions,duration_median_seconds,"
                 "duration_p95_seconds,connected_seconds,disconnected_seconds");
    const auto line = [&](const std::string& id, const std::string& name, const UsageTotals& t, const std::string& limit) {
      file.Line(id, name, t.sessions, t.users, t.clients, t.peak, t.peakAt == kNoTime ? "" : FormatMinute(t.peakAt), limit,
                t.openSessions, t.duration.median, t.duration.p95, t.connected, t.disconnected);
    };
    for (const ApplicationUsage& app : usage.applications)
      line(Shown(app.appId), Shown(app.name), app.totals, app.limit ? std::to_string(*app.limit) : "");
    line("*", "(the farm)", usage.farm, "");
  }
  {
    CsvFile days(dir / "days.csv", "date,app_id,sessions,users,clients");
    CsvFile concurrency(dir / "concurrency.csv", "minute,app_id,sessions");
    const auto put = [&](const std::string& id, const UsageTotals& t) {
      for (std::size_t day = 0; day < t.days.size(); ++day)
        days.Line(FormatDate(begin + static_cast<Seconds>(day) * 86400), id, t.days[day].sessions, t.days[day].users,
                  t.days[day].clients);
      // Only the minutes where the number changes (and the first).
      for (std::size_t minute = 0; minute < t.perMinute.size(); ++minute)
        if (minute == 0 || t.perMinute[minute] != t.perMinute[minute - 1])
          concurrency.Line(FormatMinute(begin + static_cast<Seconds>(minute) * 60), id, t.perMinute[minute]);
    };
    for (const ApplicationUsage& app : usage.applications) put(Shown(app.appId), app.totals);
    put("*", usage.farm);
  }
  {
    CsvFile file(dir / "refusals_by_reason.csv", "reason,policy_id,count");
    for (const Refusals::Line& line : report.refusals.byReason) file.Line(line.reason, Shown(line.policyId), line.count);
  }
  for (const auto& [name, groups, key] :
       {std::tuple{"refusals_by_application.csv", &report.refusals.byApplication, "app_id"},
        std::tuple{"refusals_by_client.csv", &report.refusals.byClient, "client"}}) {
    CsvFile file(dir / name, std::string(key) + ",refusals,policy,shell,application_rule,unrecorded,offline");
    for (const Refusals::Group& g : *groups)
      file.Line(Shown(g.key), g.Recorded(), g.policy, g.shell, g.applicationRule, g.unrecorded, g.offline);
  }
  {
    CsvFile file(dir / "offline_decisions.csv", "mode,sessions,admitted,refused");
    for (const OfflineDecisions& o : report.refusals.offline) file.Line(o.mode, o.sessions, o.admitted, o.refused);
  }
  {
    CsvFile file(dir / "starts_by_weekday_hour.csv", "weekday,hour,sessions_started");
    static const char* const kWeekdays[] = {"Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};
    for (int day = 0; day < 7; ++day)
      for (int hour = 0; hour < 24; ++hour) file.Line(kWeekdays[day], hour, usage.startsByWeekdayHour[day][hour]);
  }
  {
    CsvFile users(dir / "top_users.csv", "user,sessions"), clients(dir / "top_clients.csv", "mac,sessions");
    for (const Ranked& r : usage.topUsers) users.Line(Shown(r.key), r.sessions);
    for (const Ranked& r : usage.topClients) clients.Line(Shown(r.key), r.sessions);
  }
  {
    CsvFile file(dir / "anomalies.csv", "kind,logid,user,app_id,mac,session_id,time,detail");
    for (const Anomaly& a : usage.anomalies)
      file.Line(a.kind, Shown(a.logid), Shown(a.user), Shown(a.app), Shown(a.mac), Shown(a.sessionid), FormatTime(a.time), a.detail);
  }
}

}  // namespace qbnotify::report
