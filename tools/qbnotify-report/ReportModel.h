// The usage report's computation, free of any database: sessions read from the audit's rows,
// what a period's sessions add up to (concurrency per minute, days, durations, users and
// clients), and the refusals read from the event log's counts.
//
// Times are local date-times of the database server's clock, held as seconds counted from
// 1970-01-01 00:00:00 of that clock (no time zone is applied anywhere). Texts are the
// database's code-page-936 bytes; only the writers of JSON, CSV and HTML convert them.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace qbnotify::report {

using Seconds = std::int64_t;
// The zero date-time '0000-00-00 00:00:00': a time never set.
inline constexpr Seconds kNoTime = INT64_MIN;

// "YYYY-MM-DD HH:MM:SS" (or "YYYY-MM-DD", read as its midnight) to seconds; the zero date-time
// gives kNoTime; nullopt for any other text.
std::optional<Seconds> ParseLocalTime(std::string_view text);
// Seconds as "YYYY-MM-DD HH:MM:SS", "YYYY-MM-DD HH:MM" or "YYYY-MM-DD".
std::string FormatTime(Seconds time);
std::string FormatMinute(Seconds time);
std::string FormatDate(Seconds time);
// 0 for Monday up to 6 for Sunday.
int Weekday(Seconds time);

// One row of the audit of application use, as stored.
struct AuditRow {
  std::string logid, sessionid, user, app, mac;
  Seconds start = kNoTime;
  Seconds stop = kNoTime;
};

// The moment a row records: its start for a logon row (stop time unset) and a reconnect row
// (the start after the stop of the disconnect it follows), its stop otherwise.
Seconds EventTime(const AuditRow& row);
// Order of rows within one moment: a logon first, then a reconnect, then a stop, then a row
// whose start equals its stop (a reconnect or a stop within the second of what it follows).
int KindRank(const AuditRow& row);
// Sorts rows the way the report asks the server to: by session id, user, application and
// MAC (byte for byte), then by moment, kind and identifier.
void SortForChaining(std::vector<AuditRow>& rows);

// Something in the rows that the library never writes, or that hides a lost row.
struct Anomaly {
  std::string kind;  // "no-logon", "stop-before-start", "no-start-time", "logon-twice", "open-over-a-day"
  std::string logid, user, app, mac, sessionid;
  Seconds time = kNoTime;
  std::string detail;
};

// A stretch of a session: connected (from a logon or reconnect to the next stop) or
// disconnected (from a disconnect to the reconnect or stop after it). `to` is kNoTime while
// the stretch lasts as far as the rows tell.
struct Stretch {
  Seconds from = kNoTime;
  Seconds to = kNoTime;
  bool connected = true;
};

// One session as its rows tell it.
struct Session {
  std::string sessionid, user, app, mac;
  Seconds logon = kNoTime;
  Seconds end = kNoTime;           // the logoff (or last stop); kNoTime while open
  std::vector<Stretch> stretches;  // in time order, from the logon
  bool open = false;               // no row ends it: connected, or disconnected (the event log says so)
  bool fromAnomaly = false;        // put together from a row without its logon
  // Seconds connected (or disconnected) within [from, to); a lasting stretch runs to `to`.
  Seconds TimeIn(bool connected, Seconds from, Seconds to) const;
};

// What the event log says a session's last stop row was: the audit writes a disconnect and a
// logoff alike, and a session disconnected at its last row is still in use.
enum class LastStop { Logoff, Disconnect, Unknown };
using LastStopReader = std::function<LastStop(const Session& session, Seconds stop)>;

// Puts sessions together from rows handed over in SortForChaining's order: the rows of one
// session id, user, application and MAC arrive together, in time order. A session is its
// logon row, then stop rows (disconnect or logoff: the rows look alike) and reconnect rows;
// a stop followed by a reconnect or a later stop of the same start was a disconnect. The last
// stop ends the session unless `lastStop` says it was a disconnect (the session then lasts,
// disconnected). A stop row whose stop lies before its start (a clock set back) ends the
// session at its start, as an anomaly. Rows that fit no session are handed to the anomaly sink.
class SessionChainer {
 public:
  SessionChainer(std::function<void(const Session&)> sessionSink, std::function<void(const Anomaly&)> anomalySink,
                 LastStopReader lastStop = {});
  void Add(const AuditRow& row);
  // Hands over the sessions of the last group; call once after the last row.
  void Finish();

 private:
  void Flush();
  std::function<void(const Session&)> sessionSink_;
  std::function<void(const Anomaly&)> anomalySink_;
  LastStopReader lastStop_;
  std::optional<AuditRow> groupKey_;
  struct Open {
    Session session;
    Seconds currentStart = kNoTime;  // the logon or last reconnect
    Seconds stoppedAt = kNoTime;     // the stop time as the row holds it, set while stopped
    Seconds stoppedTime = kNoTime;   // when it stopped (its start, for a stop before its start)
  };
  void Stop(Open& open, Seconds at, Seconds rowStop);
  std::vector<Open> group_;
};

// The reporting period: [begin, end) with both at midnight, and the moment up to which a
// session not ended by then counts as in use (the period's end, or the server's clock when
// earlier). Every time counted is cut to [begin, asOf).
struct Period {
  Seconds begin = 0;
  Seconds end = 0;
  Seconds asOf = 0;
};

