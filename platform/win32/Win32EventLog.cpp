// The system's event log: one entry under the library's own source, whose message texts are
// the message table compiled into QBNotify.dll (notify/win32/QBNotifyEvents.mc). The source is
// registered under HKLM\SYSTEM\CurrentControlSet\Services\Eventlog\Application\QBNotify by
// the installer package (or QBNotify.reg); without it the log still keeps the entry and its
// text, and says that the message could not be found.
#include "platform/win32/Win32Platform.h"
#include "platform/win32/WindowsApi.h"

namespace qbnotify::win32 {

void Win32Platform::WriteSystemEvent(const SystemEvent& event) {
  HANDLE source = RegisterEventSourceA(nullptr, kEventSourceName);
  if (!source) return;
  const char* strings[] = {event.text.c_str()};
  ReportEventA(source, static_cast<WORD>(event.level), event.category, event.id, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

}  // namespace qbnotify::win32
