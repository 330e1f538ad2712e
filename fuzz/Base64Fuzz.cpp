// The Base64 coder of the settings values and of the client's status messages.
//
// Any bytes fed to the decoder: the result must equal a reference decoder's on texts made of
// alphabet characters with at most two trailing "=", and be empty for every other text. The
// same bytes taken as a setting's plain value must come back unchanged from the coded form
// that the settings tool writes, and that form must be one line of alphabet characters and "#".
#include <algorithm>
#include <optional>
#include <string>

#include "FuzzCheck.h"
#include "channel/Base64.h"
#include "environment/ConnectionSettings.h"

namespace {

using namespace qbnotify;

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Standard decoding by groups of four characters; a last group of two or three gives one or
// two bytes, a last group of one gives none. nullopt for a text outside the alphabet.
std::optional<std::string> ReferenceDecode(std::string_view text) {
  for (int i = 0; i < 2 && !text.empty() && text.back() == '='; ++i) text.remove_suffix(1);
  std::string out;
  for (std::size_t group = 0; group < text.size(); group += 4) {
    const std::string_view chars = text.substr(group, 4);
    unsigned long value = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      std::size_t index = 0;
      if (k < chars.size()) {
        index = kAlphabet.find(chars[k]);
        if (index == std::string_view::npos) return std::nullopt;
      }
      value = value << 6 | index;
    }
    const std::size_t bytes = chars.size() == 4 ? 3 : chars.size() == 3 ? 2 : chars.size() == 2 ? 1 : 0;
    for (std::size_t b = 0; b < bytes; ++b) out.push_back(static_cast<char>(value >> (16 - 8 * b) & 0xFF));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const std::string_view input = fuzz::AsText(data, size);

  const std::string decoded = DecodeBase64Text(input);
  const std::optional<std::string> expected = ReferenceDecode(input);
  FUZZ_CHECK(decoded == expected.value_or(""));

  // The settings tool's coded form of these bytes, and the reader's way back.
  std::string coded = EncodeSettingValue(input);
  FUZZ_CHECK(std::all_of(coded.begin(), coded.end(),
                         [](char c) { return c == '#' || kAlphabet.find(c) != std::string_view::npos; }));
  FUZZ_CHECK(coded.size() == (size + 2) / 3 * 4);
  std::replace(coded.begin(), coded.end(), '#', '=');
  FUZZ_CHECK(DecodeBase64Text(coded) == input);
  coded.erase(coded.find_last_not_of('=') + 1);  // padding is optional
  FUZZ_CHECK(DecodeBase64Text(coded) == input);

  // The status messages' encoder, whose lines of 76 characters are joined by CR LF.
  std::string message = EncodeBase64(input);
  std::erase(message, '\r');
  std::erase(message, '\n');
  FUZZ_CHECK(ReferenceDecode(message) == std::optional<std::string>(input));
  return 0;
}
