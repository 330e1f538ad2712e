#include "tools/qbnotify-report/Reader.h"

#include <algorithm>
#include <map>
#include <optional>
#include <stdexcept>
#include <tuple>
#include <unordered_map>

#include "tools/qbnotify-report/ReportIndexes.h"
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

// The event log's disconnect and logoff records by user name and application (the audit's
// 11 bytes of it), in time order: what they say of an audit row's stop.
class StopRecords {
 public:
  void Add(const std::string& user, std::string_view app, Seconds time, bool disconnect) {
    records_[Key(user, app.substr(0, 11))].push_back({time, disconnect});
  }
  void Sort() {
    for (auto& [key, list] : records_) std::sort(list.begin(), list.end());
  }
  // A disconnect alone near the stop: a disconnect; a logoff alone: a logoff; else unknown.
  LastStop Of(const Session& session, Seconds stop) const {
    const auto found = records_.find(Key(session.user, session.app));
    if (found == records_.end()) return LastStop::Unknown;
    bool disconnect = false, logoff = false;
    const auto& list = found->second;
    for (auto it = std::lower_bound(list.begin(), list.end(), std::make_pair(stop - kStopMatchSeconds, false));
         it != list.end() && it->first <= stop + kStopMatchSeconds; ++it)
      (it->second ? disconnect : logoff) = true;
    return disconnect == logoff ? LastStop::Unknown : disconnect ? LastStop::Disconnect : LastStop::Logoff;
  }

 private:
  static std::string Key(std::string_view user, std::string_view app) {
    std::string key(user);
    key += '\0';
    key += app;
    return key;
  }
  std::unordered_map<std::string, std::vector<std::pair<Seconds, bool>>> records_;
};

}  // namespace

