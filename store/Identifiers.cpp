#include "store/Identifiers.h"

#include <algorithm>
#include <charconv>
#include <optional>

#include <mysqld_error.h>

#include "store/ServerErrors.h"

namespace qbnotify {
namespace {

bool IsRetryable(const DatabaseError& error) {
  switch (KindOfError(error.Code())) {
    case ErrorKind::Conflict:      // also a cluster's certification conflict
    case ErrorKind::NotReady:      // a cluster node that is not ready yet
    case ErrorKind::DuplicateKey:  // first draws of a head racing to create its row
      return true;
    default:
      return false;
  }
}

// Whether the tail after the head is all digits 0-9 (and not empty): no character of it is
// anything else. No anchors: "$" would also match before a final line break. A length, not a
// comparison with '': the collation would take trailing blanks for nothing. (The statement
// is parsed at every draw, and its length is most of the server's cost beyond the row's.)
#define QB_TAIL "SUBSTRING(ID, LENGTH(:np)+1)"
#define QB_TAIL_IS_DIGITS "LENGTH(" QB_TAIL ") > 0 and " QB_TAIL " NOT REGEXP '[^0-9]'"

// The draw in one statement. LAST_INSERT_ID(expr) stores the new number as the connection's
// insert id, which comes back with the answer to the UPDATE: no second round trip, no lock
// held between statements, and the row lock lasts only as long as the autocommitted UPDATE.
// Only the counter of a head that has exactly one row, whose tail (after the head's length)
// is all digits and whose next number fits 32 bits, is advanced; every other case changes no
// row and is settled by a read. The count locks the head's rows before the UPDATE does (a
// plain read would take shared locks, and two draws holding them would deadlock on the
// upgrade). LPAD never cuts: the width grows with the number (Log99999999 -> Log100000000).
#define QB_DRAW_SET \
  " set ID=CONCAT(:np, LPAD(LAST_INSERT_ID(CAST(" QB_TAIL " AS UNSIGNED)+1), " \
  "GREATEST(:width, LENGTH(LAST_INSERT_ID(CAST(" QB_TAIL " AS UNSIGNED)+1))), '0')) " \
  "where Head=:np and " QB_TAIL_IS_DIGITS " and CAST(" QB_TAIL " AS UNSIGNED) < 2147483647"
constexpr const char* kDrawSql =
    "Update GloabolInc" QB_DRAW_SET " and (select count(*) from GloabolInc where Head=:np for update) = 1";
// The same where the primary key is Head alone: the count, half the draw's cost to the
// server, has nothing to find. The statement names the key, so that a table whose primary
// key has gone since it was seen refuses it (1176) instead of advancing several rows.
constexpr const char* kKeyedDrawSql = "Update GloabolInc FORCE INDEX (PRIMARY)" QB_DRAW_SET;

// The block draw: as kDrawSql, advancing by :count rather than 1.
constexpr const char* kBlockDrawSql =
    "Update GloabolInc set ID=CONCAT(:np, LPAD(LAST_INSERT_ID(CAST(" QB_TAIL " AS UNSIGNED)+:count), "
    "GREATEST(:width, LENGTH(LAST_INSERT_ID(CAST(" QB_TAIL " AS UNSIGNED)+:count))), '0')) "
    "where Head=:np and " QB_TAIL_IS_DIGITS " and CAST(" QB_TAIL " AS UNSIGNED) <= 2147483647 - :count and "
    "(select count(*) from GloabolInc where Head=:np for update) = 1";
#undef QB_DRAW_SET
#undef QB_TAIL_IS_DIGITS
#undef QB_TAIL

// Whether the counter table's primary key is Head alone (information_schema shows the keys
// of a table the account holds any privilege on). Asked once per connection, after a few
// single draws, so that a handler that draws one or two pays nothing for it.
constexpr unsigned kSingleDrawsBeforeAsking = 4;
constexpr const char* kKeyedOnHeadSql =
    "select count(*) from information_schema.STATISTICS k where k.TABLE_SCHEMA = DATABASE() and "
    "k.TABLE_NAME = 'GloabolInc' and k.INDEX_NAME = 'PRIMARY' and k.SEQ_IN_INDEX = 1 and k.COLUMN_NAME = 'Head' and "
    "not exists (select 1 from information_schema.STATISTICS o where o.TABLE_SCHEMA = k.TABLE_SCHEMA and "
    "o.TABLE_NAME = k.TABLE_NAME and o.INDEX_NAME = 'PRIMARY' and o.SEQ_IN_INDEX > 1)";

bool KeyedOnHead(Connection& connection) {
  Connection::CounterNotes& notes = connection.counterNotes;
  if (notes.keyedOnHead) return *notes.keyedOnHead;
  if (++notes.singleDraws < kSingleDrawsBeforeAsking) return false;
  try {
    const Connection::Result answer = connection.Query(kKeyedOnHeadSql, Connection::Resend::IfLost);
    notes.keyedOnHead = !answer.rows.empty() && !answer.rows[0].empty() && answer.rows[0][0] &&
                        *answer.rows[0][0] != "0";
  } catch (const DatabaseError&) {
    // Not known: the draw keeps its count. A server that has gone fails the draw itself.
    notes.keyedOnHead = false;
  }
  return *notes.keyedOnHead;
}

// The first draw of a head creates its row, unless another session's first draw has just
// done so (then no row is inserted and the draw is made again). With a key on Head a race
// ends in a duplicate-key answer; without one, the read of the insert locks the table's
// rows and gaps, and a race ends in a deadlock: both are tried again.
constexpr const char* kCreateSql =
    "Insert into GloabolInc(Head,ID,Inc,Remark) select :H,:I,:NC,:Mark from DUAL "
    "where not exists (select 1 from GloabolInc where Head=:H)";

int WidthOf(const std::string& head) { return head.size() < 11 ? static_cast<int>(11 - head.size()) : 0; }

// The number after the head in a stored identifier, plus one; raises for a tail that is not
// a number or a next number that would not fit 32 bits.
std::int32_t NextNumberAfter(const std::string& stored, const std::string& head) {
  const std::optional<std::int64_t> number = NumberAfterHead(stored, head);
  if (!number) throw DatabaseError("'" + stored + "' is not a valid identifier of head " + head);
  if (*number >= INT32_MAX) throw DatabaseError("the identifiers of head " + head + " are exhausted at '" + stored + "'");
  return static_cast<std::int32_t>(*number + 1);
}

// Several counter rows of one head (a table without a key on Head): the first row, as the
// server returns them, decides, and every row receives the new identifier, in one
// transaction under a locking read. A first row that refuses a draw raises and changes no row.
// Within a transaction the caller began (`inTransaction`), the read and the UPDATE are part of
// it, and the caller commits.
std::string DrawFromSeveralRows(Statement& statement, const std::string& head, bool inTransaction) {
  Connection& connection = statement.GetConnection();
  const Connection::Resend resend = inTransaction ? Connection::Resend::InTransaction : Connection::Resend::Never;
  const auto lock = [&] {
    statement.SetSql("Select ID from GloabolInc where Head=:np for update");
    statement.BindText("np", head);
    statement.Open(resend);  // sent again, it would be outside the transaction
    const std::string identifier = FormatIdentifier(head, NextNumberAfter(statement.ColumnText("ID"), head));
    statement.SetSql("Update GloabolInc set ID=:NID where Head=:NP");
    statement.BindText("NP", head);
    statement.BindText("NID", identifier);
    statement.Execute(resend);
    return identifier;
  };
  if (inTransaction) {
    const std::string identifier = lock();
    statement.Close();
    return identifier;
  }
  connection.Query("Start transaction");
  try {
    const std::string identifier = lock();
    connection.Query("Commit");
    statement.Close();
    return identifier;
  } catch (...) {
    // Clean-up never reconnects: a connection that is gone has rolled back with it. The
    // failure itself is raised again, whatever it was.
    if (connection.IsOpen()) {
      try {
        connection.Query("Rollback");
      } catch (const DatabaseError&) {
      }
    }
    statement.Close();
    throw;
  }
}

// One try at a draw: the single UPDATE, and, when it changes no row, the read and the path
// that the read calls for. nullopt: the row was created or mended by another session at the
// same moment; try again.
// Within a transaction (`inTransaction`) nothing is sent twice: a second sending would be
// outside it.
std::optional<std::string> DrawOnce(Statement& statement, const std::string& head, bool inTransaction = false,
                                    bool keyed = false) {
  const Connection::Resend resend = inTransaction ? Connection::Resend::InTransaction : Connection::Resend::IfLost;
  statement.SetSql(keyed ? kKeyedDrawSql : kDrawSql);
  statement.BindText("np", head);
  statement.BindInteger("width", WidthOf(head));
  try {
    statement.Execute(resend);
  } catch (const DatabaseError& error) {
    if (!keyed || error.Code() != ER_KEY_DOES_NOT_EXISTS) throw;
    // The primary key has gone since it was seen: draw as on any other table.
    statement.Close();
    statement.GetConnection().counterNotes.keyedOnHead = false;
    return DrawOnce(statement, head, inTransaction, false);
  }
  const std::uint64_t changed = statement.AffectedRows();
  const std::uint64_t number = statement.InsertId();
  statement.Close();
  if (changed == 1) return FormatIdentifier(head, static_cast<std::int32_t>(number));
  // Several rows changed under a primary key made anew of more than Head: the read below
  // settles them, and this connection keeps the count from now on.
  if (changed > 1) statement.GetConnection().counterNotes.keyedOnHead = false;

  statement.SetSql("Select ID from GloabolInc where Head=:np");
  statement.BindText("NP", head);
  statement.Open(resend);
  if (statement.RowCount() > 1) return DrawFromSeveralRows(statement, head, inTransaction);
  if (statement.RowCount() == 1) {
    const std::string stored = statement.ColumnText("ID");
    statement.Close();
    NextNumberAfter(stored, head);  // raises for the counters that the UPDATE leaves alone
    return std::nullopt;            // a valid counter: it appeared after the UPDATE
  }

  const std::string identifier = FormatIdentifier(head, kFirstIdentifierNumber);
  statement.SetSql(kCreateSql);
  statement.BindText("H", head);
  statement.BindText("I", identifier);
  statement.BindInteger("Nc", 1);
  statement.BindText("Mark", "NULL");
  statement.Execute(inTransaction ? Connection::Resend::InTransaction : Connection::Resend::Never);
  const bool created = statement.AffectedRows() == 1;
  statement.Close();
  if (created) return identifier;
  return std::nullopt;
}

// The block draw of one head as a statement of the compound one that DrawTogether sends: the
// number it hands back, or 0 when it changed no row, goes into the user variable @qbdraw<i>.
std::string BlockDrawOf(Connection& connection, const HeadDraw& draw, std::size_t i) {
  Statement statement(&connection);
  statement.SetSql(kBlockDrawSql);
  statement.BindText("np", draw.head);
  statement.BindInteger("width", WidthOf(draw.head));
  statement.BindInteger("count", draw.count);
  return statement.Render() + "; SET @qbdraw" + std::to_string(i) + " = IF(ROW_COUNT() = 1, LAST_INSERT_ID(), 0); ";
}

}  // namespace

std::string FormatIdentifier(const std::string& head, std::int32_t number) {
  const int width = head.size() < 11 ? static_cast<int>(11 - head.size()) : 0;
  const bool negative = number < 0;
  std::string digits = std::to_string(negative ? -static_cast<std::int64_t>(number) : std::int64_t{number});
  if (static_cast<int>(digits.size()) < width) digits.insert(0, static_cast<std::size_t>(width) - digits.size(), '0');
  return head + (negative ? "-" : "") + digits;
}

std::optional<std::int64_t> NumberAfterHead(const std::string& stored, const std::string& head) {
  const std::string tail = stored.size() > head.size() ? stored.substr(head.size()) : std::string();
  if (tail.empty() || tail.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  std::int64_t number = 0;
  const auto [end, error] = std::from_chars(tail.data(), tail.data() + tail.size(), number);
  return error == std::errc() ? number : INT64_MAX;
}

std::string NextIdentifier(Statement& statement, const std::string& head) {
  statement.Close();
  ConflictRetry retry(statement.GetConnection());
  for (;;) {
    try {
      const bool keyed = KeyedOnHead(statement.GetConnection());
      if (std::optional<std::string> identifier = DrawOnce(statement, head, false, keyed)) return *identifier;
    } catch (const DatabaseError& error) {
      statement.Close();
      if (!IsRetryable(error)) throw;
      retry.PauseOrGiveUp(error);
      continue;
    }
    // The counter row appeared after the UPDATE (another session created or mended it).
    retry.PauseOrGiveUp(DatabaseError("the identifier counter of head " + head + " stayed busy", ER_LOCK_DEADLOCK));
  }
}

std::vector<std::string> NextIdentifiers(Statement& statement, const std::string& head, int count) {
  std::vector<std::string> identifiers;
  if (count <= 0) return identifiers;
  if (count == 1) return {NextIdentifier(statement, head)};
  statement.Close();
  ConflictRetry retry(statement.GetConnection());
  for (;;) {
    try {
      statement.SetSql(kBlockDrawSql);
      statement.BindText("np", head);
      statement.BindInteger("width", WidthOf(head));
      statement.BindInteger("count", count);
      statement.Execute(Connection::Resend::IfLost);
      const std::uint64_t changed = statement.AffectedRows();
      const std::uint64_t last = statement.InsertId();
      statement.Close();
      if (changed == 1 && last >= static_cast<std::uint64_t>(count) && last <= INT32_MAX) {
        for (int i = count - 1; i >= 0; --i)
          identifiers.push_back(FormatIdentifier(head, static_cast<std::int32_t>(last - static_cast<std::uint64_t>(i))));
        return identifiers;
      }
      break;
    } catch (const DatabaseError& error) {
      statement.Close();
      if (!IsRetryable(error)) throw;
      retry.PauseOrGiveUp(error);
    }
  }
  // The counters that only the single draw settles.
  for (int i = 0; i < count; ++i) identifiers.push_back(NextIdentifier(statement, head));
  return identifiers;
}

}  // namespace qbnotify

namespace qbnotify {

void DrawTogether(Connection& connection, std::vector<HeadDraw>& draws) {
  std::string sql = "BEGIN NOT ATOMIC START TRANSACTION; ";
  std::string numbers;
  for (std::size_t i = 0; i < draws.size(); ++i) {
    draws[i].identifiers.clear();
    if (draws[i].count <= 0) continue;
    sql += BlockDrawOf(connection, draws[i], i);
    numbers += (numbers.empty() ? "" : ", ") + ("@qbdraw" + std::to_string(i));
  }
  sql += "SELECT " + (numbers.empty() ? std::string("0") : numbers) + "; END";
  // Sent on a connection opened anew, it begins a transaction of its own: never sent twice.
  const Connection::Result answer = connection.Query(sql, Connection::Resend::Never);
  const auto* row = answer.rows.empty() ? nullptr : &answer.rows.front();
  Statement statement(&connection);
  std::size_t column = 0;
  for (HeadDraw& draw : draws) {
    if (draw.count <= 0) continue;
    const std::optional<std::string>* cell = row && column < row->size() ? &(*row)[column] : nullptr;
    ++column;
    std::uint64_t last = 0;
    if (cell && *cell) std::from_chars((*cell)->data(), (*cell)->data() + (*cell)->size(), last);
    if (last >= static_cast<std::uint64_t>(draw.count) && last <= INT32_MAX) {
      for (int k = draw.count - 1; k >= 0; --k)
        draw.identifiers.push_back(FormatIdentifier(draw.head, static_cast<std::int32_t>(last - static_cast<std::uint64_t>(k))));
      continue;
    }
    // The counters that only the single draw settles (no row yet, several rows, a number near
    // the 32-bit end, a tail that is not a number), one identifier at a time, in the
    // transaction. A row that another session created meanwhile is drawn from at the next try.
    for (int k = 0; k < draw.count; ++k) {
      std::optional<std::string> identifier;
      for (int attempt = 0; attempt < 3 && !identifier; ++attempt) identifier = DrawOnce(statement, draw.head, true);
      if (!identifier)
        throw DatabaseError("the identifier counter of head " + draw.head + " stayed busy", ER_LOCK_DEADLOCK);
      draw.identifiers.push_back(*identifier);
    }
  }
}

}  // namespace qbnotify
