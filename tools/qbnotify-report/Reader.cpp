#include "tools/qbnotify-report/Reader.h"

#include <map>
#include <stdexcept>
#include <tuple>

#include "tools/qbnotify-report/RowStream.h"

namespace qbnotify::report {
namespace {

std::string Quoted(Connection& connection, const std::string& text) { return connection.QuoteText(text); }

Seconds Day(const std::string& text, const char* what) {
  const std::optional<Seconds> day = ParseLocalTime(text);
  if (text.size() != 10 || !day || *day == kNoTime || FormatDate(*day) != text)
    throw std::invalid_argument(std::string(what) + " must be a date YYYY-MM-DD, not '" + text + "'");
  return *day;
}

std::int64_t Integer(std::string_view text) {
  std::int64_t value = 0;
  bool negative = !text.empty() && text.front() == '-';
  for (char c : text.substr(negative ? 1 : 0)) {
    if (c < '0' || c > '9') break;
    value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

}  // namespace

Report ReadReport(Instance& instance, const Request& request, const std::function<void(const Session&, const Period&)>& sessionSink) {
  Connection& ds = *instance.connections.DS;
  Connection& logConnection = *instance.connections.Log;

  // The period, by the server's clock.
  const Connection::Result clock = logConnection.Query("SELECT NOW(), CURDATE()");
  const std::optional<Seconds> now = ParseLocalTime(clock.rows.at(0).at(0).value_or(""));
  const std::optional<Seconds> today = ParseLocalTime(clock.rows.at(0).at(1).value_or(""));
  if (!now || !today) throw std::runtime_error("the server's clock cannot be read");
  Report report;
  report.request = request;
  const Seconds to = request.to.empty() ? *today : Day(request.to, "--to");
  const Seconds from = request.from.empty() ? to - 29 * 86400 : Day(request.from, "--from");
  if (from > to) throw std::invalid_argument("--from lies after --to");
  // Up to the end of the server's current second: a session that logged on in it is in use.
  report.period = {from, to + 86400, std::min(to + 86400, *now + 1)};
  if (report.period.asOf < report.period.begin) report.period.asOf = report.period.begin;
  const std::string end = "'" + FormatTime(report.period.end) + "'";

  // The applications: display names and their own session limits.
  std::map<std::string, std::string> names;
  std::map<std::string, std::int64_t> limits;
  const Connection::Result apps = ds.Query("SELECT App_ID, Name, app_session_count FROM Application" +
                                           (request.app.empty() ? "" : " WHERE App_ID = " + Quoted(ds, request.app)));
  for (const auto& row : apps.rows) {
    const std::string id = row.at(0).value_or("");
    names[id] = row.at(1).value_or("");
    if (row.at(2)) limits[id] = Integer(*row.at(2));
  }

  // The audit, every row up to the period's end: a session that began before the period is
  // in use during it, and one whose logoff row is missing would otherwise be missed.
  RowStream stream(logConnection);
  std::string where = " WHERE GREATEST(starttime, stoptime) < " + end;
  // The audit keeps the first 11 bytes of an application identifier.
  if (!request.app.empty()) where += " AND appid = " + stream.Quote(request.app.substr(0, 11));
  if (!request.user.empty()) where += " AND farmuser = " + stream.Quote(request.user);
  UsageCounter counter(report.period);
  SessionChainer chainer(
      [&](const Session& session) {
        if (counter.Add(session) && sessionSink) sessionSink(session, report.period);
      },
      [&](const Anomaly& anomaly) { counter.Add(anomaly); });
  AuditRow audit;
  stream.Each(
      "SELECT sessionid, farmuser, appid, clientmac, starttime, stoptime, logid FROM appshenji" + where +
          " ORDER BY sessionid, farmuser, appid, clientmac, GREATEST(starttime, stoptime),"
          " CASE WHEN stoptime = 0 THEN 0 WHEN starttime > stoptime THEN 1 WHEN starttime < stoptime THEN 2 ELSE 3 END, logid",
      [&](const RowStream::Row& row) {
        audit.sessionid.assign(row[0]);
        audit.user.assign(row[1]);
        audit.app.assign(row[2]);
        audit.mac.assign(row[3]);
        audit.start = ParseLocalTime(row[4]).value_or(kNoTime);
        audit.stop = ParseLocalTime(row[5]).value_or(kNoTime);
        audit.logid.assign(row[6]);
        chainer.Add(audit);
      });
  chainer.Finish();
  report.usage = counter.Finish(names, limits);

  // The event log's startup, shell-check, refusal and logon records.
  std::string events = " WHERE Time >= '" + FormatTime(report.period.begin) + "' AND Time < " + end + " AND EventID IN (1, 2, 3)";
  if (!request.app.empty()) events += " AND AppID = " + stream.Quote(request.app);
  if (!request.user.empty()) {
    // The event log names users by their identifier; every identifier of that name.
    std::string ids;
    for (const auto& row : ds.Query("SELECT User_ID FROM Cuser WHERE name = " + Quoted(ds, request.user)).rows)
      ids += (ids.empty() ? "" : ", ") + stream.Quote(row.at(0).value_or(""));
    events += " AND UserID IN (" + (ids.empty() ? std::string("NULL") : ids) + ")";
  }
  // Counted here rather than by the server: grouping on the long binary columns costs the
  // server several times a plain read of the rows.
  std::map<std::tuple<std::string, std::string, int, int, std::string>, std::int64_t> tally;
  std::tuple<std::string, std::string, int, int, std::string> key;
  stream.Each("SELECT AppID, ComputerName, TypeID, EventID, IF(EventID = 1, Parameter1, '') FROM log" + events,
              [&](const RowStream::Row& row) {
                std::get<0>(key).assign(row[0]);
                std::get<1>(key).assign(row[1]);
                std::get<2>(key) = static_cast<int>(Integer(row[2]));
                std::get<3>(key) = static_cast<int>(Integer(row[3]));
                std::get<4>(key).assign(row[4]);
                ++tally[key];
              });
  std::vector<EventCount> counts;
  for (const auto& [k, n] : tally)
    counts.push_back({std::get<0>(k), std::get<1>(k), std::get<2>(k), std::get<3>(k), std::get<4>(k), n});
  report.refusals = CountRefusals(counts);
  return report;
}

}  // namespace qbnotify::report
