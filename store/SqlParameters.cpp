#include "store/SqlParameters.h"

namespace qbnotify {
namespace {

bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// "--" starts a comment only when a blank or a control character (or the end) follows it, as
// the server reads it; otherwise it is two minus signs.
bool StartsDashComment(std::string_view sql, std::size_t i) {
  if (sql.substr(i, 2) != "--") return false;
  if (i + 2 >= sql.size()) return true;
  const auto after = static_cast<unsigned char>(sql[i + 2]);
  return after <= 32 || after == 127;
}

}  // namespace

std::string FoldName(std::string_view name) {
  std::string folded(name);
  for (char& c : folded)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return folded;
}

std::vector<SqlPiece> ScanSqlParameters(std::string_view sql) {
  enum class State { Normal, Quoted, LineComment, BlockComment };
  std::vector<SqlPiece> pieces;
  std::string literal;
  State state = State::Normal;
  char quote = 0;

  for (std::size_t i = 0; i < sql.size(); ++i) {
    const char c = sql[i];
    const char next = i + 1 < sql.size() ? sql[i + 1] : '\0';
    switch (state) {
      case State::Normal:
        if (c == ':' && IsNameChar(next)) {
          std::size_t end = i + 1;
          while (end < sql.size() && IsNameChar(sql[end])) ++end;
          if (!literal.empty()) pieces.push_back({false, std::move(literal)});
          literal.clear();
          pieces.push_back({true, std::string(sql.substr(i + 1, end - i - 1))});
          i = end - 1;
          continue;
        }
        if (c == '\'' || c == '"' || c == '`') {
          state = State::Quoted;
          quote = c;
        } else if (c == '#' || StartsDashComment(sql, i)) {
          state = State::LineComment;
        } else if (c == '/' && next == '*') {
          state = State::BlockComment;
          literal += c;
          literal += next;
          ++i;
          continue;
        }
        break;
      case State::Quoted:
        if (c == '\\' && quote != '`' && i + 1 < sql.size()) {
          literal += c;
          literal += next;
          ++i;
          continue;
        }
        if (c == quote) {
          if (next == quote) {  // a doubled quote stands for itself
            literal += c;
            literal += next;
            ++i;
            continue;
          }
          state = State::Normal;
        }
        break;
      case State::LineComment:
        if (c == '\n') state = State::Normal;
        break;
      case State::BlockComment:
        if (c == '*' && next == '/') {
          literal += c;
          literal += next;
          ++i;
          state = State::Normal;
          continue;
        }
        break;
    }
    literal += c;
  }
  if (!literal.empty()) pieces.push_back({false, std::move(literal)});
  return pieces;
}

}  // namespace qbnotify
