// What the terminal-services session information says about a session.
//
// Every query asks the platform once and caches nothing. A failed query is not reported:
// it shows as an empty text (or the address "0.0.0.0").
#pragma once

#include <cstdint>
#include <string>

#include "platform/Platform.h"

namespace qbnotify {

// Protocol labels; callers compare them byte for byte.
inline constexpr const char* kLabelConsole = "CONSOLE";
inline constexpr const char* kLabelIca = "CITRIX ICA";
inline constexpr const char* kLabelRdp = "MS RDP";
inline constexpr const char* kLabelKev = "TAV KEV";
inline constexpr const char* kLabelOther = "N/A";

struct ClientAddress {
  std::string family;              // "AF_INET" and friends, the decimal family, or empty
  std::string address = "0.0.0.0";  // bytes 2..5 of the address array, dotted decimal
};

// The text classes: the buffer's text up to its first NUL, neither trimmed nor case-changed.
std::string GetWinStationName(Platform& platform, std::uint32_t sessionId);
std::string GetInitialProgram(Platform& platform, std::uint32_t sessionId);
std::string GetClientName(Platform& platform, std::uint32_t sessionId);

// The session's protocol label, from its protocol type and the winstation name that the
// caller supplies (never queried afresh here):
//   type 0 -> "CONSOLE", 1 -> "CITRIX ICA", other -> "N/A", query failed -> "";
//   type 2 -> "MS RDP" when the upper-cased name holds "RDP", else "TAV KEV" when it holds
//             "KEV", else "N/A".
std::string GetProtocolName(Platform& platform, std::uint32_t sessionId, const std::string& winStationName);

// The client's address family name and dotted address; family "" and "0.0.0.0" on failure.
ClientAddress GetClientAddress(Platform& platform, std::uint32_t sessionId);

// Pure helpers, exposed for tests.
std::string ProtocolLabel(std::uint16_t protocolType, const std::string& winStationName);
ClientAddress FormatClientAddress(std::uint32_t family, const unsigned char* addressBytes);

}  // namespace qbnotify
