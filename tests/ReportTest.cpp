// The usage report's computation on generated audit histories with known answers, without a
// database: sessions put together from rows in any identifier order, peak sessions per
// minute against a minute-by-minute count, days, durations, anomalies, refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <tuple>

#include "tools/qbnotify-report/Output.h"
#include "tools/qbnotify-report/ReportModel.h"
#include "tools/qbnotify-report/UPlotAssets.h"

namespace qbnotify::report {
namespace {

Seconds T(const char* text) { return ParseLocalTime(text).value(); }

// A session's life as the library records it: 'L' logon, 'D' disconnect, 'R' reconnect,
// 'O' logoff, each at a time.
struct Step {
  char kind;
  Seconds at;
};
struct Life {
  std::string sid, user, app, mac;
  std::vector<Step> steps;
};

// The rows the library writes for these lives: the audit record's start and stop times as the
// handlers set them, each row under the next identifier in time order.
std::vector<AuditRow> Rows(const std::vector<Life>& lives) {
  std::vector<std::pair<Seconds, AuditRow>> timed;
  for (const Life& life : lives) {
    AuditRow row{"", life.sid, life.user, life.app, life.mac, kNoTime, kNoTime};
    for (const Step& step : life.steps) {
      if (step.kind == 'L' || step.kind == 'R') row.start = step.at;
      else row.stop = step.at;
      timed.emplace_back(step.at, row);
    }
  }
  std::stable_sort(timed.begin(), timed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<AuditRow> rows;
  for (auto& [at, row] : timed) {
    char id[16];
    std::snprintf(id, sizeof id, "lap%08zu", rows.size() + 1);
    row.logid = id;
    rows.push_back(row);
  }
  return rows;
}

struct Outcome {
  std::vector<Session> sessions;
  std::vector<Anomaly> anomalies;
  Usage usage;
};

Outcome Report(std::vector<AuditRow> rows, Period period, LastStopReader lastStop = {}) {
  Outcome outcome;
  UsageCounter counter(period);
  SortForChaining(rows);
  SessionChainer chainer(
      [&](const Session& s) {
        outcome.sessions.push_back(s);
        counter.Add(s);
      },
      [&](const Anomaly& a) {
        outcome.anomalies.push_back(a);
        counter.Add(a);
      },
      std::move(lastStop));
  for (const AuditRow& row : rows) chainer.Add(row);
  chainer.Finish();
  outcome.usage = counter.Finish({}, {});
  return outcome;
}

// When a life ends: at its logoff, else (connected, or disconnected at its last row) never.
Seconds LifeEnd(const Life& life) {
  for (const Step& step : life.steps)
    if (step.kind == 'O') return step.at;
  return INT64_MAX;
}

// Sessions in use during each minute, counted minute by minute: a life is in use from its
// logon to its logoff, up to the period's asOf.
std::vector<int> MinuteByMinute(const std::vector<Life>& lives, const Period& period) {
  std::vector<int> counts(static_cast<std::size_t>((period.end - period.begin) / 60), 0);
  for (const Life& life : lives) {
    const Seconds logon = life.steps.front().at;
    const Seconds end = std::min(LifeEnd(life), period.asOf);
    for (std::size_t m = 0; m < counts.size(); ++m) {
      const Seconds from = period.begin + static_cast<Seconds>(m) * 60, to = from + 60;
      if ((logon < to && end > from) || (logon == end && logon >= from && logon < to)) ++counts[m];
    }
  }
  return counts;
}

// Seconds a life spent connected (or disconnected) within [period.begin, period.asOf).
Seconds LifeTime(const Life& life, bool connected, const Period& period) {
  Seconds total = 0;
  for (std::size_t i = 0; i < life.steps.size() && life.steps[i].kind != 'O'; ++i) {
    const bool isConnected = life.steps[i].kind == 'L' || life.steps[i].kind == 'R';
    const Seconds to = std::min(i + 1 < life.steps.size() ? life.steps[i + 1].at : period.asOf, period.asOf);
    const Seconds from = std::max(life.steps[i].at, period.begin);
    if (isConnected == connected && to > from) total += to - from;
  }
  return total;
}

const Period kThreeDays{T("2026-03-01"), T("2026-03-04"), T("2026-03-04")};

TEST(ReportTime, ReadsAndWritesTheServersDateTimes) {
  EXPECT_EQ(FormatTime(T("2026-02-28 23:59:59") + 1), "2026-03-01 00:00:00");
  EXPECT_EQ(FormatTime(T("2024-02-28 12:00:00") + 86400), "2024-02-29 12:00:00");
  EXPECT_EQ(ParseLocalTime("0000-00-00 00:00:00"), kNoTime);
  EXPECT_EQ(FormatMinute(T("1969-12-31 23:59:30")), "1969-12-31 23:59");
  EXPECT_EQ(Weekday(T("2026-12-07")), 0);  // a Monday
  EXPECT_EQ(Weekday(T("2026-12-13 23:00:00")), 6);
  for (const char* bad : {"", "2026-13-01", "2026-01-01 24:00:00", "2026-1-01", "2026-01-01T00:00:00", "20260101"})
    EXPECT_FALSE(ParseLocalTime(bad)) << bad;
}

TEST(ReportSessions, KnownHistories) {
  struct Case {
    const char* name;
    std::vector<Life> lives;
    std::size_t sessions, users, open;
    int peak;
    const char* peakAt;
    std::vector<std::int64_t> daySessions;
  };
  const std::vector<Case> cases = {
      {"overlapping sessions",
       {{"S1", "alice", "APP1", "M1", {{'L', T("2026-03-01 09:00:00")}, {'O', T("2026-03-01 10:00:00")}}},
        {"S2", "bob", "APP1", "M2", {{'L', T("2026-03-01 09:30:00")}, {'O', T("2026-03-01 11:00:00")}}},
        {"S3", "carol", "APP1", "M3", {{'L', T("2026-03-01 09:59:30")}, {'O', T("2026-03-01 10:10:00")}}}},
       3, 3, 0, 3, "2026-03-01 09:59", {3, 0, 0}},
      {"across midnight",
       {{"S1", "alice", "APP1", "M1", {{'L', T("2026-03-01 23:30:00")}, {'O', T("2026-03-02 00:30:00")}}}},
       1, 1, 0, 1, "2026-03-01 23:30", {1, 1, 0}},
      {"across the period's edges",
       {{"S1", "alice", "APP1", "M1", {{'L', T("2026-02-28 22:00:00")}, {'O', T("2026-03-01 01:00:00")}}},
        {"S2", "bob", "APP1", "M2", {{'L', T("2026-03-03 23:00:00")}}},
        {"S3", "carol", "APP1", "M3", {{'L', T("2026-02-27 08:00:00")}, {'O', T("2026-02-27 09:00:00")}}},
        {"S4", "dave", "APP1", "M4", {{'L', T("2026-02-28 08:00:00")}, {'O', T("2026-03-01 00:00:00")}}}},
       2, 2, 1, 1, "2026-03-01 00:00", {1, 0, 1}},
      {"disconnect and reconnect chains",
       {{"S1", "alice", "APP1", "M1",
         {{'L', T("2026-03-02 09:00:00")}, {'D', T("2026-03-02 09:10:00")}, {'R', T("2026-03-02 09:20:00")},
          {'D', T("2026-03-02 09:30:00")}, {'O', T("2026-03-02 09:40:00")}}},
        {"S2", "bob", "APP1", "M2",
         {{'L', T("2026-03-02 09:05:00")}, {'D', T("2026-03-02 09:06:00")}, {'R', T("2026-03-02 09:06:00")},
          {'O', T("2026-03-02 09:07:00")}}}},
       2, 2, 0, 2, "2026-03-02 09:05", {0, 2, 0}},
      {"no logoff",
       {{"S1", "alice", "APP1", "M1", {{'L', T("2026-03-02 12:00:00")}}},
        {"S2", "bob", "APP1", "M2", {{'L', T("2026-03-02 13:00:00")}, {'D', T("2026-03-02 13:30:00")}, {'R', T("2026-03-02 14:00:00")}}}},
       2, 2, 2, 2, "2026-03-02 13:00", {0, 2, 2}},
      {"two sessions of one user at once, no session id, one computer",
       {{"", "alice", "APP1", "M1", {{'L', T("2026-03-01 09:00:00")}, {'D', T("2026-03-01 09:20:00")}, {'O', T("2026-03-01 11:00:00")}}},
        {"", "alice", "APP1", "M1", {{'L', T("2026-03-01 09:10:00")}, {'O', T("2026-03-01 09:50:00")}}},
        {"S9", "alice", "APP2", "M2", {{'L', T("2026-03-01 09:40:00")}, {'O', T("2026-03-01 09:45:00")}}}},
       3, 1, 0, 3, "2026-03-01 09:40", {3, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<AuditRow> rows = Rows(c.lives);
    // Rows written back from the spool get their identifiers late: reverse them all.
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i].logid = "lap" + std::to_string(90000000 - i);
    const Outcome outcome = Report(rows, kThreeDays);
    EXPECT_TRUE(outcome.anomalies.empty() || outcome.anomalies.front().kind == "open-over-a-day");
    EXPECT_EQ(outcome.usage.farm.sessions, static_cast<std::int64_t>(c.sessions));
    EXPECT_EQ(outcome.usage.farm.users, static_cast<std::int64_t>(c.users));
    EXPECT_EQ(outcome.usage.farm.openSessions, static_cast<std::int64_t>(c.open));
    EXPECT_EQ(outcome.usage.farm.peak, c.peak);
    EXPECT_EQ(FormatMinute(outcome.usage.farm.peakAt), c.peakAt);
    std::vector<std::int64_t> days;
    for (const DayCounts& day : outcome.usage.farm.days) days.push_back(day.sessions);
    EXPECT_EQ(days, c.daySessions);
    EXPECT_EQ(outcome.usage.farm.perMinute, MinuteByMinute(c.lives, kThreeDays));
  }
}

TEST(ReportSessions, ConnectedAndDisconnectedTimeOfAChain) {
  const Outcome outcome = Report(Rows({{"S1", "alice", "APP1", "M1",
                                     {{'L', T("2026-03-02 09:00:00")}, {'D', T("2026-03-02 09:10:00")},
                                      {'R', T("2026-03-02 09:20:00")}, {'D', T("2026-03-02 09:30:00")},
                                      {'O', T("2026-03-02 09:40:00")}}}}),
                              kThreeDays);
  ASSERT_EQ(outcome.sessions.size(), 1u);
  EXPECT_EQ(outcome.sessions[0].TimeIn(true, kThreeDays.begin, kThreeDays.end), 20 * 60);
  EXPECT_EQ(outcome.sessions[0].TimeIn(false, kThreeDays.begin, kThreeDays.end), 20 * 60);
  EXPECT_EQ(outcome.usage.farm.duration.median, 40 * 60);
}

// Random histories: every answer agrees with a minute-by-minute count of the lives, whatever
// the identifiers' order; in a period that ends at the server's clock, and in one long past,
// with sessions across both of its edges, given the rows the report reads (those that start
// or stop within the look-back and the period, its end included) and the event log's word on
// each last stop.
TEST(ReportSessions, GeneratedHistoriesAgreeWithAMinuteByMinuteCount) {
  std::mt19937 random(19);
  const Period periods[] = {{T("2026-03-01"), T("2026-03-03"), T("2026-03-02 20:00:00")},
                            {T("2026-03-01"), T("2026-03-03"), T("2026-03-03")}};
  for (const Period& period : periods) {
    const bool past = period.asOf == period.end;
    for (int round = 0; round < 40; ++round) {
      std::vector<Life> lives;
      std::set<Seconds> used;
      const auto unique = [&](Seconds at) {
        while (!used.insert(at).second) ++at;
        return at;
      };
      const int count = 1 + static_cast<int>(random() % 30);
      for (int i = 0; i < count; ++i) {
        Life life{random() % 3 == 0 ? "" : "S" + std::to_string(i), "user" + std::to_string(random() % 5),
                  "APP" + std::to_string(random() % 3), "M" + std::to_string(random() % 4), {}};
        Seconds at = unique(period.begin - 6 * 3600 + static_cast<Seconds>(random() % ((past ? 56 : 50) * 3600)));
        life.steps.push_back({'L', at});
        const int steps = static_cast<int>(random() % 6);
        for (int s = 0; s < steps; ++s) {
          at = unique(at + 1 + static_cast<Seconds>(random() % 7200));
          const char last = life.steps.back().kind;
          life.steps.push_back({last == 'D' ? (random() % 2 ? 'R' : 'O') : (random() % 2 ? 'D' : 'O'), at});
          if (life.steps.back().kind == 'O') break;
        }
        if (!past && life.steps.back().at >= period.asOf) continue;  // rows after the clock do not exist yet
        lives.push_back(life);
      }
      std::map<std::tuple<std::string, std::string, Seconds>, char> stops;
      for (const Life& life : lives)
        for (const Step& step : life.steps) stops[{life.user, life.app, step.at}] = step.kind;
      const LastStopReader eventLog = [&](const Session& session, Seconds stop) {
        const auto found = stops.find({session.user, session.app, stop});
        if (found == stops.end()) return LastStop::Unknown;
        return found->second == 'D' ? LastStop::Disconnect : LastStop::Logoff;
      };

      std::vector<AuditRow> rows;
      const auto inWindow = [&](Seconds t) { return t >= period.begin - 31 * 86400 && t <= period.end; };
      for (const AuditRow& row : Rows(lives))
        if (inWindow(row.start) || inWindow(row.stop)) rows.push_back(row);
      std::vector<std::string> ids;
      for (const AuditRow& row : rows) ids.push_back(row.logid);
      std::shuffle(ids.begin(), ids.end(), random);
      for (std::size_t i = 0; i < rows.size(); ++i) rows[i].logid = ids[i];

      const Outcome outcome = Report(rows, period, eventLog);
      const std::vector<int> expected = MinuteByMinute(lives, period);
      SCOPED_TRACE(std::string(past ? "past period" : "period up to the clock") + ", round " + std::to_string(round));
      EXPECT_EQ(outcome.usage.farm.perMinute, expected);
      EXPECT_EQ(outcome.usage.farm.peak, *std::max_element(expected.begin(), expected.end()));
      std::set<std::string> users;
      std::int64_t inPeriod = 0, open = 0;
      Seconds connected = 0, disconnected = 0;
      for (const Life& life : lives) {
        const Seconds logon = life.steps.front().at, end = std::min(LifeEnd(life), period.asOf);
        if (logon < period.asOf && (end > period.begin || (end == period.begin && logon == end))) {
          ++inPeriod;
          open += LifeEnd(life) > period.asOf;
          users.insert(life.user);
          connected += LifeTime(life, true, period);
          disconnected += LifeTime(life, false, period);
        }
      }
      EXPECT_EQ(outcome.usage.farm.sessions, inPeriod);
      EXPECT_EQ(outcome.usage.farm.openSessions, open);
      EXPECT_EQ(outcome.usage.farm.users, static_cast<std::int64_t>(users.size()));
      EXPECT_EQ(outcome.usage.farm.connected, connected);
      EXPECT_EQ(outcome.usage.farm.disconnected, disconnected);
      for (const Anomaly& anomaly : outcome.anomalies) EXPECT_EQ(anomaly.kind, "open-over-a-day");
    }
  }
}

// The cases an administrator found wrong at the period's edges, each on a report of one day.
TEST(ReportSessions, NumbersAtThePeriodsEdges) {
  const Period day{T("2026-03-02"), T("2026-03-03"), T("2026-03-03")};
  struct Case {
    const char* name;
    std::vector<Life> lives;
    std::vector<const char*> disconnects;  // stops the event log records as disconnects
    Seconds connected, disconnected;
    std::int64_t sessions, open;
    int peak;
    const char* peakAt;
    std::vector<std::string> anomalies;
  };
  const std::vector<Case> cases = {
      {"from 23:00 the day before to 01:00: one hour in the day",
       {{"S1", "alice", "APP1", "M1", {{'L', T("2026-03-01 23:00:00")}, {'O', T("2026-03-02 01:00:00")}}}},
       {}, 3600, 0, 1, 0, 1, "2026-03-02 00:00", {}},
      {"36 hours from the day before: 12 in the day",
       {{"S1", "alice", "APP1", "M1", {{'L', T("2026-03-01 00:00:00")}, {'O', T("2026-03-02 12:00:00")}}}},
       {}, 12 * 3600, 0, 1, 0, 1, "2026-03-02 00:00", {}},
      {"a logoff exactly at the period's end ends the session",
       {{"S1", "alice", "APP1", "M1", {{'L', T("2026-03-02 22:00:00")}, {'O', T("2026-03-03 00:00:00")}}}},
       {}, 7200, 0, 1, 0, 1, "2026-03-02 22:00", {}},
      {"disconnected at the end, reconnected after it: in use to the end",
       {{"S1", "alice", "APP1", "M1",
         {{'L', T("2026-03-02 18:00:00")}, {'D', T("2026-03-02 18:30:00")}, {'R', T("2026-03-03 08:00:00")}, {'O', T("2026-03-03 09:00:00")}}},
        {"S2", "bob", "APP1", "M2", {{'L', T("2026-03-02 18:46:00")}, {'O', T("2026-03-02 19:00:00")}}}},
       {}, 1800 + 840, 19800, 2, 1, 2, "2026-03-02 18:46", {}},
      {"disconnected across the whole period",
       {{"S1", "alice", "APP1", "M1", {{'L', T("2026-03-01 10:00:00")}, {'D', T("2026-03-01 12:00:00")}, {'O', T("2026-03-04 09:00:00")}}}},
       {}, 0, 86400, 1, 1, 1, "2026-03-02 00:00", {}},
      {"disconnected at its last row, as the event log says: still in use",
       {{"S1", "alice", "APP1", "M1", {{'L', T("2026-03-02 09:00:00")}, {'D', T("2026-03-02 10:00:00")}}},
        {"S2", "bob", "APP1", "M2", {{'L', T("2026-03-02 18:46:00")}, {'O', T("2026-03-02 19:00:00")}}}},
       {"2026-03-02 10:00:00"}, 3600 + 840, 14 * 3600, 2, 1, 2, "2026-03-02 18:46", {}},
      {"a stop before its start ends the session at its start",
       {{"S1", "alice", "APP1", "M1", {{'L', T("2026-03-02 09:00:00")}, {'O', T("2026-03-02 08:00:00")}}},
        {"S2", "bob", "APP1", "M2", {{'L', T("2026-03-02 12:00:00")}, {'O', T("2026-03-02 13:00:00")}}}},
       {}, 3600, 0, 2, 0, 1, "2026-03-02 09:00", {"stop-before-start"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::set<Seconds> disconnects;
    for (const char* at : c.disconnects) disconnects.insert(T(at));
    const Outcome outcome = Report(Rows(c.lives), day, [&](const Session&, Seconds stop) {
      return disconnects.count(stop) ? LastStop::Disconnect : LastStop::Unknown;
    });
    const UsageTotals& farm = outcome.usage.farm;
    EXPECT_EQ(farm.connected, c.connected);
    EXPECT_EQ(farm.disconnected, c.disconnected);
    EXPECT_EQ(farm.sessions, c.sessions);
    EXPECT_EQ(farm.openSessions, c.open);
    EXPECT_EQ(farm.peak, c.peak);
    EXPECT_EQ(FormatMinute(farm.peakAt), c.peakAt);
    std::vector<std::string> kinds;
    for (const Anomaly& a : outcome.anomalies) kinds.push_back(a.kind);
    EXPECT_EQ(kinds, c.anomalies);
  }
}

TEST(ReportSessions, RowsTheLibraryNeverWritesAreAnomalies) {
  struct Case {
    const char* name;
    std::vector<AuditRow> rows;
    std::vector<std::string> anomalies;
    std::int64_t sessions;
  };
  const auto row = [](const char* id, const char* start, const char* stop) {
    return AuditRow{id, "S1", "alice", "APP1", "M1", start ? T(start) : kNoTime, stop ? T(stop) : kNoTime};
  };
  const std::vector<Case> cases = {
      {"a stop time before the start", {row("lap1", "2026-03-02 10:00:00", "2026-03-02 09:00:00")}, {"stop-before-start"}, 0},
      {"a logoff without its logon", {row("lap1", "2026-03-02 09:00:00", "2026-03-02 10:00:00")}, {"no-logon"}, 1},
      {"no start time", {row("lap1", nullptr, "2026-03-02 10:00:00"), row("lap2", nullptr, nullptr)}, {"no-start-time", "no-start-time"}, 0},
      {"the logon row twice",
       {row("lap1", "2026-03-02 09:00:00", nullptr), row("lap2", "2026-03-02 09:00:00", nullptr),
        row("lap3", "2026-03-02 09:00:00", "2026-03-02 09:30:00")},
       {"logon-twice"}, 1},
      {"open for more than a day", {row("lap1", "2026-03-01 01:00:00", nullptr)}, {"open-over-a-day"}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome outcome = Report(c.rows, kThreeDays);
    std::vector<std::string> kinds;
    for (const Anomaly& a : outcome.usage.anomalies) kinds.push_back(a.kind);
    EXPECT_EQ(kinds, c.anomalies);
    EXPECT_EQ(outcome.usage.farm.sessions, c.sessions);
    EXPECT_EQ(outcome.usage.anomalyCount, static_cast<std::int64_t>(c.anomalies.size()));
  }
}

TEST(ReportDurations, NearestRankPercentiles) {
  struct Case {
    std::map<Seconds, std::int64_t> durations;
    Seconds median, p95;
  };
  const std::vector<Case> cases = {
      {{}, 0, 0},
      {{{60, 1}}, 60, 60},
      {{{10, 1}, {20, 1}}, 10, 20},
      {{{10, 1}, {20, 1}, {30, 1}}, 20, 30},
      {{{1, 95}, {1000, 5}}, 1, 1},
      {{{1, 94}, {1000, 6}}, 1, 1000},
  };
  for (const Case& c : cases) {
    const Percentiles p = DurationPercentiles(c.durations);
    EXPECT_EQ(p.median, c.median);
    EXPECT_EQ(p.p95, c.p95);
  }
}

TEST(ReportRefusals, TellsApartWhatTheRecordsTellApart) {
  // Per application and computer: startups (1,1,2), passed shell checks (2,1,2), refusals
  // (2,1,1) with and without a policy, logons (2,1,3).
  const std::vector<EventCount> counts = {
      {"APP1", "PC-1", 1, 2, "", 10, ""}, {"APP1", "PC-1", 2, 2, "", 8, ""}, {"APP1", "PC-1", 2, 1, "", 3, ""},
      {"APP1", "PC-1", 2, 1, "SP01", 2, ""}, {"APP1", "PC-1", 2, 3, "", 4, ""},
      {"APP2", "KIOSK", 1, 2, "", 5, ""}, {"APP2", "KIOSK", 2, 2, "", 5, ""}, {"APP2", "KIOSK", 2, 1, "SP01", 1, ""},
      {"APP2", "KIOSK", 2, 1, "SP02", 1, ""}, {"APP2", "KIOSK", 2, 3, "", 3, ""},
      // A period's edge cut a session's records: more logons than admitted startups.
      {"APP3", "PC-2", 1, 2, "", 1, ""}, {"APP3", "PC-2", 2, 2, "", 1, ""}, {"APP3", "PC-2", 2, 3, "", 2, ""},
  };
  const Refusals r = CountRefusals(counts);
  std::vector<std::pair<std::string, std::int64_t>> reasons;
  for (const auto& line : r.byReason) reasons.emplace_back(line.reason + line.policyId, line.count);
  const std::vector<std::pair<std::string, std::int64_t>> expected = {
      {"policySP01", 3}, {"policySP02", 1}, {"shell", 2}, {"application-rule", 1}, {"unrecorded", 1}};
  EXPECT_EQ(reasons, expected);
  EXPECT_EQ(r.recorded, 7);
  ASSERT_EQ(r.byClient.size(), 2u);
  EXPECT_EQ(r.byClient[0].key, "PC-1");
  EXPECT_EQ(r.byClient[0].Recorded(), 5);
  EXPECT_EQ(r.byClient[0].unrecorded, 1);  // 8 passed: 2 policy, 1 application rule, 4 logons
  EXPECT_EQ(r.byClient[1].key, "KIOSK");
  EXPECT_EQ(r.byClient[1].Recorded(), 2);
}

TEST(ReportRefusals, OfflineDecisionsApartByMode) {
  const std::string skipped = "; not checked: application limits, duplicate account, user limit";
  // Online: 3 startups, 3 passed, 1 policy refusal, 2 logons. Offline cached: 3 sessions, 2
  // admitted (and logged on), 1 refused by the policy; closed: 2 sessions, 1 refused by the
  // shell check, 1 by the policy (no snapshot).
  const std::vector<EventCount> counts = {
      {"APP1", "PC-1", 1, 2, "", 3, ""}, {"APP1", "PC-1", 2, 2, "", 3, ""}, {"APP1", "PC-1", 2, 1, "SP01", 1, ""},
      {"APP1", "PC-1", 2, 3, "", 4, ""},
      {"APP1", "PC-1", 1, 2, "", 3, "offline cached"}, {"APP1", "PC-1", 2, 2, "", 1, "offline cached"},
      {"APP1", "PC-1", 2, 2, "", 2, "offline cached" + skipped}, {"APP1", "PC-1", 2, 1, "SP01", 1, "offline cached"},
      {"APP1", "PC-1", 1, 2, "", 2, "offline closed"}, {"APP1", "PC-1", 2, 1, "", 1, "offline closed"},
      {"APP1", "PC-1", 2, 2, "", 1, "offline closed"}, {"APP1", "PC-1", 2, 1, "", 1, "offline closed"},
  };
  const Refusals r = CountRefusals(counts);
  std::vector<std::tuple<std::string, std::int64_t, std::int64_t, std::int64_t>> offline;
  for (const OfflineDecisions& o : r.offline) offline.emplace_back(o.mode, o.sessions, o.admitted, o.refused);
  const std::vector<std::tuple<std::string, std::int64_t, std::int64_t, std::int64_t>> expectedOffline = {
      {"cached", 3, 2, 1}, {"closed", 2, 0, 2}};
  EXPECT_EQ(offline, expectedOffline);
  std::vector<std::pair<std::string, std::int64_t>> reasons;
  for (const auto& line : r.byReason) reasons.emplace_back(line.reason + line.policyId, line.count);
  const std::vector<std::pair<std::string, std::int64_t>> expected = {
      {"policySP01", 1}, {"shell", 0}, {"application-rule", 0}, {"unrecorded", 0}, {"offline-cached", 1}, {"offline-closed", 2}};
  EXPECT_EQ(reasons, expected);
  EXPECT_EQ(r.recorded, 4);
  ASSERT_EQ(r.byClient.size(), 1u);
  EXPECT_EQ(r.byClient[0].offline, 3);
}

TEST(ReportCsv, FieldsASpreadsheetWouldRunAreText) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"alice", "alice"},
      {"张伟", "张伟"},
      {"", ""},
      {"-2+3", "'-2+3"},
      {"+1", "'+1"},
      {"@SUM(1+1)*cmd|'/C", "'@SUM(1+1)*cmd|'/C"},
      {"=HYPERLINK(\"http://x\",\"y\")", "\"'=HYPERLINK(\"\"http://x\"\",\"\"y\"\")\""},
      {"\tx", "'\tx"},
      {"\rx", "\"'\rx\""},
      {"a,b", "\"a,b\""},
      {"x=1", "x=1"},
      {"00-11-22", "00-11-22"},
  };
  for (const auto& [text, written] : cases) EXPECT_EQ(CsvField(text), written) << text;
}

TEST(ReportPage, EmbedsTheVendoredChartLibraryUnchanged) {
  for (const auto& [file, text] : {std::pair{"uPlot.iife.min.js", kUPlotScript}, std::pair{"uPlot.min.css", kUPlotStyle},
                                   std::pair{"LICENSE", kUPlotLicense}}) {
    std::stringstream vendored;
    vendored << std::ifstream(std::string(QBNOTIFY_SOURCE_DIR) + "/tools/qbnotify-report/vendor/" + file, std::ios::binary).rdbuf();
    EXPECT_EQ(vendored.str(), text) << file << ": run tools/qbnotify-report/vendor/embed.sh";
  }
}

}  // namespace
}  // namespace qbnotify::report
