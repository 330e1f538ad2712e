// The SQL parameter scanner where it must read comments as the server reads them.
#include <gtest/gtest.h>

#include "store/SqlParameters.h"

namespace qbnotify {
namespace {

TEST(SqlParameters, DoubleDashIsACommentOnlyBeforeABlankOrControlCharacter) {
  struct Case {
    std::string sql;
    std::vector<std::string> parameters;
  } cases[] = {
      {"select 1--:x", {"x"}},            // 1 - (-:x): the server runs it with the value
      {"select :a--:b, 2", {"a", "b"}},
      {"select 1---:x", {"x"}},
      {"select 1-- :x\n, :y", {"y"}},
      {"select 1--\t:x\n, :y", {"y"}},
      {"select 1--\n:y", {"y"}},          // a comment that ends at once
      {std::string("select 1--\x01:x\n:y"), {"y"}},
      {"select 1--\x7f:x\n:y", {"y"}},
      {"select :a--", {"a"}},             // "--" at the very end: an empty comment
      {"select '--:x', :y", {"y"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> names;
    std::string joined;
    for (const SqlPiece& piece : ScanSqlParameters(c.sql)) {
      if (piece.isParameter) names.push_back(piece.text);
      joined += (piece.isParameter ? ":" : "") + piece.text;
    }
    EXPECT_EQ(names, c.parameters) << c.sql;
    EXPECT_EQ(joined, c.sql);
  }
}

}  // namespace
}  // namespace qbnotify
