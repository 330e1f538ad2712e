#include "policy/SecurityPolicy.h"

#include "environment/SessionQueries.h"
#include "environment/Switches.h"
#include "policy/SessionLimits.h"

namespace qbnotify {
namespace {

constexpr const char* kAnyName = "\xC8\xCE\xBA\xCE\xC3\xFB\xB3\xC6";   // "any name" (code page 936)
constexpr const char* kAnyMac = "\xC8\xCE\xBA\xCEMac\xB5\xD8\xD6\xB7";  // "any MAC address"

// Joins each rule of the policy with its address group and time group and keeps those that
// match this client now (by the database server's clock), lowest SortID first.
constexpr const char* kRuleQuery =
    "select a.*, b.*, c.* from (securitypolicy_sub as a INNER JOIN addressgroup as b ON a.ClientIPAddressGroupID = "
    "b.AddressID) INNER JOIN timegroup as c ON a.TimeID = c.TimeID where ((a.SecPID=:pSecID) and (:pCName like "
    "replace(replace(a.clientname, :pF1, :pF3), :pF2, :pF4) or a.clientname=:pEvName or (position(:pF1 in "
    ":pCName)=:pV2 and position(:pF2 in :pCName)=:pV2 and a.clientname=:pCName)) and ((:pCMac like "
    "replace(replace(a.MAC, :pF1, :pF3), :pF2, :pF4)) or a.MAC=:pEvMac or (position(:pF1 in :pCMac)=:pV2 and "
    "position(:pF2 in :pCMac)=:pV2 and a.MAC=:pCMac)) and (a.ClientProtocol=:pClientPoto or "
    "a.ClientProtocol=:pAllPoto) and (((Mid(c.DayFlags, weekday(CurDate())+:pV3, :pV1)=:pV1) and "
    "(((c.StartDay<=curdate() and curdate()<=c.EndDay) or (c.StartDay<=curdate() and c.EndDay=:pV2)) and "
    "(c.StartTime<=curtime() and curtime()<=c.EndTime))) or (c.DayType=:pV2)) and ((b.AddressType=:pS2 and "
    "b.Ip1=:pCliIP) or (b.AddressType=:pS3 and ((SUBSTRING_INDEX(b.Ip1, :pF5, :pV1)<SUBSTRING_INDEX(:pCliIP, :pF5, "
    ":pV1)) or (SUBSTRING_INDEX(b.Ip1, :pF5, :pV1)=SUBSTRING_INDEX(:pCliIP, :pF5, :pV1) and "
    "SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip1, :pF5, :pV3), :pF5, :pV4)<SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, "
    ":pV3), :pF5, :pV4)) or (SUBSTRING_INDEX(b.Ip1, :pF5, :pV1)=SUBSTRING_INDEX(:pCliIP, :pF5, :pV1) and "
    "SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip1, :pF5, :pV3), :pF5, :pV4)=SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, "
    ":pV3), :pF5, :pV4) and SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip1, :pF5, :pV5), :pF5, "
    ":pV4)<SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, :pV5), :pF5, :pV4)) or (SUBSTRING_INDEX(b.Ip1, :pF5, "
    ":pV1)=SUBSTRING_INDEX(:pCliIP, :pF5, :pV1) and SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip1, :pF5, :pV3), :pF5, "
    ":pV4)=SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, :pV3), :pF5, :pV4) and "
    "SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip1, :pF5, :pV5), :pF5, :pV4)=SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, "
    ":pV5), :pF5, :pV4) and SUBSTRING_INDEX(b.Ip1, :pF5, -1)<=SUBSTRING_INDEX(:pCliIP, :pF5, :pV4))) and "
    "((SUBSTRING_INDEX(:pCliIP, :pF5, :pV1)<SUBSTRING_INDEX(b.Ip2, :pF5, :pV1)) or (SUBSTRING_INDEX(:pCliIP, :pF5, "
    ":pV1)=SUBSTRING_INDEX(b.Ip2, :pF5, :pV1) and SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, :pV3), :pF5, "
    ":pV4)<SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip2, :pF5, :pV3), :pF5, :pV4)) or (SUBSTRING_INDEX(:pCliIP, :pF5, "
    ":pV1)=SUBSTRING_INDEX(b.Ip2, :pF5, :pV1) and SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, :pV3), :pF5, "
    ":pV4)=SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip2, :pF5, :pV3), :pF5, :pV4) and "
    "SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, :pV5), :pF5, :pV4)<SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip2, :pF5, "
    ":pV5), :pF5, :pV4)) or (SUBSTRING_INDEX(:pCliIP, :pF5, :pV1)=SUBSTRING_INDEX(b.Ip2, :pF5, :pV1) and "
    "SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, :pV3), :pF5, :pV4)=SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip2, :pF5, "
    ":pV3), :pF5, :pV4) and SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, :pV5), :pF5, "
    ":pV4)=SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip2, :pF5, :pV5), :pF5, :pV4) and SUBSTRING_INDEX(:pCliIP, :pF5, "
    ":pV4)<=SUBSTRING_INDEX(b.Ip2, :pF5, :pV4))) or (b.AddressType=:pS4 and (SUBSTRING_INDEX(b.Ip1, :pF5, "
    ":pV1)=SUBSTRING_INDEX(:pCliIP, :pF5, :pV1) and SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip1, :pF5, :pV3), :pF5, "
    ":pV4)=SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, :pV3), :pF5, :pV4) and "
    "SUBSTRING_INDEX(SUBSTRING_INDEX(b.Ip1, :pF5, :pV5), :pF5, :pV4)=SUBSTRING_INDEX(SUBSTRING_INDEX(:pCliIP, :pF5, "
    ":pV5), :pF5, :pV4)))) or (b.AddressType=:pS1))) order by a.SortID ASC";

}  // namespace

std::string GetAppSecurityPolicyId(Instance& instance) {
  const std::string appId = GetSwitchValue(instance.platform, "/N:");
  Statement statement(instance.connections.DS.get());
  statement.SetSql("select security_policy_id from application where App_ID = :App_ID");
  statement.BindText("App_ID", appId);
  statement.Open();
  if (statement.RowCount() == 0) return "no app";
  return statement.ColumnText("security_policy_id");
}

bool MatchSecurityPolicy(Instance& instance, const std::string& policyId) {
  Platform& platform = instance.platform;
  const std::string clientMac = GetSwitchValue(platform, "/M:");
  const std::string clientName = GetClientName(platform, kCurrentSession);
  const ClientAddress clientAddress = GetClientAddress(platform, kCurrentSession);

  Statement statement(instance.connections.DS.get());
  statement.SetSql(kRuleQuery);
  statement.BindText("pCliIP", clientAddress.address);
  statement.BindText("pCName", clientName);
  statement.BindText("pEvName", kAnyName);
  statement.BindText("pCMac", clientMac);
  statement.BindInteger("pClientPoto", 1);
  statement.BindInteger("pAllPoto", 0);
  statement.BindText("pEvMac", kAnyMac);
  statement.BindText("pSecID", policyId);
  statement.BindText("pF1", "*");
  statement.BindText("pF2", "?");
  statement.BindText("pF3", "%");
  statement.BindText("pF4", "_");
  statement.BindText("pF5", ".");
  statement.BindText("pS1", "0");
  statement.BindText("pS2", "2");
  statement.BindText("pS3", "4");
  statement.BindText("pS4", "8");
  statement.BindInteger("pV1", 1);
  statement.BindInteger("pV2", 0);
  statement.BindInteger("pV3", 2);
  statement.BindInteger("pV4", -1);
  statement.BindInteger("pV5", 3);
  statement.Open();
  if (statement.RowCount() == 0) return false;
  return statement.ColumnInteger("Action") == 0;
}

int CheckSecurityPolicy(Instance& instance) {
  const std::string policyId = GetAppSecurityPolicyId(instance);
  if (policyId == "no app") {
    WriteSessionEvent(instance, 2, 1);
    return 2;
  }
  if (!policyId.empty() && policyId != "NULL" && !MatchSecurityPolicy(instance, policyId)) {
    WriteSessionEvent(instance, 2, 1, policyId);
    return 2;
  }
  if (CheckAppSessionLimits(instance)) return 0;
  WriteSessionEvent(instance, 2, 1);
  return 2;
}

}  // namespace qbnotify
