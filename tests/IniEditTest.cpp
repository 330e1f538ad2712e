// The settings tool's writes into an existing file: its own keys set, everything else kept.
#include <gtest/gtest.h>

#include "tools/qbnotify-settings/IniEdit.h"

namespace qbnotify::tools {
namespace {

TEST(SetIniValues, SetsItsKeysAndKeepsEverythingElse) {
  const std::vector<IniValue> hostAndSpool = {{"DSConnection", "DSHost", "a:1,b:2"}, {"DSConnection", "DSDB", "cWJkcw##"}};
  struct Case {
    const char* name;
    const char* text;
    std::vector<IniValue> values;
    const char* expected;
  } cases[] = {
      {"empty file", "", hostAndSpool, "[DSConnection]\r\nDSHost=a:1,b:2\r\nDSDB=cWJkcw##\r\n"},
      {"replaced in place, case folded, other keys and sections kept",
       "[dsconnection]\r\nDSUID=dQ##\r\ndshost = old:1\r\n\r\n[Spool]\r\nMaxRows=5\r\n", hostAndSpool,
       "[dsconnection]\r\nDSUID=dQ##\r\nDSHost=a:1,b:2\r\nDSDB=cWJkcw##\r\n\r\n[Spool]\r\nMaxRows=5\r\n"},
      {"missing key added before the blank lines that end its section", "[A]\nx=1\n\n[B]\ny=2\n",
       {{"A", "k", "2"}}, "[A]\nx=1\nk=2\n\n[B]\ny=2\n"},
      {"missing section appended after a blank line", "; note\n", {{"B", "k", "2"}}, "; note\n\n[B]\nk=2\n"},
      {"only the first of a repeated key or section is the reader's", "[A]\nk=1\nk=9\n[A]\nk=8\n",
       {{"A", "k", "2"}}, "[A]\nk=2\nk=9\n[A]\nk=8\n"},
      {"comments and keys before any section untouched", "k=0\n;k=1\n[A]\n;k=3\n", {{"A", "k", "2"}},
       "k=0\n;k=1\n[A]\n;k=3\nk=2\n"},
      {"no line end at the end of the file", "[A]\r\nx=1", {{"A", "x", "3"}, {"C", "z", "4"}},
       "[A]\r\nx=3\r\n\r\n[C]\r\nz=4\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(SetIniValues(c.text, c.values), c.expected) << c.name;
}

}  // namespace
}  // namespace qbnotify::tools
