// The initial program's parameters and switches.
//
// The client writes who is connecting and for which application into the session's initial
// program as switches ("/N:APP00000012 /U:alice ..."). The text is split by the usual
// command-line rules, stepping by whole characters of the ANSI code page so that a
// double-byte character is never split:
//
//   text                          parameters
//   ""                            (none)
//   "a  b\tc"                     a | b | c          any byte 1..32 separates
//   "\"C:\\x y\\k.exe\" /U:bob"   C:\x y\k.exe | /U:bob
//   "/U:\"Ann Lee\""              /U:Ann Lee         a quoted stretch may start anywhere
//   "\"/U:Ann Lee\""              /U:Ann Lee
//   "a \"\" b"                    a | b              an empty quoted pair is skipped
//   "a \"b c"                     a | b c            an unclosed quote takes the rest
#pragma once

#include <cstddef>
#include <string>
#include <utility>

#include "platform/Platform.h"

namespace qbnotify {

struct Param {
  std::string text;    // empty only at the end of the text
  std::size_t next;    // the position just after the parameter
};

// The parameter that starts at or after `position`.
Param NextParam(const Platform& platform, const std::string& text, std::size_t position);

// The parameter with the given index, counted from 0; empty when the text has fewer.
std::string GetParam(const Platform& platform, const std::string& text, std::size_t index);

// The number of parameters after the first one.
std::size_t GetParamCount(const Platform& platform, const std::string& text);

// The value of a switch such as "/N:" (given in upper case) in the current session's
// initial program, which is queried afresh: the first parameter whose first three bytes,
// upper-cased, equal the name gives the rest of that parameter. Empty when no parameter
// matches (or the switch has no value).
std::string GetSwitchValue(Platform& platform, const std::string& switchName);

// The same lookup in a given initial-program text.
std::string FindSwitchValue(const Platform& platform, const std::string& initialProgram, const std::string& switchName);

}  // namespace qbnotify
