// Whether the connections to the database are encrypted: two plain-text keys of
// [DSConnection], for all three connections.
//
//   TLS=off        no encryption (also when the key is missing or empty)
//   TLS=required   encrypted, or no connection: a server that does not offer TLS counts as
//                  unavailable, never as a reason to send clear text
//   TLS=verify     encrypted, the server's certificate chains to TLSCAFile and names the host
//                  the connection was made to
//   TLSCAFile=path the certificate authority (PEM) that verify trusts
//
// Any other value of TLS reads as verify, the strictest.
#pragma once

#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace qbnotify {

inline constexpr const char* kTlsKey = "TLS";
inline constexpr const char* kTlsCaFileKey = "TLSCAFile";

enum class TlsMode { Off, Required, Verify };

struct TlsSettings {
  TlsMode mode = TlsMode::Off;
  std::string modeText;  // as stored
  bool modeKnown = true;  // modeText is empty or one of the three values
  std::string caFile;
};

// The mode that a stored value means: "" -> off; "off", "required", "verify" (without regard
// to letter case and surrounding blanks) -> themselves; anything else -> verify, `known` false.
TlsMode ParseTlsMode(std::string_view text, bool* known = nullptr);
const char* TlsModeName(TlsMode mode);

// Reads both keys of [DSConnection]; off when there is no settings file.
TlsSettings ReadTlsSettings(Platform& platform);

}  // namespace qbnotify
