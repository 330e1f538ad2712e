// Named parameters in SQL texts.
//
// A parameter is written as a colon followed by its name (letters, digits, "_"); names are
// matched without regard to letter case and may occur any number of times. A colon inside
// a quoted literal ('...', "...", `...`) or a comment is part of the text:
//
//   sql                                    pieces
//   "where a=:A and b=:a"                  "where a=" A " and b=" a
//   "values(:H,:I)"                        "values(" H "," I ")"
//   "where t='12:30' and n=:n"             "where t='12:30' and n=" n
//   "select 1 -- :x\n, :y"                 "select 1 -- :x\n, " y
//   "select 1--:x"                         "select 1--" x     ("--" and no blank: two minus signs)
//   "where a=:"                            "where a=:"       (no name: plain text)
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qbnotify {

struct SqlPiece {
  bool isParameter = false;
  std::string text;  // the literal text, or the parameter's name as written
};

std::vector<SqlPiece> ScanSqlParameters(std::string_view sql);

// Upper-cases ASCII letters: the form under which parameter and column names are compared.
std::string FoldName(std::string_view name);

}  // namespace qbnotify
