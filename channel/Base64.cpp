#include "channel/Base64.h"

namespace qbnotify {

std::string EncodeBase64(std::string_view bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  constexpr std::size_t kBytesPerLine = 57;

  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4 + bytes.size() / kBytesPerLine * 2);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    if (i > 0 && i % kBytesPerLine == 0) out += "\r\n";
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t group = 0;
    for (std::size_t k = 0; k < 3; ++k)
      group = (group << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    out += kAlphabet[(group >> 18) & 63];
    out += kAlphabet[(group >> 12) & 63];
    out += n > 1 ? kAlphabet[(group >> 6) & 63] : '=';
    out += n > 2 ? kAlphabet[group & 63] : '=';
  }
  return out;
}

}  // namespace qbnotify
