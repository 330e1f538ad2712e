// The session host's session file: what the platform reports about one session, and the
// notifications to deliver, in JSON (UTF-8). See docs/dev/layout.md for the format.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hosted/HostedPlatform.h"

namespace qbnotify::host {

enum class Event { Startup, Logon, StartShell, Disconnect, Reconnect, Logoff };

struct SessionFile {
  hosted::Session session;
  std::vector<Event> events;
  std::string comment;  // UTF-8, for the reader only
};

// A session file that cannot be used; the message names the field.
class SessionFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses a session file's text. Throws SessionFileError.
SessionFile ParseSessionFile(std::string_view json);

// The exported handler that an event calls ("winStartup" and so on).
const char* HandlerName(Event event);

}  // namespace qbnotify::host
