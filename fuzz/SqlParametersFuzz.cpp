// The statement parameter scanner over any SQL text.
//
// The pieces must put the text back together exactly (a parameter as ":" and its name),
// never hold two literal pieces in a row or an empty piece, and give each parameter the
// whole run of name characters. A colon inside a quoted literal is never a parameter: the
// input is also embedded, escaped as the client library escapes a value, between quotes
// of each kind, and the only parameter found must be the one after the literal.
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "store/SqlParameters.h"

namespace {

using namespace qbnotify;

bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// The escapes a value gets before it is placed between quotes (a backslash before NUL,
// line breaks, quotes, backslash and ^Z), byte by byte.
std::string Escaped(std::string_view value) {
  std::string out;
  for (char c : value) {
    switch (c) {
      case '\0': out += "\\0"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\x1a': out += "\\Z"; break;
      case '\\': case '\'': case '"': case '`': out += '\\'; out += c; break;
      default: out += c;
    }
  }
  return out;
}

void CheckPieces(std::string_view sql, const std::vector<SqlPiece>& pieces) {
  std::string joined;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const SqlPiece& piece = pieces[i];
    FUZZ_CHECK(!piece.text.empty());
    if (piece.isParameter) {
      for (char c : piece.text) FUZZ_CHECK(IsNameChar(c));
      FUZZ_CHECK(FoldName(piece.text) == FoldName(FoldName(piece.text)));
      joined += ':';
      if (i + 1 < pieces.size() && !pieces[i + 1].isParameter) FUZZ_CHECK(!IsNameChar(pieces[i + 1].text.front()));
    } else if (i > 0) {
      FUZZ_CHECK(pieces[i - 1].isParameter);
    }
    joined += piece.text;
  }
  FUZZ_CHECK(joined == sql);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const std::string_view input = fuzz::AsText(data, size);
  CheckPieces(input, ScanSqlParameters(input));

  // A backquoted name has no backslash escapes: a backquote inside is doubled instead.
  std::string doubled;
  for (char c : input) doubled += c == '`' ? std::string("``") : std::string(1, c);
  for (const std::string& literal : {"'" + Escaped(input) + "'", "\"" + Escaped(input) + "\"", "`" + doubled + "`"}) {
    const std::string sql = "select " + literal + " from t where a=:Value";
    const std::vector<SqlPiece> pieces = ScanSqlParameters(sql);
    CheckPieces(sql, pieces);
    FUZZ_CHECK(pieces.size() == 2);
    FUZZ_CHECK(pieces[1].isParameter && pieces[1].text == "Value");
  }
  return 0;
}
