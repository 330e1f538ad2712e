// Sessions from the audit's rows, and the report's times as seconds (the calendar from
// environment/Calendar).
#include <algorithm>
#include <cstdio>
#include <tuple>

#include "environment/Calendar.h"
#include "tools/qbnotify-report/ReportModel.h"

namespace qbnotify::report {
namespace {

bool Digits(std::string_view text, std::size_t at, std::size_t count, unsigned& value) {
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
  }
  return true;
}

Seconds FloorDiv(Seconds a, Seconds b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

std::string Format(Seconds time, std::size_t length) {
  if (time == kNoTime) return std::string("0000-00-00 00:00:00").substr(0, length);
  int y, m, d;
  const Seconds days = FloorDiv(time, 86400), rest = time - days * 86400;
  qbnotify::CivilFromDays(days, y, m, d);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", y, m, d,
                static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
  return std::string(text).substr(0, length);
}

}  // namespace

std::optional<Seconds> ParseLocalTime(std::string_view text) {
  if (text.size() != 10 && text.size() != 19) return std::nullopt;
  unsigned y, mo, d, h = 0, mi = 0, s = 0;
  if (!Digits(text, 0, 4, y) || text[4] != '-' || !Digits(text, 5, 2, mo) || text[7] != '-' || !Digits(text, 8, 2, d))
    return std::nullopt;
  if (text.size() == 19 && (text[10] != ' ' || !Digits(text, 11, 2, h) || text[13] != ':' || !Digits(text, 14, 2, mi) ||
                            text[16] != ':' || !Digits(text, 17, 2, s)))
    return std::nullopt;
  if (y == 0 && mo == 0 && d == 0 && h == 0 && mi == 0 && s == 0) return kNoTime;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59) return std::nullopt;
  return qbnotify::DaysFromCivil(static_cast<int>(y), static_cast<int>(mo), static_cast<int>(d)) * 86400 + h * 3600 + mi * 60 + s;
}

std::string FormatTime(Seconds time) { return Format(time, 19); }
std::string FormatMinute(Seconds time) { return Format(time, 16); }
std::string FormatDate(Seconds time) { return Format(time, 10); }
int Weekday(Seconds time) { return static_cast<int>(((FloorDiv(time, 86400) + 3) % 7 + 7) % 7); }  // 1970-01-01: Thursday

Seconds EventTime(const AuditRow& row) { return row.stop == kNoTime ? row.start : std::max(row.start, row.stop); }

int KindRank(const AuditRow& row) {
  if (row.stop == kNoTime) return 0;
  if (row.start != row.stop) return row.start > row.stop ? 1 : 2;
  return 3;  // within one second: a reconnect after the disconnect it follows
}

void SortForChaining(std::vector<AuditRow>& rows) {
  std::sort(rows.begin(), rows.end(), [](const AuditRow& a, const AuditRow& b) {
    return std::forward_as_tuple(a.sessionid, a.user, a.app, a.mac) < std::forward_as_tuple(b.sessionid, b.user, b.app, b.mac) ||
           (std::forward_as_tuple(a.sessionid, a.user, a.app, a.mac) == std::forward_as_tuple(b.sessionid, b.user, b.app, b.mac) &&
            std::make_tuple(EventTime(a), KindRank(a), std::string_view(a.logid)) <
                std::make_tuple(EventTime(b), KindRank(b), std::string_view(b.logid)));
  });
}

Seconds Session::TimeIn(bool connected, Seconds from, Seconds to) const {
  Seconds total = 0;
  for (const Stretch& stretch : stretches) {
    if (stretch.connected != connected) continue;
    const Seconds a = std::max(stretch.from, from), b = std::min(stretch.to == kNoTime ? to : stretch.to, to);
    if (b > a) total += b - a;
  }
  return total;
}

SessionChainer::SessionChainer(std::function<void(const Session&)> sessionSink,
                               std::function<void(const Anomaly&)> anomalySink, LastStopReader lastStop)
    : sessionSink_(std::move(sessionSink)), anomalySink_(std::move(anomalySink)), lastStop_(std::move(lastStop)) {}

// Stops the connected stretch (or, stopped before, the disconnected one after it) at `at`.
void SessionChainer::Stop(Open& open, Seconds at, Seconds rowStop) {
  std::vector<Stretch>& stretches = open.session.stretches;
  if (open.stoppedAt != kNoTime) stretches.push_back({open.stoppedTime, at, false});  // the earlier stop was a disconnect
  else if (!stretches.empty()) stretches.back().to = std::max(stretches.back().from, at);
  open.stoppedAt = rowStop;
  open.stoppedTime = at;
}

