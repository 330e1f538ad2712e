// What a period's sessions add up to, and the refusals read from the event log's counts.
#include <algorithm>

#include "tools/qbnotify-report/ReportModel.h"

namespace qbnotify::report {

Percentiles DurationPercentiles(const std::map<Seconds, std::int64_t>& durations) {
  std::int64_t total = 0;
  for (const auto& [value, count] : durations) total += count;
  if (total == 0) return {};
  // Nearest rank: the smallest value with at least ceil(p% of n) values at or below it.
  const auto rank = [&](std::int64_t percent) {
    const std::int64_t wanted = (total * percent + 99) / 100;
    std::int64_t seen = 0;
    for (const auto& [value, count] : durations) {
      seen += count;
      if (seen >= wanted) return value;
    }
    return durations.rbegin()->first;
  };
  return {rank(50), rank(95)};
}

UsageCounter::UsageCounter(Period period) : period_(period) {
  minutes_ = static_cast<std::size_t>(std::max<Seconds>(0, (period.end - period.begin) / 60));
  days_ = static_cast<std::size_t>(std::max<Seconds>(0, (period.end - period.begin) / 86400));
  farm_.daySessions.assign(days_, 0);
  farm_.minuteDelta.assign(minutes_ + 1, 0);
}

void UsageCounter::Add(const Anomaly& anomaly) {
  ++usage_.anomalyCount;
  if (usage_.anomalies.size() < kMaxAnomalies) usage_.anomalies.push_back(anomaly);
}

bool UsageCounter::Add(const Session& session) {
  const bool ended = !session.open && session.end <= period_.asOf;
  const Seconds end = ended ? session.end : period_.asOf;
  if (session.logon >= period_.asOf || end < period_.begin) return false;
  if (end == period_.begin && session.logon < period_.begin) return false;  // ended as the period began
  const Seconds from = std::max(session.logon, period_.begin);
  if (session.open && session.logon < period_.asOf - 86400)
    Add(Anomaly{"open-over-a-day", "", session.user, session.app, session.mac, session.sessionid, session.logon,
                "no logoff row: in use since " + FormatTime(session.logon) + " (a lost logoff row raises every later peak)"});

  Counts& app = apps_[session.app];
  if (app.minuteDelta.empty()) {
    app.daySessions.assign(days_, 0);
    app.minuteDelta.assign(minutes_ + 1, 0);
  }
  Count(farm_, session, ended, from, end);
  Count(app, session, ended, from, end);
  ++users_[session.user];
  ++clients_[session.mac];
  if (session.logon >= period_.begin) {
    const Seconds hour = (session.logon % 86400 + 86400) % 86400 / 3600;
    ++usage_.startsByWeekdayHour[Weekday(session.logon)][hour];
  }
  return true;
}

void UsageCounter::Count(Counts& counts, const Session& session, bool ended, Seconds from, Seconds to) {
  ++counts.sessions;
  counts.users.insert(session.user);
  counts.clients.insert(session.mac);
  if (ended) ++counts.durations[session.end - session.logon];
  else ++counts.openSessions;
  counts.connected += session.TimeIn(true, period_.begin, period_.asOf);
  counts.disconnected += session.TimeIn(false, period_.begin, period_.asOf);

  // In use over [from, to): each minute and day it touches; a session of no length, its own.
  const Seconds last = to > from ? to - 1 : from;
  if (minutes_ > 0) {
    const auto first = static_cast<std::size_t>((from - period_.begin) / 60);
    const auto final = std::min(minutes_ - 1, static_cast<std::size_t>((last - period_.begin) / 60));
    if (first < minutes_) {
      ++counts.minuteDelta[first];
      --counts.minuteDelta[final + 1];
    }
  }
  for (Seconds day = (from - period_.begin) / 86400; day <= (last - period_.begin) / 86400; ++day) {
    if (day >= static_cast<Seconds>(days_)) break;
    ++counts.daySessions[static_cast<std::size_t>(day)];
    counts.dayUsers.emplace(day, session.user);
    counts.dayClients.emplace(day, session.mac);
  }
}

UsageTotals UsageCounter::Total(Counts& counts) const {
  UsageTotals totals;
  totals.sessions = counts.sessions;
  totals.users = static_cast<std::int64_t>(counts.users.size());
  totals.clients = static_cast<std::int64_t>(counts.clients.size());
  totals.openSessions = counts.openSessions;
  totals.duration = DurationPercentiles(counts.durations);
  totals.connected = counts.connected;
  totals.disconnected = counts.disconnected;
  totals.days.assign(days_, {});
  for (std::size_t day = 0; day < days_ && day < counts.daySessions.size(); ++day)
    totals.days[day].sessions = counts.daySessions[day];
  for (const auto& entry : counts.dayUsers) ++totals.days[static_cast<std::size_t>(entry.first)].users;
  for (const auto& entry : counts.dayClients) ++totals.days[static_cast<std::size_t>(entry.first)].clients;
  totals.perMinute.assign(minutes_, 0);
  int running = 0;
  for (std::size_t minute = 0; minute < minutes_ && minute < counts.minuteDelta.size(); ++minute) {
    running += counts.minuteDelta[minute];
    totals.perMinute[minute] = running;
    if (running > totals.peak) {
      totals.peak = running;
      totals.peakAt = period_.begin + static_cast<Seconds>(minute) * 60;
    }
  }
  return totals;
}

Usage UsageCounter::Finish(const std::map<std::string, std::string>& names,
                           const std::map<std::string, std::int64_t>& limits) {
  usage_.farm = Total(farm_);
  for (const auto& entry : names) apps_.try_emplace(entry.first);
  for (auto& [appId, counts] : apps_) {
    ApplicationUsage app;
    app.appId = appId;
    if (const auto name = names.find(appId); name != names.end()) app.name = name->second;
    if (const auto limit = limits.find(appId); limit != limits.end() && limit->second > 0) app.limit = limit->second;
    app.totals = Total(counts);
    usage_.applications.push_back(std::move(app));
  }
  const auto top = [](const std::map<std::string, std::int64_t>& counts) {
    std::vector<Ranked> ranked;
    for (const auto& [key, sessions] : counts) ranked.push_back({key, sessions});
    const std::size_t keep = std::min(kTopCount, ranked.size());
    std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(keep), ranked.end(),
                      [](const Ranked& a, const Ranked& b) { return a.sessions != b.sessions ? a.sessions > b.sessions : a.key < b.key; });
    ranked.resize(keep);
    return ranked;
  };
  usage_.topUsers = top(users_);
  usage_.topClients = top(clients_);
  return std::move(usage_);
}

