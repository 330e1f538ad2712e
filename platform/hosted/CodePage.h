// Conversions between UTF-8 (what people and JSON files use here) and code page 936 (what
// the library sees), for the hosted tools.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qbnotify::hosted {

// UTF-8 to code page 936; nullopt when the text is not valid UTF-8 or holds a character
// that code page 936 lacks.
std::optional<std::string> Utf8ToCp936(std::string_view utf8);

// Code page 936 to UTF-8; a byte sequence that is not valid code page 936 becomes U+FFFD,
// so the result is always valid UTF-8.
std::string Cp936ToUtf8(std::string_view bytes);

}  // namespace qbnotify::hosted