Report ReadReport(Instance& instance, const Request& request, const std::function<void(const Session&, const Period&)>& sessionSink) {
  Connection& ds = *instance.connections.DS;
  Connection& logConnection = *instance.connections.Log;

  // The period, by the server's clock.
  const Connection::Result clock = logConnection.Query("SELECT NOW(), CURDATE()");
  const std::optional<Seconds> now = ParseLocalTime(clock.rows.at(0).at(0).value_or(""));
  const std::optional<Seconds> today = ParseLocalTime(clock.rows.at(0).at(1).value_or(""));
  if (!now || !today) throw std::runtime_error("the server's clock cannot be read");
  if (request.lookBackDays < 0 || request.lookBackDays > 3660) throw std::invalid_argument("--look-back takes 0 to 3660 days");
  Report report;
  report.request = request;
  const Seconds to = request.to.empty() ? *today : Day(request.to, "--to");
  const Seconds from = request.from.empty() ? to - 29 * 86400 : Day(request.from, "--from");
  if (from > to) throw std::invalid_argument("--from lies after --to");
  // Up to the end of the server's current second: a session that logged on in it is in use.
  report.period = {from, to + 86400, std::min(to + 86400, *now + 1)};
  if (report.period.asOf < report.period.begin) report.period.asOf = report.period.begin;
  const auto literal = [](Seconds time) {
    std::string text(1, '\'');
    text += FormatTime(time);
    text += '\'';
    return text;
  };
  const std::string begin = literal(report.period.begin), end = literal(report.period.end);
  const Seconds lookBack = report.period.begin - static_cast<Seconds>(request.lookBackDays) * 86400;

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
  // The event log names users by their identifier, the audit by their name.
  std::unordered_map<std::string, std::string> userNames;
  for (const auto& row : ds.Query("SELECT User_ID, name FROM Cuser" +
                                  (request.user.empty() ? "" : " WHERE name = " + Quoted(ds, request.user)))
                             .rows)
    userNames.emplace(row.at(0).value_or(""), row.at(1).value_or(""));

  RowStream stream(logConnection);
  // The audit's statement goes first, on a connection of its own: the server reads and sorts
  // its rows while this program reads the event log's, which the audit's reading needs.
  RowStream auditStream(logConnection);
  // Room to sort a month's audit rows in memory rather than in merge passes on disk (the
  // server takes it only as the sort needs it, for this one statement's session).
  auditStream.Run("SET SESSION sort_buffer_size = 64 * 1024 * 1024");
  // The audit: the rows that start or stop within the look-back or the period, its end
  // included. A session in use at the period's end has its next row among them (a reconnect
  // keeps the stop of its disconnect, a stop the start of its stretch).
  const std::string window = " BETWEEN " + literal(lookBack) + " AND " + end;
  std::string filters;
  // The audit keeps the first 11 bytes of an application identifier.
  if (!request.app.empty()) filters += " AND appid = " + auditStream.Quote(request.app.substr(0, 11));
  if (!request.user.empty()) filters += " AND farmuser = " + auditStream.Quote(request.user);
  const std::string columns = "SELECT sessionid, farmuser, appid, clientmac, starttime, stoptime, logid FROM appshenji";
  const std::string order =
      " ORDER BY sessionid, farmuser, appid, clientmac, GREATEST(starttime, stoptime),"
      " CASE WHEN stoptime = 0 THEN 0 WHEN starttime > stoptime THEN 1 WHEN starttime < stoptime THEN 2 ELSE 3 END, logid";
  const Connection::Result indexes = logConnection.Query(kReportIndexesSql);
  const bool indexed = !indexes.rows.empty() && indexes.rows[0].at(0).value_or("") == std::to_string(std::size(kReportIndexes));
  // With the indexes, the rows of a range of each, merged (left to itself the server would
  // rather read the whole table for two conditions joined by OR); without them, one pass.
  const std::string audits = columns + (indexed ? " FORCE INDEX (ix_appshenji_starttime, ix_appshenji_stoptime)" : "") +
                             " WHERE (starttime" + window + " OR stoptime" + window + ")" + filters + order;
  auditStream.Send(audits);

  // The event log: the period's startup, shell-check, refusal and logon records, counted here
  // rather than by the server (grouping on the long binary columns costs the server several
  // times a plain read of the rows); and the disconnects and logoffs from the look-back on.
  // With the indexes these are two statements: the disconnects and logoffs (a month of them,
  // read from the index alone, which holds every column asked) sent first on a connection
  // of their own, and the period's other records; without them one pass over the table.
  const std::string periodEvents = "EventID IN (1, 2, 3) AND Time >= " + begin + " AND Time < " + end;
  const std::string stopEvents = "EventID IN (4, 6) AND Time >= " + literal(lookBack - kStopMatchSeconds) +
                                 " AND Time <= " + literal(report.period.end + kStopMatchSeconds);
  std::string eventFilters;
  if (!request.app.empty()) eventFilters += " AND AppID = " + stream.Quote(request.app);
  if (!request.user.empty()) {
    std::string ids;
    for (const auto& [id, name] : userNames) ids += (ids.empty() ? "" : ", ") + stream.Quote(id);
    eventFilters += " AND UserID IN (" + (ids.empty() ? std::string("NULL") : ids) + ")";
  }
  std::map<std::tuple<std::string, std::string, int, int, std::string, std::string>, std::int64_t> tally;
  std::tuple<std::string, std::string, int, int, std::string, std::string> key;
  StopRecords stops;
  const auto addStop = [&](std::string_view app, std::string_view userId, std::string_view time, bool disconnect) {
    const auto user = userNames.find(std::string(userId));
    const std::optional<Seconds> at = ParseLocalTime(time);
    if (user != userNames.end() && at && *at != kNoTime) stops.Add(user->second, app, *at, disconnect);
  };
  std::optional<RowStream> stopStream;
  if (indexed) {
    stopStream.emplace(logConnection);
    stopStream->Send("SELECT AppID, UserID, Time, EventID FROM log FORCE INDEX (ix_log_event_time) WHERE " + stopEvents +
                     eventFilters);
  }
  stream.Each("SELECT AppID, IF(EventID IN (4, 6), '', ComputerName), TypeID, EventID, IF(EventID = 1, Parameter1, ''),"
              " IF(Parameter2 LIKE 'offline %', Parameter2, ''), IF(EventID IN (4, 6), UserID, ''), Time FROM log WHERE " +
                  (indexed ? periodEvents : "((" + periodEvents + ") OR (" + stopEvents + "))") + eventFilters,
              [&](const RowStream::Row& row) {
                const int eventId = static_cast<int>(Integer(row[3]));
                if (eventId == 4 || eventId == 6) {
                  addStop(row[0], row[6], row[7], eventId == 4);
                  return;
                }
                std::get<0>(key).assign(row[0]);
                std::get<1>(key).assign(row[1]);
                std::get<2>(key) = static_cast<int>(Integer(row[2]));
                std::get<3>(key) = eventId;
                std::get<4>(key).assign(row[4]);
                std::get<5>(key).assign(row[5]);
                ++tally[key];
              });
  if (stopStream)
    stopStream->EachSent([&](const RowStream::Row& row) { addStop(row[0], row[1], row[2], Integer(row[3]) == 4); });
  stops.Sort();
  std::vector<EventCount> counts;
  for (const auto& [k, n] : tally)
    counts.push_back({std::get<0>(k), std::get<1>(k), std::get<2>(k), std::get<3>(k), std::get<4>(k), n, std::get<5>(k)});
  report.refusals = CountRefusals(counts);

  UsageCounter counter(report.period);
  SessionChainer chainer(
      [&](const Session& session) {
        if (counter.Add(session) && sessionSink) sessionSink(session, report.period);
      },
      [&](const Anomaly& anomaly) { counter.Add(anomaly); },
      [&](const Session& session, Seconds stop) { return stops.Of(session, stop); });
  AuditRow audit;
  auditStream.EachSent([&](const RowStream::Row& row) {
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
  return report;
}

}  // namespace qbnotify::report