struct Percentiles {
  Seconds median = 0;
  Seconds p95 = 0;
};
// Nearest-rank percentiles of a multiset of durations given as value -> count.
Percentiles DurationPercentiles(const std::map<Seconds, std::int64_t>& durations);

struct DayCounts {
  std::int64_t sessions = 0, users = 0, clients = 0;
};

struct UsageTotals {
  std::int64_t sessions = 0, users = 0, clients = 0, openSessions = 0;
  int peak = 0;
  Seconds peakAt = kNoTime;  // the first minute the peak was reached
  Percentiles duration;      // of the sessions that ended
  Seconds connected = 0, disconnected = 0;
  std::vector<DayCounts> days;      // one per day of the period
  std::vector<int> perMinute;       // sessions in use during each minute of the period
};

struct ApplicationUsage {
  std::string appId, name;  // name: the application's display name, or empty
  std::optional<std::int64_t> limit;
  UsageTotals totals;
};

struct Ranked {
  std::string key;
  std::int64_t sessions = 0;
};

struct Usage {
  UsageTotals farm;
  std::vector<ApplicationUsage> applications;  // by application identifier
  std::int64_t startsByWeekdayHour[7][24] = {};
  std::vector<Ranked> topUsers, topClients;
  std::vector<Anomaly> anomalies;  // at most kMaxAnomalies listed
  std::int64_t anomalyCount = 0;
};

inline constexpr std::size_t kMaxAnomalies = 1000;
inline constexpr std::size_t kTopCount = 10;

// Adds up the sessions of one period. A session counts when it was in use at some moment of
// the period (from its logon to its end, one not ended by Period::asOf up to then: an open
// one, or one whose end lies after the period); in each minute
// it was in use at some moment of; on each day likewise. Starts are mapped by weekday and
// hour when the logon lies in the period.
class UsageCounter {
 public:
  explicit UsageCounter(Period period);
  // Whether the session was in use during the period (and so counted).
  bool Add(const Session& session);
  void Add(const Anomaly& anomaly);
  // `names` and `limits` by application identifier.
  Usage Finish(const std::map<std::string, std::string>& names, const std::map<std::string, std::int64_t>& limits);

 private:
  struct Counts {
    std::int64_t sessions = 0, openSessions = 0;
    std::set<std::string> users, clients;
    std::map<Seconds, std::int64_t> durations;
    Seconds connected = 0, disconnected = 0;
    std::vector<std::int64_t> daySessions;
    std::set<std::pair<std::int64_t, std::string>> dayUsers, dayClients;
    std::vector<int> minuteDelta;  // +1 at a session's first minute, -1 after its last
  };
  void Count(Counts& counts, const Session& session, bool ended, Seconds from, Seconds to);
  UsageTotals Total(Counts& counts) const;
  Period period_;
  std::size_t minutes_ = 0, days_ = 0;
  Counts farm_;
  std::map<std::string, Counts> apps_;
  Usage usage_;
  std::map<std::string, std::int64_t> users_, clients_;
};

// The event log's records of one application and client computer, counted:
// startup records (1,1,2), passed shell checks (2,1,2), refusals (x,1,1) by Parameter1,
// logons (2,1,3); apart, those of decisions taken without the database (their mark in
// Parameter2: "offline cached" or "offline closed", the last record of an admission
// followed by "; not checked: ...").
struct EventCount {
  std::string app, computer;
  int typeId = 0, eventId = 0;
  std::string parameter1;  // refusals only
  std::int64_t count = 0;
  std::string parameter2;  // the offline mark as written, or empty
};

// Sessions decided without the database, by the mode that decided them.
struct OfflineDecisions {
  std::string mode;  // "cached" or "closed" (the word after "offline ")
  std::int64_t sessions = 0, admitted = 0, refused = 0;
};

// Refusals by what the records tell apart.
struct Refusals {
  struct Line {
    std::string reason;    // "policy", "shell", "application-rule", "unrecorded", "offline-cached", "offline-closed"
    std::string policyId;  // "policy" only
    std::int64_t count = 0;
  };
  std::vector<Line> byReason;  // policies by identifier, then the others
  struct Group {
    std::string key;  // the application or the client computer
    std::int64_t policy = 0, shell = 0, applicationRule = 0, unrecorded = 0, offline = 0;
    std::int64_t Recorded() const { return policy + shell + applicationRule + offline; }
  };
  std::vector<Group> byApplication, byClient;
  std::int64_t recorded = 0;    // refusal records, online and offline
  std::int64_t unrecorded = 0;  // started, passed the shell check, never logged on, no refusal record
  std::vector<OfflineDecisions> offline;  // by mode, one line per mode seen
};

// A refusal with a policy identifier is the policy's. A refusal without one is the shell
// check's when it follows no passed shell check (startups less passed checks), otherwise the
// application step's: an application without a row or its session limit, which leave the
// same record. Sessions that passed the shell check and then neither logged on nor left a
// refusal record were refused by the duplicate-account rule or the user's session limit
// (which write none), or ended otherwise: counted as "unrecorded". Records of offline
// decisions are counted apart, by mode (sessions, admitted, refused); their refusals are
// reasons "offline-MODE", and the logons of sessions admitted offline are not taken for
// online ones. Counts within one application and computer never go below zero (a period's
// edge may cut a session's records).
Refusals CountRefusals(const std::vector<EventCount>& counts);

}  // namespace qbnotify::report
