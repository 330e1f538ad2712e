#include "environment/SessionQueries.h"

#include <cstdio>
#include <cstring>

namespace qbnotify {
namespace {

std::string QueryText(Platform& platform, std::uint32_t sessionId, SessionInfoClass infoClass) {
  std::optional<std::string> buffer = platform.QuerySessionInformation(sessionId, infoClass);
  if (!buffer) return {};
  // The text ends at the first NUL, never past the bytes handed back.
  const std::size_t end = buffer->find('\0');
  return end == std::string::npos ? *buffer : buffer->substr(0, end);
}

std::uint32_t ReadLittleEndian(const std::string& bytes, std::size_t offset, std::size_t size) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < size && offset + i < bytes.size(); ++i)
    value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[offset + i])) << (8 * i);
  return value;
}

}  // namespace

std::string GetWinStationName(Platform& platform, std::uint32_t sessionId) {
  return QueryText(platform, sessionId, SessionInfoClass::WinStationName);
}

std::string GetInitialProgram(Platform& platform, std::uint32_t sessionId) {
  return QueryText(platform, sessionId, SessionInfoClass::InitialProgram);
}

std::string GetClientName(Platform& platform, std::uint32_t sessionId) {
  return QueryText(platform, sessionId, SessionInfoClass::ClientName);
}

std::string ProtocolLabel(std::uint16_t protocolType, const std::string& winStationName) {
  switch (protocolType) {
    case 0:
      return kLabelConsole;
    case 1:
      return kLabelIca;
    case 2: {
      // Only the ASCII letters are folded; every other byte, double-byte ones included,
      // stays as it is.
      std::string upper = winStationName;
      for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      if (upper.find("RDP") != std::string::npos) return kLabelRdp;
      if (upper.find("KEV") != std::string::npos) return kLabelKev;
      return kLabelOther;
    }
    default:
      return kLabelOther;
  }
}

std::string GetProtocolName(Platform& platform, std::uint32_t sessionId, const std::string& winStationName) {
  std::optional<std::string> buffer = platform.QuerySessionInformation(sessionId, SessionInfoClass::ClientProtocolType);
  if (!buffer || buffer->size() < 2) return {};
  return ProtocolLabel(static_cast<std::uint16_t>(ReadLittleEndian(*buffer, 0, 2)), winStationName);
}

ClientAddress FormatClientAddress(std::uint32_t family, const unsigned char* addressBytes) {
  ClientAddress result;
  switch (family) {
    case 0: result.family = "AF_UNSPEC"; break;
    case 2: result.family = "AF_INET"; break;
    case 6: result.family = "AF_IPX"; break;
    case 17: result.family = "AF_NETBIOS"; break;
    default: result.family = std::to_string(family); break;
  }
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", unsigned{addressBytes[2]}, unsigned{addressBytes[3]},
                unsigned{addressBytes[4]}, unsigned{addressBytes[5]});
  result.address = text;
  return result;
}

ClientAddress GetClientAddress(Platform& platform, std::uint32_t sessionId) {
  std::optional<std::string> buffer = platform.QuerySessionInformation(sessionId, SessionInfoClass::ClientAddress);
  if (!buffer) return {};
  // The record is a 32-bit family and 20 address bytes; a short buffer reads as zeros.
  unsigned char address[20] = {};
  if (buffer->size() > 4) std::memcpy(address, buffer->data() + 4, std::min<std::size_t>(20, buffer->size() - 4));
  return FormatClientAddress(ReadLittleEndian(*buffer, 0, 4), address);
}

}  // namespace qbnotify
