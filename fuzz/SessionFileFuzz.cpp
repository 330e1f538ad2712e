// The session host's session-file reader over any text.
//
// A session file is either read or refused with SessionFileError; no other exception may
// leave the reader, since the host turns only that one into its "bad session file" answer.
// The input's bytes, written as a "_hex" field, must also come back byte for byte.
#include <string>

#include "FuzzCheck.h"
#include "tools/qbnotify-host/SessionFile.h"

namespace {

using namespace qbnotify;

bool Parses(std::string_view text) {
  try {
    host::ParseSessionFile(text);
    return true;
  } catch (const host::SessionFileError&) {
    return false;
  }
}

std::string Hex(std::string_view bytes, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  for (char c : bytes) {
    out += digits[static_cast<unsigned char>(c) >> 4];
    out += digits[static_cast<unsigned char>(c) & 15];
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const std::string_view input = fuzz::AsText(data, size);
  Parses(input);

  const bool upper = size > 0 && (data[0] & 1);
  const host::SessionFile file = host::ParseSessionFile(
      R"({"initial_program_hex": ")" + Hex(input, upper) + R"(", "windows": [{"handle": 7, "title_hex": ")" +
      Hex(input, !upper) + R"("}]})");
  FUZZ_CHECK(file.session.initialProgram == std::string(input));
  FUZZ_CHECK(file.session.windows.size() == 1 && file.session.windows[0].title == input);

  // An odd digit count or a digit that is no hexadecimal digit is refused, never misread.
  if (size > 0) {
    FUZZ_CHECK(!Parses(R"({"client_name_hex": ")" + Hex(input, upper).substr(1) + R"("})"));
    std::string bad = Hex(input, upper);
    bad[static_cast<std::size_t>(data[0]) % bad.size()] = static_cast<char>("g +-xG\\u"[data[size - 1] % 8]);
    FUZZ_CHECK(!Parses(R"({"client_name_hex": ")" + bad + R"("})"));
  }
  return 0;
}
