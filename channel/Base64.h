// Base64 encoding (standard alphabet, "=" padding), written in lines of at most 76
// characters (57 input bytes) separated by CR LF, as mail bodies are. Inputs of up to 57
// bytes give one line without a break:
//   ""    -> ""        "A"   -> "QQ=="     "AB" -> "QUI="     "ABC" -> "QUJD"
#pragma once

#include <string>
#include <string_view>

namespace qbnotify {

std::string EncodeBase64(std::string_view bytes);

}  // namespace qbnotify
