// Setting values in the text of an INI file while keeping everything else: other sections,
// other keys, comments, blank lines and the file's line ends stay as they were.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qbnotify::tools {

struct IniValue {
  std::string section;
  std::string key;
  std::string value;
};

// The text with each value set. Sections and keys are matched without regard to ASCII case,
// as the profile reader matches them; the first line of a key in the first section of its
// name is replaced (the reader takes that one) and later repetitions are left alone; a key
// that is missing is added at the end of its section, a section that is missing at the end
// of the text. New lines take the text's own line end ("\r\n" for an empty text).
//   ("[A]\r\nk=1\r\n", A.k=2)          -> "[A]\r\nk=2\r\n"
//   ("[A]\nx=1\n\n[B]\n", A.k=2)       -> "[A]\nx=1\nk=2\n\n[B]\n"
//   ("; note\n", B.k=2)                -> "; note\n\n[B]\nk=2\n"
std::string SetIniValues(std::string_view text, const std::vector<IniValue>& values);

}  // namespace qbnotify::tools
