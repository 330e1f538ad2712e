// The library's entry points: the six handlers that the logon process calls.
//
// Each takes the logon process's notification record, which no handler reads. The session
// context lives as long as the process: it is created at the first notification and never
// torn down, so that unloading the library does no work (in particular it closes no
// connection from inside the loader).
#include "notify/LibraryPlatform.h"
#include "notify/QBNotifyMain.h"
#include "store/SystemEventLog.h"

#ifndef QBNOTIFY_EXPORT
#define QBNOTIFY_EXPORT
#endif
#ifndef QBNOTIFY_CALL
#define QBNOTIFY_CALL
#endif

namespace {

qbnotify::Instance* LibraryInstance() {
  static qbnotify::Instance* instance = nullptr;
  if (!instance) {
    qbnotify::Platform* platform = qbnotify::LibraryPlatform();
    if (!platform) return nullptr;
    instance = new qbnotify::Instance(*platform);
    // The library itself, not a tool running its code: its troubles go to the event log.
    qbnotify::EnableTroubleReports();
  }
  return instance;
}

// Nothing leaves a handler: a failure that the handler itself does not contain ends it
// where it arose and is dropped here.
void Deliver(void (*handler)(qbnotify::Instance&)) noexcept {
  try {
    if (qbnotify::Instance* instance = LibraryInstance()) handler(*instance);
  } catch (...) {
    // The logon process must never see a failure of ours, whatever it is.
  }
}

}  // namespace

extern "C" {

QBNOTIFY_EXPORT void QBNOTIFY_CALL winStartup(void* /*notificationInfo*/) { Deliver(&qbnotify::HandleStartup); }
QBNOTIFY_EXPORT void QBNOTIFY_CALL winLogon(void* /*notificationInfo*/) { Deliver(&qbnotify::HandleLogon); }
QBNOTIFY_EXPORT void QBNOTIFY_CALL winStartShell(void* /*notificationInfo*/) { Deliver(&qbnotify::HandleStartShell); }
QBNOTIFY_EXPORT void QBNOTIFY_CALL winDisconnect(void* /*notificationInfo*/) { Deliver(&qbnotify::HandleDisconnect); }
QBNOTIFY_EXPORT void QBNOTIFY_CALL winReconnect(void* /*notificationInfo*/) { Deliver(&qbnotify::HandleReconnect); }
QBNOTIFY_EXPORT void QBNOTIFY_CALL winLogoff(void* /*notificationInfo*/) { Deliver(&qbnotify::HandleLogoff); }

}  // extern "C"
