#include "session/SessionContext.h"

#include "environment/Switches.h"

namespace qbnotify {

void FillSecondStage(Instance& instance) {
  Platform& platform = instance.platform;
  SessionContext& context = instance.context;
  context.AppId = GetSwitchValue(platform, "/N:");
  context.ClientMac = GetSwitchValue(platform, "/M:");
  context.UserId = LookupUserId(platform, instance.connections);
  AuditRecord& audit = context.Audit;
  audit.sessionid = FirstBytes(GetSwitchValue(platform, "/E:"), AuditRecord::kSessionIdBytes);
  audit.farmuser = FirstBytes(GetSwitchValue(platform, "/U:"), AuditRecord::kFarmUserBytes);
  audit.appid = FirstBytes(context.AppId, AuditRecord::kAppIdBytes);
  audit.clientmac = FirstBytes(context.ClientMac, AuditRecord::kClientMacBytes);
  audit.starttime = platform.LocalNow();
  audit.appshowname = FirstBytes(LookupAppShowName(instance.connections, audit.appid), AuditRecord::kAppShowNameBytes);
}

}  // namespace qbnotify
