// Reading the session-load table: which running sessions belong to a user or application.
//
// A running session is recognised by the switches of its initial program, read with the
// same tokenizer as the session's own: "/U:" for its user and "/N:" for its application.
// The database's LIKE only narrows the rows down; it never decides on its own.
#pragma once

#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace qbnotify {

// Walks a text by whole characters of the ANSI code page (an embedded NUL counts as one
// byte) and calls visit(character, special) for each: `special` when the character is one
// byte that the server's LIKE reads specially, the wildcards "%" and "_" or the escape "\".
// The second byte of a double-byte character may have such a value and is never special.
template <typename Visit>
void ForEachLikeCharacter(const Platform& platform, const std::string& text, Visit visit) {
  const char* at = text.c_str();
  const char* const end = at + text.size();
  while (at < end) {
    const char* next = platform.NextChar(at);
    if (next <= at || next > end) next = at + 1;
    visit(std::string_view(at, static_cast<std::size_t>(next - at)),
          next == at + 1 && (*at == '%' || *at == '_' || *at == '\\'));
    at = next;
  }
}

// A LIKE pattern that matches any text containing `text`: "%" + text + "%", with the
// characters "%", "_" and "\" escaped, so that they match only themselves. The text is read
// by whole characters of the ANSI code page: the second byte of a double-byte character may
// have the value of "\" or "_" and is part of that character, never escaped on its own.
std::string ContainsPattern(const Platform& platform, const std::string& text);

// Whether the initial program's switch (such as "/U:") has the given value, letter case
// ignored as the server's collation ignores it for names.
bool SwitchValueEquals(const Platform& platform, const std::string& initialProgram, const std::string& switchName,
                       const std::string& expected);

}  // namespace qbnotify
