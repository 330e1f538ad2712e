#include "policy/OfflineSnapshot.h"

#include <charconv>
#include <cstdio>
#include <new>

#include "policy/SnapshotRefresh.h"
#include "store/Database.h"
#include "store/OwnDirectory.h"
#include "store/StateDirectory.h"

namespace qbnotify {
namespace {

constexpr std::string_view kSnapshotMagic = "QBOFFLINE 1\n";

// Fields one after another: a text as "<length>:<bytes>", a number as "#<decimal>;", a
// missing value as "-".
class Writer {
 public:
  void Text(const std::string& text) {
    out_ += std::to_string(text.size());
    out_ += ':';
    out_ += text;
  }
  void Number(long long value) {
    out_ += '#';
    out_ += std::to_string(value);
    out_ += ';';
  }
  void Optional(const std::optional<std::int32_t>& value) {
    if (value) Number(*value);
    else out_ += '-';
  }
  std::string out_;
};

class Reader {
 public:
  explicit Reader(std::string_view in) : in_(in) {}
  bool Text(std::string& text) {
    const std::size_t colon = in_.find(':', at_);
    if (colon == std::string_view::npos || colon == at_ || colon - at_ > 9) return false;
    std::size_t length = 0;
    if (!Digits(in_.substr(at_, colon - at_), length)) return false;
    if (in_.size() - colon - 1 < length) return false;
    text.assign(in_.substr(colon + 1, length));
    at_ = colon + 1 + length;
    return true;
  }
  bool Number(long long& value) {
    if (at_ >= in_.size() || in_[at_] != '#') return false;
    const std::size_t end = in_.find(';', at_);
    if (end == std::string_view::npos) return false;
    const char* first = in_.data() + at_ + 1;
    const char* last = in_.data() + end;
    const auto [ptr, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || ptr != last || first == last) return false;
    at_ = end + 1;
    return true;
  }
  bool Int(std::int32_t& value) {
    long long wide = 0;
    if (!Number(wide) || wide < INT32_MIN || wide > INT32_MAX) return false;
    value = static_cast<std::int32_t>(wide);
    return true;
  }
  bool Optional(std::optional<std::int32_t>& value) {
    if (at_ < in_.size() && in_[at_] == '-') {
      ++at_;
      value.reset();
      return true;
    }
    std::int32_t v = 0;
    if (!Int(v)) return false;
    value = v;
    return true;
  }
  bool Count(std::size_t& count) {
    long long wide = 0;
    // Each row takes several bytes: a count past the remaining bytes is not a snapshot's.
    if (!Number(wide) || wide < 0 || static_cast<std::size_t>(wide) > in_.size() - at_) return false;
    count = static_cast<std::size_t>(wide);
    return true;
  }
  bool AtEnd() const { return at_ == in_.size(); }

