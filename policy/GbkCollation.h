// The comparisons of code-page-936 texts that the rule query makes on the server, under the
// tables' collation (gbk_chinese_ci), done here so that a decision taken without the server
// is the one the server would take on the same rows.
//
// What the server does, measured on it:
// - A text is a run of characters: a byte 0x81-0xFE followed by one of 0x40-0x7E or
//   0x80-0xFE is one two-byte character; any other byte is a character of its own.
// - A one-byte character weighs by a table that folds ASCII letters to capitals and also
//   puts '~' with 'Y' and moves '[', '\' and ']' among themselves. Every two-byte
//   character has a weight of its own (full-width letters do not fold), above every one-byte
//   character.
// - '=' and '<' compare weights in order; the shorter text counts as padded with spaces, so
//   trailing spaces do not matter.
// - LIKE walks the pattern character by character: '%' any run, '_' one character, '\' takes
//   the next character literally; a one-byte character matches by weight, a two-byte one by
//   its bytes. Trailing spaces matter.
#pragma once

#include <string>
#include <string_view>

namespace qbnotify::gbk {

// <0, 0 or >0 as the server orders `a` and `b`. Two two-byte characters that differ are
// ordered by their codes here, which may differ from the server's order; the rule query
// never orders two such characters (one side of each of its comparisons is the client's
// dotted address).
int Compare(std::string_view a, std::string_view b);
inline bool Equal(std::string_view a, std::string_view b) { return Compare(a, b) == 0; }

// `text LIKE pattern`, with '\' as the escape character.
bool Like(std::string_view text, std::string_view pattern);

// The bytes of the first character of `text` (1 or 2; 0 for an empty text).
std::size_t CharLength(std::string_view text);

// `text` with every '*' made '%' and every '?' made '_' (the rule query's replace()).
std::string WildcardsToLike(std::string_view text);

}  // namespace qbnotify::gbk