void SessionChainer::Add(const AuditRow& row) {
  if (groupKey_ && std::tie(groupKey_->sessionid, groupKey_->user, groupKey_->app, groupKey_->mac) !=
                       std::tie(row.sessionid, row.user, row.app, row.mac))
    Flush();
  if (!groupKey_) groupKey_ = row;

  const auto anomaly = [&](const char* kind, std::string detail) {
    anomalySink_({kind, row.logid, row.user, row.app, row.mac, row.sessionid, EventTime(row), std::move(detail)});
  };
  if (row.start == kNoTime) {
    anomaly("no-start-time", "the row has no start time");
    return;
  }
  const auto find = [&](auto matches) {
    for (auto it = group_.rbegin(); it != group_.rend(); ++it)
      if (matches(*it)) return &*it;
    return static_cast<Open*>(nullptr);
  };
  const auto connectedSince = [&](Seconds start) {
    return find([&](const Open& o) { return o.stoppedAt == kNoTime && o.currentStart == start; });
  };

  if (row.stop == kNoTime) {  // a logon
    if (find([&](const Open& o) { return o.session.logon == row.start && o.stoppedAt == kNoTime && o.currentStart == row.start; })) {
      anomaly("logon-twice", "a second logon row of a session at the same time");
      return;
    }
    Open open;
    open.session = {row.sessionid, row.user, row.app, row.mac, row.start, kNoTime, {{row.start, kNoTime, true}}, false, false};
    open.currentStart = row.start;
    group_.push_back(std::move(open));
    return;
  }

  // A reconnect: the start after the stop of a disconnect of the same session. Within one
  // second a reconnect row can have its start equal to its stop.
  Open* const stopped = find([&](const Open& o) { return o.stoppedAt == row.stop && o.currentStart != row.start; });
  if (row.start > row.stop || (row.start == row.stop && stopped)) {
    if (stopped) {
      stopped->session.stretches.push_back({stopped->stoppedTime, std::max(stopped->stoppedTime, row.start), false});
      stopped->session.stretches.push_back({row.start, kNoTime, true});
      stopped->currentStart = row.start;
      stopped->stoppedAt = kNoTime;
      stopped->stoppedTime = kNoTime;
    } else if (Open* open = connectedSince(row.start)) {
      // The stop of a session connected since the row's start, written by a clock set back.
      anomaly("stop-before-start", "the stop time lies before the start (a clock set back): read as a stop at its start");
      Stop(*open, row.start, row.stop);
    } else {
      anomaly("stop-before-start", "the stop time lies before the start and follows no disconnect at that time");
    }
    return;
  }

  // A stop: a disconnect or the logoff of the session connected since the row's start; or,
  // stopped before without a reconnect since, the earlier stop was a disconnect.
  if (Open* open = connectedSince(row.start)) return Stop(*open, row.stop, row.stop);
  if (Open* again = find([&](const Open& o) { return o.stoppedAt != kNoTime && o.currentStart == row.start; }))
    return Stop(*again, std::max(again->stoppedTime, row.stop), row.stop);
  anomaly("no-logon", "a stop row whose logon row is missing; counted as a session from its start");
  Open open;
  open.session = {row.sessionid, row.user, row.app, row.mac, row.start, kNoTime, {{row.start, row.stop, true}}, false, true};
  open.currentStart = row.start;
  open.stoppedAt = row.stop;
  open.stoppedTime = row.stop;
  group_.push_back(std::move(open));
}

void SessionChainer::Flush() {
  std::sort(group_.begin(), group_.end(), [](const Open& a, const Open& b) { return a.session.logon < b.session.logon; });
  for (Open& open : group_) {
    Session& session = open.session;
    if (open.stoppedAt == kNoTime) {
      session.open = true;  // connected since its last logon or reconnect
    } else if (lastStop_ && lastStop_(session, open.stoppedTime) == LastStop::Disconnect) {
      session.stretches.push_back({open.stoppedTime, kNoTime, false});
      session.open = true;
    } else {
      session.end = open.stoppedTime;
    }
    sessionSink_(session);
  }
  group_.clear();
  groupKey_.reset();
}

void SessionChainer::Finish() { Flush(); }

}  // namespace qbnotify::report
