#include "policy/OfflineSnapshot.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <new>

#include "environment/ConnectionSettings.h"
#include "policy/SnapshotRefresh.h"
#include "store/Database.h"
#include "store/OwnDirectory.h"
#include "store/ServerList.h"
#include "store/StateDirectory.h"

namespace qbnotify {
namespace {

constexpr std::string_view kSnapshotMagic = "QBOFFLINE 2\n";

// Fields one after another: a text as "<length>:<bytes>", a number as "#<decimal>;", NULL
// as "-".
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
  void Optional(const std::optional<std::string>& value) {
    if (value) Text(*value);
    else out_ += '-';
  }
  void Time(const DateTime& t) {
    for (const int part : {t.year, t.month, t.day, t.hour, t.minute, t.second}) Number(part);
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
    if (Null()) {
      value.reset();
      return true;
    }
    std::int32_t v = 0;
    if (!Int(v)) return false;
    value = v;
    return true;
  }
  bool Optional(std::optional<std::string>& value) {
    if (Null()) {
      value.reset();
      return true;
    }
    return Text(value.emplace());
  }
  bool Time(DateTime& t) {
    for (int* part : {&t.year, &t.month, &t.day, &t.hour, &t.minute, &t.second}) {
      std::int32_t v = 0;
      if (!Int(v)) return false;
      *part = v;
    }
    return t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31 && t.hour >= 0 && t.hour < 24 &&
           t.minute >= 0 && t.minute < 60 && t.second >= 0 && t.second < 60;
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
  bool Null() {
    if (at_ >= in_.size() || in_[at_] != '-') return false;
    ++at_;
    return true;
  }
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

// A DATETIME as the server writes it ("YYYY-MM-DD HH:MM:SS"). Raises DatabaseError for
// anything else.
DateTime ServerClock(const std::optional<std::string>& text) {
  const std::string now = text.value_or("");
  const std::optional<std::int32_t> day = ParseSqlDate(now.substr(0, 10));
  const std::optional<std::int32_t> seconds = now.size() > 11 ? ParseSqlTime(now.substr(11)) : std::nullopt;
  if (!day || !seconds || *seconds < 0 || *seconds >= 86400) throw DatabaseError("the server's clock reads '" + now + "'");
  return DateTime{*day / 10000, *day / 100 % 100, *day % 100, *seconds / 3600, *seconds / 60 % 60, *seconds % 60};
}

std::string StatePath(const StateDirectory& state, const char* leaf) { return state.Directory() + "\\" + leaf; }

}  // namespace

std::string EncodeSnapshot(const OfflineSnapshot& s) {
  Writer w;
  w.out_ = std::string(kSnapshotMagic);
  w.Time(s.serverTime);
  w.Time(s.serverUtc);
  w.Time(s.takenUtc);
  w.Text(s.farm.database);
  w.Text(s.farm.servers);
  w.Number(static_cast<long long>(s.applications.size()));
  for (const auto& a : s.applications) {
    w.Optional(a.appId);
    w.Optional(a.name);
    w.Optional(a.policyId);
  }
  w.Number(static_cast<long long>(s.rules.size()));
  for (const auto& r : s.rules) {
    w.Optional(r.secPid);
    w.Optional(r.sortId);
    w.Optional(r.clientName);
    w.Optional(r.mac);
    w.Optional(r.clientProtocol);
    w.Optional(r.addressGroupId);
    w.Optional(r.timeId);
    w.Optional(r.action);
  }
  w.Number(static_cast<long long>(s.addressGroups.size()));
  for (const auto& g : s.addressGroups) {
    w.Optional(g.addressId);
    w.Optional(g.addressType);
    w.Optional(g.ip1);
    w.Optional(g.ip2);
  }
  w.Number(static_cast<long long>(s.timeGroups.size()));
  for (const auto& g : s.timeGroups) {
    w.Optional(g.timeId);
    w.Optional(g.dayType);
    w.Optional(g.dayFlags);
    w.Optional(g.startDay);
    w.Optional(g.endDay);
    w.Optional(g.startTime);
    w.Optional(g.endTime);
  }
  w.Number(static_cast<long long>(s.users.size()));
  for (const auto& u : s.users) {
    w.Optional(u.name);
    w.Optional(u.userId);
  }
  return std::move(w.out_);
}

std::optional<OfflineSnapshot> DecodeSnapshot(const std::string& content) {
  try {
    if (content.compare(0, kSnapshotMagic.size(), kSnapshotMagic) != 0) return std::nullopt;
    Reader r(std::string_view(content).substr(kSnapshotMagic.size()));
    OfflineSnapshot s;
    if (!r.Time(s.serverTime) || !r.Time(s.serverUtc) || !r.Time(s.takenUtc) || !r.Text(s.farm.database) || !r.Text(s.farm.servers))
      return std::nullopt;
    const auto opt = [&](auto& value) { return r.Optional(value); };
    const bool ok =
        ReadRows(r, s.applications, [&](SnapshotApplication& a) { return opt(a.appId) && opt(a.name) && opt(a.policyId); }) &&
        ReadRows(r, s.rules,
                 [&](SnapshotRule& x) {
                   return opt(x.secPid) && opt(x.sortId) && opt(x.clientName) && opt(x.mac) && opt(x.clientProtocol) &&
                          opt(x.addressGroupId) && opt(x.timeId) && opt(x.action);
                 }) &&
        ReadRows(r, s.addressGroups,
                 [&](SnapshotAddressGroup& g) { return opt(g.addressId) && opt(g.addressType) && opt(g.ip1) && opt(g.ip2); }) &&
        ReadRows(r, s.timeGroups,
                 [&](SnapshotTimeGroup& g) {
                   return opt(g.timeId) && opt(g.dayType) && opt(g.dayFlags) && opt(g.startDay) && opt(g.endDay) &&
                          opt(g.startTime) && opt(g.endTime);
                 }) &&
        ReadRows(r, s.users, [&](SnapshotUser& u) { return opt(u.name) && opt(u.userId); });
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

std::string ServerSetHash(const std::string& dsHost) {
  std::vector<std::string> servers;
  for (const ListedServer& server : ParseServerList(dsHost)) {
    std::string host = server.address.host;
    for (char& c : host)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    servers.push_back(host + ":" + std::to_string(server.address.port));
  }
  std::sort(servers.begin(), servers.end());
  servers.erase(std::unique(servers.begin(), servers.end()), servers.end());
  std::uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a, 64 bits
  for (const std::string& server : servers)
    for (const unsigned char c : server + '\n') hash = (hash ^ c) * 0x100000001b3ull;
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

SnapshotFarm CurrentFarm(Platform& platform) {
  return {ReadConnectionSetting(platform, "DSConnection", "DSDB"),
          ServerSetHash(ReadConnectionSetting(platform, "DSConnection", "DSHost"))};
}

OfflineSnapshot TakeSnapshot(Instance& instance) {
  Connection* ds = instance.connections.DS.get();
  if (!ds) throw DatabaseError("no connection to the DS database", 0, true);
  OfflineSnapshot s;
  s.farm = CurrentFarm(instance.platform);
  const auto number = [](const std::optional<std::string>& v) -> SnapshotNumber {
    if (!v) return std::nullopt;
    std::int32_t out = 0;
    std::from_chars(v->data(), v->data() + v->size(), out);
    return out;
  };
  const auto date = [](const std::optional<std::string>& v) -> SnapshotNumber { return v ? ParseSqlDate(*v) : std::nullopt; };
  const auto time = [](const std::optional<std::string>& v) -> SnapshotNumber { return v ? ParseSqlTime(*v) : std::nullopt; };
  // Every read sees the tables as they were at one moment; nothing is written. A statement
  // is never sent again on a new connection, which would leave the transaction.
  ds->Query("START TRANSACTION WITH CONSISTENT SNAPSHOT, READ ONLY");
  try {
    s.takenUtc = instance.platform.UtcNow();
    const Connection::Result clock = ds->Query("select now(), utc_timestamp()");
    if (clock.rows.empty()) throw DatabaseError("the server did not tell its clock");
    s.serverTime = ServerClock(clock.rows[0][0]);
    s.serverUtc = ServerClock(clock.rows[0][1]);
    for (const auto& row : ds->Query("select App_ID, Name, security_policy_id from application order by App_ID").rows)
      s.applications.push_back({row[0], row[1], row[2]});
    for (const auto& row : ds->Query("select SecPID, SortID, clientname, MAC, ClientProtocol, ClientIPAddressGroupID, "
                                     "TimeID, Action from securitypolicy_sub order by SecPID, SortID")
                               .rows)
      s.rules.push_back({row[0], number(row[1]), row[2], row[3], number(row[4]), row[5], row[6], number(row[7])});
    for (const auto& row : ds->Query("select AddressID, AddressType, Ip1, Ip2 from addressgroup order by AddressID").rows)
      s.addressGroups.push_back({row[0], row[1], row[2], row[3]});
    for (const auto& row :
         ds->Query("select TimeID, DayType, DayFlags, StartDay, EndDay, StartTime, EndTime from timegroup order by TimeID").rows)
      s.timeGroups.push_back({row[0], number(row[1]), row[2], date(row[3]), date(row[4]), time(row[5]), time(row[6])});
    for (const auto& row : ds->Query("select name, User_ID from Cuser order by name, User_ID").rows)
      s.users.push_back({row[0], row[1]});
    ds->Query("COMMIT");
  } catch (const DatabaseError&) {
    Capture([&] { ds->Query("ROLLBACK"); });
    throw;
  }
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
    case RefreshOutcome::Superseded: return "a newer one was kept";
  }
  return "";
}

namespace {

constexpr std::size_t kMaxClaimBytes = 256;

// A claim no other refresher writes: this process, its clock and a count of its claims.
std::string ClaimToken(Platform& platform) {
  static std::atomic<unsigned> claims{0};
  return std::to_string(platform.CurrentProcessId()) + "-" + FormatDateTime(platform.UtcNow()) + "-" +
         std::to_string(platform.ElapsedMilliseconds()) + "-" + std::to_string(++claims);
}

// Takes over a claim left by a refresher that ended: moves it aside under a name of our
// own and removes it, unless what was moved is no longer the claim seen stale (another
// handler took it over first and wrote its own), which goes back.
bool TakeOverStaleClaim(Platform& platform, const std::string& claimPath, const std::string& token) {
  const FileContent seen = platform.ReadWholeFile(claimPath, kMaxClaimBytes);
  if (seen.result != FileResult::Ok) return false;
  const std::string aside = claimPath + "." + token + ".tmp";
  if (platform.RenameWithoutReplacing(claimPath, aside) != FileResult::Ok) return false;
  const FileContent moved = platform.ReadWholeFile(aside, kMaxClaimBytes);
  if (moved.result == FileResult::Ok && moved.bytes == seen.bytes) {
    platform.RemoveFile(aside);
    return true;
  }
  if (platform.RenameWithoutReplacing(aside, claimPath) != FileResult::Ok) platform.RemoveFile(aside);
  return false;
}

// Removes the claim only while it is still ours.
void ReleaseClaim(Platform& platform, const std::string& claimPath, const std::string& token) {
  const FileContent claim = platform.ReadWholeFile(claimPath, kMaxClaimBytes);
  if (claim.result == FileResult::Ok && claim.bytes == token) platform.RemoveFile(claimPath);
}

std::optional<OfflineSnapshot> ReadKept(StateDirectory& state) {
  const std::optional<std::string> content = state.Read(kSnapshotStateName, kMaxSnapshotBytes);
  return content ? DecodeSnapshot(*content) : std::nullopt;
}

}  // namespace

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
    bool recent = false;
    std::optional<std::uint64_t> claimAge;
    for (const DirectoryEntry& entry : listing.entries) {
      if (entry.name == snapshotFile && refreshSeconds > 0 && entry.ageSeconds < refreshSeconds) recent = true;
      if (entry.name == kRefreshClaimName) claimAge = entry.ageSeconds;
    }
    const SnapshotFarm farm = CurrentFarm(platform);
    if (recent) {
      // Recent, and usable here: of this farm, and not from a UTC clock that has since gone back.
      const std::optional<OfflineSnapshot> kept = ReadKept(*state);
      if (kept && kept->farm == farm && SecondsBetween(kept->takenUtc, platform.UtcNow()) >= -kClockBehindSeconds)
        return RefreshOutcome::NotDue;
    }
    const std::string token = ClaimToken(platform);
    if (claimAge && (*claimAge < kStaleRefreshClaimSeconds || !TakeOverStaleClaim(platform, claimPath, token)))
      return RefreshOutcome::Claimed;
    if (platform.WriteFileDurably(claimPath, token, false) != FileResult::Ok) return RefreshOutcome::Claimed;
    RefreshOutcome outcome = RefreshOutcome::Failed;
    std::string why;
    const std::optional<Failure> taken = Capture([&] {
      const OfflineSnapshot snapshot = TakeSnapshot(instance);
      const std::string content = EncodeSnapshot(snapshot);
      if (content.size() > kMaxSnapshotBytes) {
        outcome = RefreshOutcome::TooLarge;
        why = "the rows take " + std::to_string(content.size()) + " bytes, more than " +
              std::to_string(kMaxSnapshotBytes);
        return;
      }
      // A refresher that stalled does not put its older rows over a newer snapshot.
      const std::optional<OfflineSnapshot> kept = ReadKept(*state);
      if (kept && kept->farm == snapshot.farm && SecondsBetween(snapshot.serverUtc, kept->serverUtc) > 0) {
        outcome = RefreshOutcome::Superseded;
        return;
      }
      outcome = state->Write(kSnapshotStateName, content, kMaxSnapshotBytes) ? RefreshOutcome::Stored : RefreshOutcome::Failed;
      if (outcome == RefreshOutcome::Failed) why = "the snapshot could not be written in " + state->Directory();
    });
    if (taken) outcome = RefreshOutcome::Failed;
    // Beside the snapshot: when a refresh last stored one, and why the latest did not. A
    // refresher superseded by a newer snapshot has nothing to say.
    if (outcome != RefreshOutcome::Superseded) {
      const std::optional<std::string> previous = state->Read(kRefreshRecordName);
      state->Write(kRefreshRecordName,
                   EncodeRefreshRecord(NextRefreshRecord(previous ? DecodeRefreshRecord(*previous) : std::nullopt,
                                                         RefreshOutcomeName(outcome), outcome == RefreshOutcome::Stored,
                                                         taken ? taken->message : why, platform.LocalNow())));
    }
    ReleaseClaim(platform, claimPath, token);
    return outcome;
  } catch (const std::bad_alloc&) {
    return RefreshOutcome::Failed;
  }
}

}  // namespace qbnotify
