// Reading the session-load table: which running sessions belong to a user or application.
//
// A running session is recognised by the switches of its initial program, read with the
// same tokenizer as the session's own: "/U:" for its user and "/N:" for its application.
// The database's LIKE only narrows the rows down; it never decides on its own.
#pragma once

#include <string>

#include "platform/Platform.h"

namespace qbnotify {

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
