#include "policy/Offline.h"

#include <algorithm>

#include "environment/ConnectionSettings.h"
#include "environment/Switches.h"
#include "policy/GbkCollation.h"
#include "store/Rows.h"
#include "store/spool/SpoolCounts.h"

namespace qbnotify {
namespace {

std::string Trimmed(std::string text) {
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.pop_back();
  std::size_t begin = 0;
  while (begin < text.size() && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
  return text.substr(begin);
}

std::optional<std::uint32_t> ParseWhole(const std::string& text, std::uint32_t highest) {
  const std::optional<std::uint64_t> value = spool::ParseCount(Trimmed(text));
  if (!value || *value > highest) return std::nullopt;
  return static_cast<std::uint32_t>(*value);
}

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::int32_t Today(const DateTime& now) { return now.year * 10000 + now.month * 100 + now.day; }

// SUBSTRING_INDEX(text, '.', count).
std::string_view Field(std::string_view text, int count) {
  if (count > 0) {
    std::size_t at = 0;
    for (int i = 0; i < count; ++i) {
      const std::size_t dot = text.find('.', at);
      if (dot == std::string_view::npos) return text;
      if (i == count - 1) return text.substr(0, dot);
      at = dot + 1;
    }
    return text;
  }
  std::size_t end = text.size();
  for (int i = 0; i < -count; ++i) {
    const std::size_t dot = end == 0 ? std::string_view::npos : text.rfind('.', end - 1);
    if (dot == std::string_view::npos) return text;
    if (i == -count - 1) return text.substr(dot + 1);
    end = dot;
  }
  return text;
}

// The four octets as the rule query takes them apart.
struct Octets {
  std::string_view o1, o2, o3, o4;
};
Octets OctetsOf(std::string_view ip) {
  return {Field(ip, 1), Field(Field(ip, 2), -1), Field(Field(ip, 3), -1), Field(ip, -1)};
}

int Cmp(std::string_view a, std::string_view b) { return gbk::Compare(a, b); }

// lo <= hi by the rule query's octet order (the last octet compared with "<=").
bool NotAfter(const Octets& lo, const Octets& hi) {
  return Cmp(lo.o1, hi.o1) < 0 || (Cmp(lo.o1, hi.o1) == 0 && Cmp(lo.o2, hi.o2) < 0) ||
         (Cmp(lo.o1, hi.o1) == 0 && Cmp(lo.o2, hi.o2) == 0 && Cmp(lo.o3, hi.o3) < 0) ||
         (Cmp(lo.o1, hi.o1) == 0 && Cmp(lo.o2, hi.o2) == 0 && Cmp(lo.o3, hi.o3) == 0 && Cmp(lo.o4, hi.o4) <= 0);
}

// A column compared with a text as the server compares it: NULL never equals.
bool Is(const SnapshotText& column, std::string_view text) { return column && gbk::Equal(*column, text); }
bool Is(const SnapshotNumber& column, std::int32_t value) { return column && *column == value; }

bool PatternHolds(const std::string& client, const SnapshotText& pattern, const char* any) {
  if (!pattern) return false;
  return gbk::Like(client, gbk::WildcardsToLike(*pattern)) || gbk::Equal(*pattern, any) ||
         (client.find('*') == std::string::npos && client.find('?') == std::string::npos && gbk::Equal(*pattern, client));
}

// Mid(DayFlags, weekday + 2, 1) = 1: the character at that place (counted in characters) is "1".
bool DayAllowed(const SnapshotText& flags, int weekday) {
  if (!flags) return false;
  std::size_t at = 0;
  for (int position = 1; at < flags->size(); ++position) {
    const std::size_t length = gbk::CharLength(std::string_view(*flags).substr(at));
    if (position == weekday + 2) return length == 1 && (*flags)[at] == '1';
    at += length;
  }
  return false;
}

bool TimeHolds(const SnapshotTimeGroup& g, const DateTime& now) {
  const std::int32_t today = Today(now);
  const std::int32_t clock = now.hour * 3600 + now.minute * 60 + now.second;
  const bool started = g.startDay && *g.startDay <= today;
  const bool dates = started && g.endDay && (today <= *g.endDay || *g.endDay == 0);
  const bool times = g.startTime && *g.startTime <= clock && g.endTime && clock <= *g.endTime;
  return (DayAllowed(g.dayFlags, Weekday(now)) && dates && times) || Is(g.dayType, 0);
}

bool AddressHolds(const SnapshotAddressGroup& g, const std::string& address) {
  if (Is(g.addressType, "0")) return true;
  if (!g.ip1) return false;  // every other kind compares Ip1: NULL holds for none
  const Octets client = OctetsOf(address);
  const Octets ip1 = OctetsOf(*g.ip1);
  if (Is(g.addressType, "2") && gbk::Equal(*g.ip1, address)) return true;
  if (Is(g.addressType, "4") && g.ip2 && NotAfter(ip1, client) && NotAfter(client, OctetsOf(*g.ip2))) return true;
  return Is(g.addressType, "8") && Cmp(ip1.o1, client.o1) == 0 && Cmp(ip1.o2, client.o2) == 0 &&
         Cmp(ip1.o3, client.o3) == 0;
}

template <typename Row, typename Key>
const Row* FindBy(const std::vector<Row>& rows, const SnapshotText& id, Key key) {
  if (!id) return nullptr;
  for (const Row& row : rows)
    if (Is(key(row), *id)) return &row;
  return nullptr;
}

PolicyRule RuleOf(const SnapshotRule& r, const SnapshotAddressGroup* a, const SnapshotTimeGroup* t) {
  // The reader of the rule query reads a NULL as 0 or the empty text.
  const auto text = [](const SnapshotText& v) { return v.value_or(std::string()); };
  PolicyRule rule;
  rule.sortId = r.sortId.value_or(0);
  rule.clientName = text(r.clientName);
  rule.mac = text(r.mac);
  rule.clientProtocol = r.clientProtocol.value_or(0);
  rule.action = r.action.value_or(0);
  rule.addressId = text(r.addressGroupId);
  rule.timeId = text(r.timeId);
  if (a) {
    rule.addressType = text(a->addressType);
    rule.ip1 = text(a->ip1);
    rule.ip2 = text(a->ip2);
  }
  if (t) {
    rule.dayType = t->dayType.value_or(0);
    rule.dayFlags = text(t->dayFlags);
    rule.startDay = t->startDay ? FormatSqlDate(t->startDay) : "";
    rule.endDay = t->endDay ? FormatSqlDate(t->endDay) : "";
    rule.startTime = t->startTime ? FormatSqlTime(t->startTime) : "";
    rule.endTime = t->endTime ? FormatSqlTime(t->endTime) : "";
  }
  return rule;
}

// The second stage of the context without the database: the switches, and from the snapshot
// (when there is one) the user's identifier and the application's display name.
void FillSecondStageOffline(Instance& instance, const OfflineSnapshot* snapshot) {
  Platform& platform = instance.platform;
  SessionContext& context = instance.context;
  context.AppId = GetSwitchValue(platform, "/N:");
  context.ClientMac = GetSwitchValue(platform, "/M:");
  const std::string userName = GetSwitchValue(platform, "/U:");
  std::string showName;
  if (snapshot) {
    if (const SnapshotUser* user = FindBy(snapshot->users, userName, [](const SnapshotUser& u) { return u.name; }))
      context.UserId = user->userId.value_or("");
    const std::string appId = FirstBytes(context.AppId, AuditRecord::kAppIdBytes);
    if (const SnapshotApplication* app =
            FindBy(snapshot->applications, appId, [](const SnapshotApplication& a) { return a.appId; }))
      showName = app->name.value_or("");
  }
  AuditRecord& audit = context.Audit;
  audit.sessionid = FirstBytes(GetSwitchValue(platform, "/E:"), AuditRecord::kSessionIdBytes);
  audit.farmuser = FirstBytes(userName, AuditRecord::kFarmUserBytes);
  audit.appid = FirstBytes(context.AppId, AuditRecord::kAppIdBytes);
  audit.clientmac = FirstBytes(context.ClientMac, AuditRecord::kClientMacBytes);
  audit.starttime = platform.LocalNow();
  audit.appshowname = FirstBytes(showName, AuditRecord::kAppShowNameBytes);
}

}  // namespace

const char* OfflineModeName(OfflineMode mode) {
  switch (mode) {
    case OfflineMode::Open: return "open";
    case OfflineMode::Closed: return "closed";
    case OfflineMode::Cached: return "cached";
  }
  return "";
}

OfflineSettings ParseOfflineSettings(const std::string& admission, const std::string& refreshSeconds,
                                     const std::string& maxAgeHours) {
  OfflineSettings settings;
  settings.admissionText = admission;
  settings.sectionPresent = !admission.empty() || !refreshSeconds.empty() || !maxAgeHours.empty();
  const std::string value = Lower(Trimmed(admission));
  if (value.empty() || value == "open") settings.mode = OfflineMode::Open;
  else if (value == "closed") settings.mode = OfflineMode::Closed;
  else if (value == "cached") settings.mode = OfflineMode::Cached;
  else {
    settings.mode = OfflineMode::Closed;
    settings.admissionKnown = false;
  }
  settings.refreshSeconds = ParseWhole(refreshSeconds, 7 * 24 * 3600).value_or(settings.refreshSeconds);
  settings.maxAgeHours = ParseWhole(maxAgeHours, 10 * 366 * 24).value_or(settings.maxAgeHours);
  return settings;
}

OfflineSettings ReadOfflineSettings(Platform& platform) {
  const auto read = [&](const char* key) { return ReadPlainSetting(platform, kOfflineSection, key); };
  return ParseOfflineSettings(read("Admission"), read("RefreshSeconds"), read("MaxAgeHours"));
}

OfflineMoment OfflineMomentNow(Platform& platform) { return {platform.UtcNow(), CurrentFarm(platform), std::nullopt}; }

std::string SnapshotUnusable(const OfflineSnapshot& snapshot, const OfflineSettings& settings, const OfflineMoment& moment) {
  if (snapshot.farm.database != moment.farm.database || snapshot.farm.servers != moment.farm.servers)
    return "the snapshot is of another farm (database '" + snapshot.farm.database + "')";
  const long long age = SecondsBetween(snapshot.takenUtc, moment.utc);
  if (age < -kClockBehindSeconds) return "this machine's UTC clock is behind the snapshot's by " + std::to_string(-age) + " s";
  if (age > static_cast<long long>(settings.maxAgeHours) * 3600) return "the snapshot is older than MaxAgeHours";
  return "";
}

DateTime ServerTimeAt(const OfflineSnapshot& snapshot, const OfflineMoment& moment) {
  if (moment.serverTime) return *moment.serverTime;
  return AddSeconds(snapshot.serverTime, std::max(0LL, SecondsBetween(snapshot.takenUtc, moment.utc)));
}

std::vector<RuleEvaluation> EvaluateRulesOffline(const OfflineSnapshot& snapshot, const std::string& policyId,
                                                 const RuleClient& client, const DateTime& now) {
  std::vector<const SnapshotRule*> rules;
  for (const SnapshotRule& rule : snapshot.rules)
    if (Is(rule.secPid, policyId)) rules.push_back(&rule);
  // Ascending SortID, NULL first, as the server orders; rules of equal SortID as read.
  std::stable_sort(rules.begin(), rules.end(),
                   [](const SnapshotRule* a, const SnapshotRule* b) { return a->sortId < b->sortId; });
  std::vector<RuleEvaluation> out;
  for (const SnapshotRule* rule : rules) {
    const SnapshotAddressGroup* address = FindBy(snapshot.addressGroups, rule->addressGroupId,
                                                 [](const SnapshotAddressGroup& g) { return g.addressId; });
    const SnapshotTimeGroup* time =
        FindBy(snapshot.timeGroups, rule->timeId, [](const SnapshotTimeGroup& g) { return g.timeId; });
    RuleEvaluation e;
    e.rule = RuleOf(*rule, address, time);
    e.addressGroupFound = address != nullptr;
    e.timeGroupFound = time != nullptr;
    e.clientName = PatternHolds(client.name, rule->clientName, kAnyName);
    e.mac = PatternHolds(client.mac, rule->mac, kAnyMac);
    e.protocol = Is(rule->clientProtocol, 1) || Is(rule->clientProtocol, 0);
    e.time = time && TimeHolds(*time, now);
    e.address = address && AddressHolds(*address, client.address);
    out.push_back(std::move(e));
  }
  return out;
}

OfflineDecision DecideOffline(Instance& instance, const OfflineSettings& settings,
                              const std::optional<OfflineSnapshot>& snapshot, const OfflineMoment& moment) {
  OfflineDecision d;
  d.configured = settings.mode;
  const std::string unusable = snapshot ? SnapshotUnusable(*snapshot, settings, moment) : "";
  const bool usable = settings.mode == OfflineMode::Cached && snapshot && unusable.empty();
  d.mode = usable ? OfflineMode::Cached : OfflineMode::Closed;
  if (settings.mode == OfflineMode::Cached) {
    if (!snapshot) d.snapshotNote = "no usable snapshot (missing or failing its check): decided as closed";
    else if (!usable) d.snapshotNote = unusable + ": decided as closed";
    else d.snapshotNote = "snapshot taken " + std::to_string(SecondsBetween(snapshot->takenUtc, moment.utc)) + " s ago";
  }
  const DateTime now = usable ? ServerTimeAt(*snapshot, moment) : DateTime{};
  d.mark = usable ? "offline cached" : "offline closed";
  FillSecondStageOffline(instance, usable ? &*snapshot : nullptr);
  const SessionContext& context = instance.context;
  const auto due = [&](EventRecord record) {
    record.parameter2 = d.mark;
    d.records.push_back(std::move(record));
  };
  const auto decided = [&](int reason, const char* by) {
    d.reason = reason;
    d.decidedBy = by;
    if (reason == kAdmitted && !d.records.empty()) d.records.back().parameter2 += std::string("; ") + kSkippedOffline;
    return d;
  };
  due(EventRecord{1, 2, context.ClientMac});
  d.shell = CheckShellIntegrity(instance);
  due(d.shell.record);
  if (d.shell.result == kRefusedByShell) return decided(kRefusedByShell, "shell");

  d.policyConsulted = NeedsSecurityPolicy(instance.platform, context.AppId);
  if (!d.policyConsulted) return decided(kAdmitted, "");
  PolicyDecision& policy = d.policy.emplace();
  const auto refuse = [&](PolicyDecision::Outcome outcome, const std::string& parameter1) {
    policy.outcome = outcome;
    policy.result = kRefusedByPolicy;
    policy.record = EventRecord{2, 1, parameter1};
    due(*policy.record);
    return decided(kRefusedByPolicy, "policy");
  };
  if (!usable) {
    d.policy.reset();
    due(EventRecord{2, 1, ""});
    return decided(kRefusedByPolicy, "policy");
  }
  const SnapshotApplication* app =
      FindBy(snapshot->applications, context.AppId, [](const SnapshotApplication& a) { return a.appId; });
  if (!app) return refuse(PolicyDecision::Outcome::NoApplication, "");
  policy.policyId = app->policyId.value_or("");  // NULL reads as the empty text, as online
  policy.outcome = PolicyDecision::Outcome::NoPolicy;
  if (!policy.policyId.empty() && policy.policyId != "NULL") {
    d.rules = EvaluateRulesOffline(*snapshot, policy.policyId, ReadRuleClient(instance), now);
    RuleMatch& match = policy.match.emplace();
    for (const RuleEvaluation& rule : d.rules)
      if (rule.Matches()) match.rules.push_back(rule.rule);
    match.admits = !match.rules.empty() && match.rules.front().action == 0;
    if (!match.admits)
      return refuse(match.rules.empty() ? PolicyDecision::Outcome::NoRuleMatched : PolicyDecision::Outcome::RuleRefused,
                    policy.policyId);
    policy.outcome = PolicyDecision::Outcome::RuleAdmitted;
  }
  return decided(kAdmitted, "");
}

}  // namespace qbnotify
