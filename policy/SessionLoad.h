// Reading the session-load table: which running sessions belong to a user or application.
//
// A running session is recognised by the switches of its initial program, read with the
// same tokenizer as the session's own: "/U:" for its user and "/N:" for its application.
// The database's LIKE only narrows the rows down; it never decides on its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Platform.h"
#include "session/Decisions.h"
#include "session/SessionContext.h"

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

// The two forms of a session-load search.
//
// A farm whose table has the optional switch columns (db/migrations/sessionload-index-add.sql:
// AppSwitch and UserSwitch, the "/N:" and "/U:" values computed by the server) is searched
// by equality on them, which an index serves; any other table by LIKE on InitAppName, which
// reads every row. Either form only narrows the rows: the switch reader decides which count,
// so both count the same rows.
enum class SessionLoadForm { Like, SwitchColumns };

// The form this instance uses: the one it has learnt, or, while it knows none, the switch
// columns (the first search then tells whether they are there, at no extra round trip).
SessionLoadForm ChooseSessionLoadForm(const Instance& instance);
// What a search learnt: that the columns are there (it succeeded with them) or not (the
// server did not know a column, 1054). The answer is kept for the instance's later searches.
void LearnSessionLoadForm(Instance& instance, SessionLoadForm form);

// Every session has its own process, so a farm without the columns would pay one refused
// statement at every startup. A search that finds them missing therefore leaves a note in
// the state directory ("session-load-form": "like <until>", seconds since 1970), and the
// first search of a later process reads it: the LIKE form until then. The note holds only
// while the table keeps its shape: the first LIKE search of a process that read it carries
// the shape check (kSessionLoadShapeCheck, one more row when both columns are there, in the
// same round trip); when the columns have been added the note is removed and the search runs
// again with them, so a migration is taken up by the first session after it. After its time
// the columns are tried again anyway. A missing or bad note, or one further ahead than this
// time (a clock set back, a planted file), means nothing is known.
inline constexpr std::int64_t kSessionLoadFormNoteSeconds = 600;
inline constexpr const char* kSessionLoadFormStateName = "session-load-form";
// Appended to a LIKE search (whose rows then carry a second column, 0) with UNION ALL: a last
// row (NULL, 1) when the table has both switch columns. No client text in it.
inline constexpr const char* kSessionLoadShapeCheck =
    "select NULL, 1 from DUAL where (select count(*) from information_schema.COLUMNS where "
    "TABLE_SCHEMA = DATABASE() and TABLE_NAME = 'dc_sessionload' and COLUMN_NAME in ('AppSwitch', 'UserSwitch')) = 2";
// Whether a note's content says "LIKE form" at `now`.
bool SessionLoadNoteSaysLike(std::string_view content, std::int64_t now);
// The note's content for a LIKE form learnt at `now`.
std::string SessionLoadLikeNote(std::int64_t now);

// One search of the session-load table, in both forms. `switches` are the parameters that
// stand for switch values (name, value): the LIKE form binds each as ContainsPattern of the
// value, the other form as the value itself. `exact` parameters are bound as they are in both;
// `columnsNumbers` only in the columns form, whose text alone names them.
struct SessionLoadSearch {
  std::string likeSql;
  std::string columnsSql;
  std::vector<std::pair<std::string, std::string>> switches;
  std::vector<std::pair<std::string, std::string>> exact;
  std::vector<std::pair<std::string, std::int32_t>> columnsNumbers;
};

// Above this many rows a table without the switch columns costs each startup milliseconds
// of the server's time (about 6 ms per 1,000 rows here); the tools then suggest the migration.
inline constexpr std::int64_t kSessionLoadRowsWorthIndexing = 5000;

// The three searches of an admission: the application's running sessions, the user's
// sessions of it, and the user's sessions from client computers of another name.
//
// The application's search takes its limit (app_session_count). In the columns form the
// server first counts the rows whose AppSwitch is the identifier, from the index alone, and
// answers that count (second column) with the rows only when it reaches a limit that is not
// 0; below it, one row (NULL, count). Since the switch reader counts only rows the search
// returns, a count below the limit admits exactly as reading the rows would: the rows of a
// large farm's busy application are read only when they could refuse.
SessionLoadSearch ApplicationSessionsSearch(const std::string& appId, std::int32_t limit);
SessionLoadSearch UserApplicationSessionsSearch(const std::string& appId, const std::string& userName);
SessionLoadSearch OtherClientSessionsSearch(const std::string& userName, const std::string& clientName);

// Runs the search on the instance's DC connection in the form it uses, and records it in
// `queries`. A statement with the columns that the server refuses for an unknown column
// (they were removed) is sent again in the LIKE form, and the LIKE form is learnt.
// Raises DatabaseError.
void OpenSessionLoadSearch(Instance& instance, Statement& statement, const SessionLoadSearch& search,
                           std::vector<QueryStep>& queries);
// The same in a form given by the caller, learning nothing (tests and tools compare forms).
void OpenSessionLoadSearchIn(SessionLoadForm form, const Platform& platform, Statement& statement,
                             const SessionLoadSearch& search);

}  // namespace qbnotify