 private:
  static bool Digits(std::string_view text, std::size_t& value) {
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && ptr == text.data() + text.size();
  }
  std::string_view in_;
  std::size_t at_ = 0;
};

template <typename Row, typename Each>
bool ReadRows(Reader& reader, std::vector<Row>& rows, Each each) {
  std::size_t count = 0;
  if (!reader.Count(count)) return false;
  rows.resize(count);
  for (Row& row : rows)
    if (!each(row)) return false;
  return true;
}

std::string StatePath(const StateDirectory& state, const char* leaf) { return state.Directory() + "\\" + leaf; }

}  // namespace

std::string EncodeSnapshot(const OfflineSnapshot& s) {
  Writer w;
  w.out_ = std::string(kSnapshotMagic);
  const DateTime& t = s.takenAt;
  for (const int part : {t.year, t.month, t.day, t.hour, t.minute, t.second}) w.Number(part);
  w.Number(static_cast<long long>(s.applications.size()));
  for (const auto& a : s.applications) {
    w.Text(a.appId);
    w.Text(a.name);
    w.Text(a.policyId);
  }
  w.Number(static_cast<long long>(s.rules.size()));
  for (const auto& r : s.rules) {
    w.Number(r.ruleId);
    w.Text(r.secPid);
    w.Number(r.sortId);
    w.Text(r.clientName);
    w.Text(r.mac);
    w.Number(r.clientProtocol);
    w.Text(r.addressGroupId);
    w.Text(r.timeId);
    w.Number(r.action);
  }
  w.Number(static_cast<long long>(s.addressGroups.size()));
  for (const auto& g : s.addressGroups) {
    w.Text(g.addressId);
    w.Text(g.addressType);
    w.Text(g.ip1);
    w.Text(g.ip2);
  }
  w.Number(static_cast<long long>(s.timeGroups.size()));
  for (const auto& g : s.timeGroups) {
    w.Text(g.timeId);
    w.Number(g.dayType);
    w.Text(g.dayFlags);
    w.Optional(g.startDay);
    w.Optional(g.endDay);
    w.Optional(g.startTime);
    w.Optional(g.endTime);
  }
  w.Number(static_cast<long long>(s.users.size()));
  for (const auto& u : s.users) {
    w.Text(u.name);
    w.Text(u.userId);
  }
  return std::move(w.out_);
}

std::optional<OfflineSnapshot> DecodeSnapshot(const std::string& content) {
  try {
    if (content.compare(0, kSnapshotMagic.size(), kSnapshotMagic) != 0) return std::nullopt;
    Reader r(std::string_view(content).substr(kSnapshotMagic.size()));
    OfflineSnapshot s;
    DateTime& t = s.takenAt;
    for (int* part : {&t.year, &t.month, &t.day, &t.hour, &t.minute, &t.second}) {
      std::int32_t v = 0;
      if (!r.Int(v)) return std::nullopt;
      *part = v;
    }
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31) return std::nullopt;
    const bool ok =
        ReadRows(r, s.applications, [&](SnapshotApplication& a) { return r.Text(a.appId) && r.Text(a.name) && r.Text(a.policyId); }) &&
        ReadRows(r, s.rules,
                 [&](SnapshotRule& x) {
                   return r.Int(x.ruleId) && r.Text(x.secPid) && r.Int(x.sortId) && r.Text(x.clientName) && r.Text(x.mac) &&
                          r.Int(x.clientProtocol) && r.Text(x.addressGroupId) && r.Text(x.timeId) && r.Int(x.action);
                 }) &&
        ReadRows(r, s.addressGroups,
                 [&](SnapshotAddressGroup& g) { return r.Text(g.addressId) && r.Text(g.addressType) && r.Text(g.ip1) && r.Text(g.ip2); }) &&
        ReadRows(r, s.timeGroups,
                 [&](SnapshotTimeGroup& g) {
                   return r.Text(g.timeId) && r.Int(g.dayType) && r.Text(g.dayFlags) && r.Optional(g.startDay) &&
                          r.Optional(g.endDay) && r.Optional(g.startTime) && r.Optional(g.endTime);
                 }) &&
        ReadRows(r, s.users, [&](SnapshotUser& u) { return r.Text(u.name) && r.Text(u.userId); });
    if (!ok || !r.AtEnd()) return std::nullopt;
    return s;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

std::optional<std::int32_t> ParseSqlDate(const std::string& text) {
  int y = 0, m = 0, d = 0;
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  const auto num = [&](std::size_t at, std::size_t n, int& v) {
    const auto [p, ec] = std::from_chars(text.data() + at, text.data() + at + n, v);
    return ec == std::errc() && p == text.data() + at + n;
  };
  if (!num(0, 4, y) || !num(5, 2, m) || !num(8, 2, d)) return std::nullopt;
  return y * 10000 + m * 100 + d;
}

std::optional<std::int32_t> ParseSqlTime(const std::string& text) {
  std::string_view t(text);
  bool negative = false;
  if (!t.empty() && t[0] == '-') {
    negative = true;
    t.remove_prefix(1);
  }
  const std::size_t c1 = t.find(':');
  const std::size_t c2 = c1 == std::string_view::npos ? c1 : t.find(':', c1 + 1);
  if (c2 == std::string_view::npos) return std::nullopt;
  int h = 0, m = 0, s = 0;
  const auto num = [](std::string_view part, int& v) {
    const auto [p, ec] = std::from_chars(part.data(), part.data() + part.size(), v);
    return !part.empty() && ec == std::errc() && p == part.data() + part.size();
  };
  std::string_view secs = t.substr(c2 + 1);
  if (const std::size_t dot = secs.find('.'); dot != std::string_view::npos) secs = secs.substr(0, dot);
  if (!num(t.substr(0, c1), h) || !num(t.substr(c1 + 1, c2 - c1 - 1), m) || !num(secs, s)) return std::nullopt;
  const std::int32_t total = h * 3600 + m * 60 + s;
  return negative ? -total : total;
}

std::string FormatSqlDate(std::optional<std::int32_t> date) {
  if (!date) return "NULL";
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", *date / 10000, *date / 100 % 100, *date % 100);
  return buffer;
}

std::string FormatSqlTime(std::optional<std::int32_t> seconds) {
  if (!seconds) return "NULL";
  const std::int32_t v = *seconds < 0 ? -*seconds : *seconds;
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "%s%02d:%02d:%02d", *seconds < 0 ? "-" : "", v / 3600, v / 60 % 60, v % 60);
  return buffer;
}

OfflineSnapshot TakeSnapshot(Instance& instance) {
  Connection* ds = instance.connections.DS.get();
  if (!ds) throw DatabaseError("no connection to the DS database", 0, true);
  OfflineSnapshot s;
  s.takenAt = instance.platform.LocalNow();
  const auto text = [](const std::optional<std::string>& v) { return v.value_or(std::string()); };
  const auto integer = [](const std::optional<std::string>& v) -> std::int32_t {
    if (!v) return 0;
    std::int32_t out = 0;
    std::from_chars(v->data(), v->data() + v->size(), out);
    return out;
  };
  for (const auto& row : ds->Query("select App_ID, Name, security_policy_id from application order by App_ID").rows)
    s.applications.push_back({text(row[0]), text(row[1]), text(row[2])});
  for (const auto& row : ds->Query("select RuleID, SecPID, SortID, clientname, MAC, ClientProtocol, ClientIPAddressGroupID, "
                                   "TimeID, Action from securitypolicy_sub order by SecPID, SortID, RuleID")
                             .rows)
    s.rules.push_back({integer(row[0]), text(row[1]), integer(row[2]), text(row[3]), text(row[4]), integer(row[5]),
                       text(row[6]), text(row[7]), integer(row[8])});
  for (const auto& row : ds->Query("select AddressID, AddressType, Ip1, Ip2 from addressgroup order by AddressID").rows)
    s.addressGroups.push_back({text(row[0]), text(row[1]), text(row[2]), text(row[3])});
  for (const auto& row :
       ds->Query("select TimeID, DayType, DayFlags, StartDay, EndDay, StartTime, EndTime from timegroup order by TimeID").rows) {
    SnapshotTimeGroup g;
    g.timeId = text(row[0]);
    g.dayType = integer(row[1]);
    g.dayFlags = text(row[2]);
    g.startDay = ParseSqlDate(text(row[3]));
    g.endDay = ParseSqlDate(text(row[4]));
    g.startTime = ParseSqlTime(text(row[5]));
    g.endTime = ParseSqlTime(text(row[6]));
    s.timeGroups.push_back(std::move(g));
  }
  for (const auto& row : ds->Query("select name, User_ID from Cuser order by name, User_ID").rows)
    s.users.push_back({text(row[0]), text(row[1])});
  return s;
}

StoredSnapshot ReadStoredSnapshot(Platform& platform) {
  StoredSnapshot stored;
  try {
    std::optional<StateDirectory> state = StateDirectory::Locate(platform);
    if (!state) return stored;
    const DirectoryListing listing = platform.ListDirectory(state->Directory());
    const std::string file = std::string(kSnapshotStateName) + std::string(kStateSuffix);
    for (const DirectoryEntry& entry : listing.entries)
      if (entry.name == file) {
        stored.present = true;
        stored.bytes = entry.size;
      }
    if (!stored.present) return stored;
    if (std::optional<std::string> content = state->Read(kSnapshotStateName, kMaxSnapshotBytes))
      stored.snapshot = DecodeSnapshot(*content);
  } catch (const std::bad_alloc&) {
    stored.snapshot.reset();
  }
  return stored;
}

const char* RefreshOutcomeName(RefreshOutcome outcome) {
  switch (outcome) {
    case RefreshOutcome::NotDue: return "not due";
    case RefreshOutcome::Claimed: return "taken by another handler";
    case RefreshOutcome::Stored: return "stored";
    case RefreshOutcome::TooLarge: return "too large";
    case RefreshOutcome::Failed: return "failed";
  }
  return "";
}

RefreshOutcome RefreshSnapshotIfDue(Instance& instance, std::uint32_t refreshSeconds) {
  Platform& platform = instance.platform;
  try {
    std::optional<StateDirectory> state = StateDirectory::Locate(platform);
    if (!state) return RefreshOutcome::Failed;
    if (!EnsureOwnDirectory(platform, state->Directory(), true).Usable()) return RefreshOutcome::Failed;
    const DirectoryListing listing = platform.ListDirectory(state->Directory());
    if (listing.result != FileResult::Ok) return RefreshOutcome::Failed;
    const std::string snapshotFile = std::string(kSnapshotStateName) + std::string(kStateSuffix);
    const std::string claimPath = StatePath(*state, kRefreshClaimName);
    for (const DirectoryEntry& entry : listing.entries) {
      if (entry.name == snapshotFile && refreshSeconds > 0 && entry.ageSeconds < refreshSeconds) return RefreshOutcome::NotDue;
      if (entry.name == kRefreshClaimName) {
        if (entry.ageSeconds < kStaleRefreshClaimSeconds) return RefreshOutcome::Claimed;
        platform.RemoveFile(claimPath);  // left by a handler that ended while refreshing
      }
    }
    const std::string claim = std::to_string(platform.CurrentProcessId());
    if (platform.WriteFileDurably(claimPath, claim, false) != FileResult::Ok) return RefreshOutcome::Claimed;
    RefreshOutcome outcome = RefreshOutcome::Failed;
    std::string why;
    const std::optional<Failure> taken = Capture([&] {
      const std::string content = EncodeSnapshot(TakeSnapshot(instance));
      if (content.size() > kMaxSnapshotBytes) {
        outcome = RefreshOutcome::TooLarge;
        why = std::to_string(content.size()) + " bytes, more than " + std::to_string(kMaxSnapshotBytes);
        return;
      }
      outcome = state->Write(kSnapshotStateName, content, kMaxSnapshotBytes) ? RefreshOutcome::Stored : RefreshOutcome::Failed;
      if (outcome == RefreshOutcome::Failed) why = "the snapshot could not be written in " + state->Directory();
    });
    if (taken) outcome = RefreshOutcome::Failed;
    // Beside the snapshot: when a refresh last stored one, and why the latest did not.
    const std::optional<std::string> previous = state->Read(kRefreshRecordName);
    state->Write(kRefreshRecordName,
                 EncodeRefreshRecord(NextRefreshRecord(previous ? DecodeRefreshRecord(*previous) : std::nullopt,
                                                       RefreshOutcomeName(outcome), outcome == RefreshOutcome::Stored,
                                                       taken ? taken->message : why, platform.LocalNow())));
    platform.RemoveFile(claimPath);
    return outcome;
  } catch (const std::bad_alloc&) {
    return RefreshOutcome::Failed;
  }
}

}  // namespace qbnotify
