#include <gtest/gtest.h>

#include "environment/Switches.h"
#include "platform/hosted/HostedPlatform.h"

namespace qbnotify {
namespace {

const hosted::HostedPlatform& Cp936() {
  static const hosted::HostedPlatform platform{hosted::Session{}};
  return platform;
}

std::vector<std::string> AllParams(const std::string& text) {
  std::vector<std::string> params;
  for (Param p = NextParam(Cp936(), text, 0); !p.text.empty(); p = NextParam(Cp936(), text, p.next))
    params.push_back(p.text);
  return params;
}

TEST(SwitchTokenizer, SplitsByCommandLineRules) {
  using V = std::vector<std::string>;
  struct Case {
    std::string text;
    V params;
  } cases[] = {
      {"", {}},
      {"   \t ", {}},
      {"a  b\tc", {"a", "b", "c"}},
      {"a\x01" "b\x1F" "c\n d", {"a", "b", "c", "d"}},
      {"\"C:\\TAV\\kev shell.exe\" /U:bob", {"C:\\TAV\\kev shell.exe", "/U:bob"}},
      {"/U:\"Ann Lee\" x", {"/U:Ann Lee", "x"}},
      {"\"/U:Ann Lee\" x", {"/U:Ann Lee", "x"}},
      {"a\"b c\"d e", {"ab cd", "e"}},
      {"a \"\" b", {"a", "b"}},
      {"\"\"\"\" a", {"a"}},
      {"a \"b c", {"a", "b c"}},
      {"a\"\"b", {"ab"}},
      // Double-byte characters stay whole; their second bytes are never separators or quotes.
      {"\xD5\xC5 \xC8\xFD", {"\xD5\xC5", "\xC8\xFD"}},
      {"\x81\x40x \x81\x7E", {"\x81\x40x", "\x81\x7E"}},
      {"\"\xB0\xA1 \xB0\xA2\"", {"\xB0\xA1 \xB0\xA2"}},
  };
  for (const Case& c : cases) EXPECT_EQ(AllParams(c.text), c.params) << c.text;
}

TEST(SwitchTokenizer, ParamByIndexAndCount) {
  const std::string text = "prog.exe /N:A1 \"/U:x y\" /M:m";
  EXPECT_EQ(GetParam(Cp936(), text, 0), "prog.exe");
  EXPECT_EQ(GetParam(Cp936(), text, 2), "/U:x y");
  EXPECT_EQ(GetParam(Cp936(), text, 3), "/M:m");
  EXPECT_EQ(GetParam(Cp936(), text, 4), "");
  EXPECT_EQ(GetParamCount(Cp936(), text), 3u);
  EXPECT_EQ(GetParamCount(Cp936(), ""), 0u);
  EXPECT_EQ(GetParamCount(Cp936(), "  \t"), 0u);
  EXPECT_EQ(GetParamCount(Cp936(), "prog"), 0u);
  EXPECT_EQ(GetParam(Cp936(), "   ", 0), "");
}

TEST(SwitchValue, FindsFirstMatchByUpperCasedPrefix) {
  struct Case {
    const char* program;
    const char* name;
    const char* value;
  } cases[] = {
      {"kevshell.exe /N:APP00000012 /U:alice", "/N:", "APP00000012"},
      {"/U:first kevshell.exe", "/U:", "first"},                 // the program's place counts too
      {"k /U:alice /U:bob", "/U:", "alice"},                     // first wins
      {"k /u:MixedCase", "/U:", "MixedCase"},                    // lower-case letter matches, value keeps case
      {"k /N:", "/N:", ""},                                      // empty value
      {"k /N:a", "/M:", ""},                                     // absent
      {"k /U:\"Ann Lee\"", "/U:", "Ann Lee"},
      {"k \"/U:Ann Lee\"", "/U:", "Ann Lee"},
      {"k\t/E:S1\x01/M:00-11", "/M:", "00-11"},
      {"k /U:\xD5\xC5\xC8\xFD", "/U:", "\xD5\xC5\xC8\xFD"},
      // A double-byte first character never matches, even when its second byte looks like one.
      {"k \x81/U:x", "/U:", ""},
      {"k /UX:a", "/U:", ""},
      {"", "/U:", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(FindSwitchValue(Cp936(), c.program, c.name), c.value) << c.program;
}

TEST(SwitchValue, QueriesTheInitialProgramAfreshEachTime) {
  hosted::Session session;
  session.initialProgram = "k /N:one";
  hosted::HostedPlatform platform(session);
  EXPECT_EQ(GetSwitchValue(platform, "/N:"), "one");
  platform.State().initialProgram = "k /N:two";
  EXPECT_EQ(GetSwitchValue(platform, "/N:"), "two");
  platform.State().initialProgram.reset();  // a failed query: every switch is empty
  EXPECT_EQ(GetSwitchValue(platform, "/N:"), "");
}

}  // namespace
}  // namespace qbnotify
