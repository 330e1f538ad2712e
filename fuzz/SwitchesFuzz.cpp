// The initial program's tokenizer and switch lookup over any bytes the client may send.
//
// Checked against a reference written as a plain character-by-character state machine:
// the parameters, their count, the lookup by index and the four switches must all agree,
// and the tokenizer must always move forward and end.
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "environment/Switches.h"
#include "platform/hosted/HostedPlatform.h"

namespace {

using namespace qbnotify;

// The parameters as the command-line rules define them: separators are single bytes 1..32
// outside quotes, a double quote toggles a quoted stretch, a lead byte takes the next byte
// with it (unless that is the end), the text ends at the first NUL, and a parameter that
// collected nothing is no parameter.
std::vector<std::string> ReferenceParams(std::string_view input) {
  const std::string_view text = input.substr(0, input.find('\0'));
  std::vector<std::string> params;
  std::string current;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const std::size_t length = hosted::IsGbkLeadByte(byte) && i + 1 < text.size() ? 2 : 1;
    const std::string_view character = text.substr(i, length);
    i += length;
    if (character == "\"") {
      quoted = !quoted;
    } else if (!quoted && length == 1 && byte <= 32) {
      if (!current.empty()) params.push_back(std::move(current));
      current.clear();
    } else {
      current += character;
    }
  }
  if (!current.empty()) params.push_back(std::move(current));
  return params;
}

std::string ReferenceSwitch(const std::vector<std::string>& params, char letter) {
  for (const std::string& p : params) {
    if (p.size() < 3 || p[0] != '/' || p[2] != ':') continue;
    const char upper = (p[1] >= 'a' && p[1] <= 'z') ? static_cast<char>(p[1] - 'a' + 'A') : p[1];
    if (upper == letter) return p.substr(3);
  }
  return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  static const hosted::HostedPlatform platform{hosted::Session{}};
  const std::string text(fuzz::AsText(data, size));
  const std::vector<std::string> expected = ReferenceParams(text);

  std::vector<std::string> params;
  std::size_t position = 0;
  for (;;) {
    Param param = NextParam(platform, text, position);
    FUZZ_CHECK(param.next <= text.size());
    if (param.text.empty()) break;
    FUZZ_CHECK(param.next > position);
    FUZZ_CHECK(param.text.find('\0') == std::string::npos);
    FUZZ_CHECK(params.size() < text.size());
    params.push_back(std::move(param.text));
    position = param.next;
  }
  FUZZ_CHECK(params == expected);

  FUZZ_CHECK(GetParamCount(platform, text) == (params.empty() ? 0 : params.size() - 1));
  for (std::size_t index = 0; index <= params.size() && index < 16; ++index)
    FUZZ_CHECK(GetParam(platform, text, index) == (index < params.size() ? params[index] : std::string()));

  for (const char letter : {'N', 'U', 'M', 'E'}) {
    const std::string name = std::string("/") + letter + ":";
    FUZZ_CHECK(FindSwitchValue(platform, text, name) == ReferenceSwitch(params, letter));
  }
  return 0;
}
