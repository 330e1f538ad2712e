// The session host's session-file reader, in process: the "_hex" fields.
#include <gtest/gtest.h>

#include "tools/qbnotify-host/SessionFile.h"

namespace qbnotify {
namespace {

using host::ParseSessionFile;
using host::SessionFileError;

std::string InitialProgramHex(const std::string& digits) {
  return ParseSessionFile(R"({"initial_program_hex": ")" + digits + R"("})").session.initialProgram.value();
}

// Expects `parse(input)` to be refused with a message that holds `needle`.
template <typename Parse>
void ExpectRefused(Parse parse, const std::string& input, const std::string& needle) {
  try {
    parse(input);
    ADD_FAILURE() << "accepted " << input;
  } catch (const SessionFileError& error) {
    EXPECT_NE(std::string(error.what()).find(needle), std::string::npos) << input;
  }
}

TEST(SessionFile, RefusesNumbersBeyondADoubleAsInvalidJson) {
  for (const char* text : {R"({"remote": 1e400})", R"({"protocol_type": -1e400})",
                           R"({"windows": [{"handle": 18446744073709551616e300}]})"})
    ExpectRefused([](const std::string& t) { ParseSessionFile(t); }, text, "not valid JSON");
}

TEST(SessionFileHex, ReadsTwoDigitsPerByteInEitherCase) {
  struct Case {
    const char* digits;
    std::string bytes;
  } cases[] = {
      {"", ""},
      {"00", std::string(1, '\0')},
      {"00ff7F", std::string("\0\xFF\x7F", 3)},
      {"AbCdEf", "\xAB\xCD\xEF"},
      {"d5c5c8fd", "\xD5\xC5\xC8\xFD"},
  };
  for (const Case& c : cases) EXPECT_EQ(InitialProgramHex(c.digits), c.bytes) << c.digits;
}

TEST(SessionFileHex, RefusesAnythingButPairsOfHexDigits) {
  // A blank, a sign or "0x" before a digit pair was once taken for part of a number.
  for (const char* digits : {"4", "4G", "G4", " 41", "+1", "-1", "0x41", "4 ", "41\\u0000"})
    ExpectRefused(InitialProgramHex, digits, "initial_program_hex");
}

TEST(SessionFileHex, ReadsALongFieldInOnePass) {
  // 6 MiB of bytes. A reader whose time grows with the square of the field (1 MiB once took
  // 32 s) would need about twenty minutes here, far past this test's time limit; one pass
  // takes seconds at most, most of them spent parsing the JSON.
  constexpr std::size_t kBytes = 6u << 20;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string expected(kBytes, '\0');
  std::string digits(2 * kBytes, '0');
  for (std::size_t i = 0; i < kBytes; ++i) {
    const auto byte = static_cast<unsigned char>(i * 131 + (i >> 8));
    expected[i] = static_cast<char>(byte);
    digits[2 * i] = kDigits[byte >> 4];
    digits[2 * i + 1] = kDigits[byte & 15];
  }
  const host::SessionFile file = ParseSessionFile(R"({"windows": [{"handle": 1, "title_hex": ")" + digits + R"("}]})");
  ASSERT_EQ(file.session.windows.size(), 1u);
  EXPECT_TRUE(file.session.windows[0].title == expected);
}

}  // namespace
}  // namespace qbnotify
