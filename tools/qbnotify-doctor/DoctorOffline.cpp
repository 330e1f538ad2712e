// What a session gets while the database is away: the [Offline] mode and the snapshot.
#include "policy/Offline.h"
#include "policy/SnapshotRefresh.h"
#include "store/StateDirectory.h"
#include "tools/common/ToolSupport.h"
#include "tools/qbnotify-doctor/DoctorChecks.h"

namespace qbnotify::tools {

// The rule tables' columns that allow NULL: the rule query holds no condition on a NULL, so
// such a value quietly takes a rule out (or, for Action, admits).
void Doctor::NullableRuleColumns() {
  if (!ds_) return Skip("offline", "rule columns that allow NULL", "no DS connection");
  const std::optional<Failure> failure = Capture([&] {
    std::string found;
    for (const auto& row : ds_->Query("select table_name, column_name from information_schema.columns where "
                                      "table_schema = database() and is_nullable = 'YES' and (table_name, column_name) in "
                                      "(('application', 'security_policy_id'), ('securitypolicy_sub', 'SecPID'), "
                                      "('securitypolicy_sub', 'SortID'), ('securitypolicy_sub', 'clientname'), "
                                      "('securitypolicy_sub', 'MAC'), ('securitypolicy_sub', 'ClientProtocol'), "
                                      "('securitypolicy_sub', 'ClientIPAddressGroupID'), ('securitypolicy_sub', 'TimeID'), "
                                      "('securitypolicy_sub', 'Action'), ('addressgroup', 'AddressType'), "
                                      "('addressgroup', 'Ip1'), ('addressgroup', 'Ip2'), ('timegroup', 'DayType'), "
                                      "('timegroup', 'DayFlags'), ('timegroup', 'StartDay'), ('timegroup', 'EndDay'), "
                                      "('timegroup', 'StartTime'), ('timegroup', 'EndTime')) "
                                      "order by table_name, ordinal_position")
                               .rows)
      found += (found.empty() ? "" : ", ") + row[0].value_or("") + "." + row[1].value_or("");
    Add("offline", "rule columns that allow NULL", Status::Ok,
        found.empty() ? "none" : found + ": a NULL there never matches a condition, online and offline alike");
  });
  if (failure) Add("offline", "rule columns that allow NULL", Status::Warning, "not read: " + failure->message);
}

void Doctor::OfflineChecks() {
  const OfflineSettings settings = ReadOfflineSettings(platform_);
  if (!settings.admissionKnown) {
    Add("offline", "mode", Status::Warning,
        "Admission=" + settings.admissionText + " is none of open, closed, cached: it counts as closed",
        "write open, closed or cached in [Offline] of the settings file");
  } else {
    Add("offline", "mode", Status::Ok,
        std::string(OfflineModeName(settings.mode)) + (settings.sectionPresent ? "" : " (no [Offline] section)") +
            ", RefreshSeconds " + std::to_string(settings.refreshSeconds) + ", MaxAgeHours " +
            std::to_string(settings.maxAgeHours));
  }
  const StoredSnapshot stored = ReadStoredSnapshot(platform_);
  const OfflineMoment moment = OfflineMomentNow(platform_);
  bool usable = false;
  if (!stored.present) {
    Add("offline", "snapshot", settings.mode == OfflineMode::Cached ? Status::Warning : Status::Ok, "none",
        settings.mode == OfflineMode::Cached ? "the next session that reaches the database takes one" : "");
  } else if (!stored.snapshot) {
    Add("offline", "snapshot", Status::Failed, std::to_string(stored.bytes) + " bytes, fails its check: it is never used",
        "the next session that reaches the database replaces it; until then sessions are decided as closed");
  } else {
    const OfflineSnapshot& s = *stored.snapshot;
    const long long age = SecondsBetween(s.takenUtc, moment.utc);
    const std::string unusable = SnapshotUnusable(s, settings, moment);
    usable = unusable.empty();
    Add("offline", "snapshot",
        usable || settings.mode != OfflineMode::Cached ? Status::Ok : Status::Warning,
        "taken " + FormatDateTime(s.takenUtc) + " UTC (" + std::to_string(age) + " s ago; the server's clock read " +
            FormatDateTime(s.serverTime) + "), database '" + s.farm.database + "', " + std::to_string(stored.bytes) +
            " bytes, check passed; " + std::to_string(s.applications.size()) + " applications, " +
            std::to_string(s.rules.size()) + " rules, " + std::to_string(s.addressGroups.size()) + " address groups, " +
            std::to_string(s.timeGroups.size()) + " time groups, " + std::to_string(s.users.size()) + " users" +
            (usable ? "" : "; " + unusable + ": counts as none"),
        usable || settings.mode != OfflineMode::Cached ? "" : "let a session reach the database, or raise MaxAgeHours");
  }
  RefreshLine(settings.mode == OfflineMode::Cached);
  NullableRuleColumns();
  std::string now_;
  switch (settings.mode) {
    case OfflineMode::Open: now_ = "every session goes on unchecked"; break;
    case OfflineMode::Closed:
      now_ = "the shell check runs; applications exempt from the policy go on; every other session is refused (2)";
      break;
    case OfflineMode::Cached:
      now_ = usable ? "decided from the snapshot's rules as the server would; limits and the duplicate-account rule "
                      "are not checked"
                    : "no usable snapshot: as closed (applications exempt from the policy go on, others refused)";
      break;
  }
  Add("offline", "if the database went away now", Status::Ok, now_);
}

// How the latest refresh of the snapshot ended, from its record beside the snapshot.
void Doctor::RefreshLine(bool cached) {
  std::optional<StateDirectory> state = StateDirectory::Locate(platform_);
  const std::optional<std::string> content = state ? state->Read(kRefreshRecordName) : std::nullopt;
  const std::optional<RefreshRecord> record = content ? DecodeRefreshRecord(*content) : std::nullopt;
  if (!record) {
    Add("offline", "last refresh", Status::Ok, content ? "its record cannot be read" : "none recorded");
    return;
  }
  const std::string stored =
      record->lastStored ? "last stored " + FormatDateTime(*record->lastStored) : std::string("never stored");
  if (record->outcome == RefreshOutcomeName(RefreshOutcome::Stored)) {
    Add("offline", "last refresh", Status::Ok, "stored " + FormatDateTime(record->at));
    return;
  }
  Add("offline", "last refresh", cached ? Status::Failed : Status::Warning,
      record->outcome + " " + FormatDateTime(record->at) + ": " + record->why + "; " + stored,
      "mend what the reason names (a missing column or privilege on the DS database, or a farm too large); the "
      "next session that reaches the database tries again");
}

}  // namespace qbnotify::tools
