// Status messages to the client over the virtual channel "DOZA".
//
// A message is a 13-byte record sent as its 20-character Base64 text, one channel write per
// message; the channel is opened and closed for every message and nothing is read from it.
//   offset 0..2  0x5A 0x2E 0x07
//          3..4  notification code, little-endian
//          5..8  reason, signed, little-endian
//          9..12 zero
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace qbnotify {

inline constexpr const char* kChannelName = "DOZA";

// Notification codes.
inline constexpr std::uint16_t kNotifyStartup = 0x1000;
inline constexpr std::uint16_t kNotifyLogon = 0x2000;
inline constexpr std::uint16_t kNotifyLogoff = 0x3000;
inline constexpr std::uint16_t kNotifyStartShell = 0x4000;
inline constexpr std::uint16_t kNotifyReconnect = 0x8000;

// The 13 bytes of a status message.
std::string BuildStatusMessage(std::uint16_t code, std::int32_t reason);

// Builds, encodes and sends one message. 0 when the platform accepted the write, -1
// otherwise; nothing is reported and nothing is retried.
int NotifyClient(Platform& platform, std::uint16_t code, std::int32_t reason);

// Sends a text over the channel; true when the write succeeded.
bool WriteChannel(Platform& platform, std::string_view text);

}  // namespace qbnotify
