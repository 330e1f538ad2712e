#include "platform/hosted/CodePage.h"

#include <cerrno>
#include <iconv.h>
#include <memory>

namespace qbnotify::hosted {
namespace {

struct Converter {
  explicit Converter(const char* to, const char* from) : handle(iconv_open(to, from)) {}
  ~Converter() {
    if (handle != reinterpret_cast<iconv_t>(-1)) iconv_close(handle);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  iconv_t handle;
};

// Converts as much as possible; at an invalid or unconvertible sequence calls `onError`,
// which returns false to give up or true after skipping one input byte.
template <typename OnError>
bool Convert(Converter& converter, std::string_view input, std::string& output, OnError onError) {
  if (converter.handle == reinterpret_cast<iconv_t>(-1)) return false;
  char* in = const_cast<char*>(input.data());
  std::size_t inLeft = input.size();
  char buffer[256];
  while (inLeft > 0) {
    char* out = buffer;
    std::size_t outLeft = sizeof buffer;
    const std::size_t done = iconv(converter.handle, &in, &inLeft, &out, &outLeft);
    output.append(buffer, static_cast<std::size_t>(out - buffer));
    if (done != static_cast<std::size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    if (!onError(output)) return false;
    ++in;  // skip the offending byte
    --inLeft;
    iconv(converter.handle, nullptr, nullptr, nullptr, nullptr);
  }
  return true;
}

}  // namespace

std::optional<std::string> Utf8ToCp936(std::string_view utf8) {
  Converter converter("CP936", "UTF-8");
  std::string output;
  if (!Convert(converter, utf8, output, [](std::string&) { return false; })) return std::nullopt;
  return output;
}

std::string Cp936ToUtf8(std::string_view bytes) {
  Converter converter("UTF-8", "CP936");
  std::string output;
  Convert(converter, bytes, output, [](std::string& out) {
    out += "\xEF\xBF\xBD";
    return true;
  });
  return output;
}

}  // namespace qbnotify::hosted