Refusals CountRefusals(const std::vector<EventCount>& counts) {
  struct Tally {
    std::int64_t startups = 0, passed = 0, unnamed = 0, logons = 0, offlineAdmitted = 0, offlineRefused = 0;
    std::map<std::string, std::int64_t> policies, offlineRefusedByMode;
  };
  std::map<std::pair<std::string, std::string>, Tally> tallies;
  std::map<std::string, OfflineDecisions> offline;
  for (const EventCount& count : counts) {
    Tally& tally = tallies[{count.app, count.computer}];
    if (!count.parameter2.empty()) {
      // "offline MODE", and after the last record of an admission "; not checked: ...".
      const std::string mark = count.parameter2.substr(0, count.parameter2.find(';'));
      const std::string mode = mark.substr(std::min(mark.size(), mark.find(' ') + 1));
      OfflineDecisions& decisions = offline[mode];
      decisions.mode = mode;
      if (count.typeId == 1 && count.eventId == 2) decisions.sessions += count.count;
      if (count.parameter2.size() > mark.size()) {
        decisions.admitted += count.count;
        tally.offlineAdmitted += count.count;
      }
      if (count.eventId == 1) {
        decisions.refused += count.count;
        tally.offlineRefused += count.count;
        tally.offlineRefusedByMode[mode] += count.count;
      }
      continue;
    }
    if (count.eventId == 1) {
      if (count.parameter1.empty()) tally.unnamed += count.count;
      else tally.policies[count.parameter1] += count.count;
    } else if (count.eventId == 2) {
      (count.typeId == 1 ? tally.startups : tally.passed) += count.count;
    } else if (count.eventId == 3) {
      tally.logons += count.count;
    }
  }

  Refusals refusals;
  std::map<std::string, std::int64_t> byPolicy, byOfflineMode;
  std::map<std::string, Refusals::Group> byApp, byClient;
  std::int64_t shell = 0, applicationRule = 0;
  for (const auto& [key, tally] : tallies) {
    Refusals::Group group;
    group.shell = std::clamp<std::int64_t>(tally.startups - tally.passed, 0, tally.unnamed);
    group.applicationRule = tally.unnamed - group.shell;
    for (const auto& [policy, number] : tally.policies) {
      byPolicy[policy] += number;
      group.policy += number;
    }
    for (const auto& [mode, number] : tally.offlineRefusedByMode) byOfflineMode[mode] += number;
    group.offline = tally.offlineRefused;
    // The sessions admitted offline log on too; their logons are not the online sessions'.
    const std::int64_t onlineLogons = std::max<std::int64_t>(0, tally.logons - tally.offlineAdmitted);
    group.unrecorded = std::max<std::int64_t>(0, tally.passed - group.policy - group.applicationRule - onlineLogons);
    shell += group.shell;
    applicationRule += group.applicationRule;
    refusals.unrecorded += group.unrecorded;
    refusals.recorded += group.Recorded();
    for (auto* target : {&byApp[key.first], &byClient[key.second]}) {
      target->policy += group.policy;
      target->shell += group.shell;
      target->applicationRule += group.applicationRule;
      target->unrecorded += group.unrecorded;
      target->offline += group.offline;
    }
  }
  for (const auto& [policy, number] : byPolicy) refusals.byReason.push_back({"policy", policy, number});
  refusals.byReason.push_back({"shell", "", shell});
  refusals.byReason.push_back({"application-rule", "", applicationRule});
  refusals.byReason.push_back({"unrecorded", "", refusals.unrecorded});
  for (const auto& [mode, number] : byOfflineMode) refusals.byReason.push_back({"offline-" + mode, "", number});
  for (const auto& [mode, decisions] : offline) refusals.offline.push_back(decisions);
  const auto list = [](std::map<std::string, Refusals::Group>& groups) {
    std::vector<Refusals::Group> out;
    for (auto& [key, group] : groups) {
      group.key = key;
      if (group.Recorded() + group.unrecorded > 0) out.push_back(group);
    }
    std::stable_sort(out.begin(), out.end(), [](const Refusals::Group& a, const Refusals::Group& b) {
      return a.Recorded() + a.unrecorded > b.Recorded() + b.unrecorded;
    });
    return out;
  };
  refusals.byApplication = list(byApp);
  refusals.byClient = list(byClient);
  return refusals;
}

}  // namespace qbnotify::report
