#include "channel/PChannel.h"

#include "channel/Base64.h"

namespace qbnotify {

std::string BuildStatusMessage(std::uint16_t code, std::int32_t reason) {
  std::string record(13, '\0');
  record[0] = 0x5A;
  record[1] = 0x2E;
  record[2] = 0x07;
  record[3] = static_cast<char>(code & 0xFF);
  record[4] = static_cast<char>(code >> 8);
  const auto bits = static_cast<std::uint32_t>(reason);
  for (int i = 0; i < 4; ++i) record[5 + i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
  return record;
}

bool WriteChannel(Platform& platform, std::string_view text) { return platform.WriteVirtualChannel(kChannelName, text); }

int NotifyClient(Platform& platform, std::uint16_t code, std::int32_t reason) {
  return WriteChannel(platform, EncodeBase64(BuildStatusMessage(code, reason))) ? 0 : -1;
}

}  // namespace qbnotify
