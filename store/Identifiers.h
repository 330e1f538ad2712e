// Identifiers of the rows the library records: a head and a number, drawn from the counter
// table GloabolInc.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store/Database.h"
#include "store/Rows.h"

namespace qbnotify {

// The number of a head's first identifier, when it has no counter row yet.
inline constexpr std::int32_t kFirstIdentifierNumber = 1;

// The head followed by the number, zero-padded to (11 - length of the head) digits; a
// longer number is written in full: ("Log", 124) -> "Log00000124",
// ("Log", 100000000) -> "Log100000000".
std::string FormatIdentifier(const std::string& head, std::int32_t number);

// The number in a stored identifier: its tail after the head's length (cut by position
// only, whatever its first characters are). nullopt when the tail is empty or holds
// anything but the digits 0-9; a number past 64 bits reads as INT64_MAX.
//   ("Log00000041", "Log") -> 41     ("XYZ00000041", "Log") -> 41
//   ("LogABC", "Log") -> nullopt     ("Log", "Log") -> nullopt     ("Log-5", "Log") -> nullopt
std::optional<std::int64_t> NumberAfterHead(const std::string& stored, const std::string& head);

// Draws the next identifier of a head from the counter table GloabolInc, on a statement of
// the DS connection that the caller owns (it is left closed). One autocommitted UPDATE
// advances the counter and hands the number back; two sessions never receive the same
// identifier, on one server or across a cluster's nodes. A first draw creates the head's row
// (number 1). Conflicts (deadlock, lock-wait time-out, a cluster node not ready, a race to
// create the row) are tried again for at most 2 s; a connection lost before the answer is
// tried once more on a new connection (a number may then be skipped, never given twice).
// A stored identifier whose tail (after the head's length) is not a number, a NULL one, or
// one whose next number would not fit 32 bits raises DatabaseError and changes nothing; so
// does any other failure of the server. Two counter rows of one head (a table without a key
// on Head): the first row, as the server returns them, decides; a draw it allows gives every
// row of the head the new identifier, and one it refuses changes no row. From its fourth draw
// a connection knows (one question, once) whether the table's primary key is Head alone, and
// then leaves out the locking count of the head's rows that keeps that rule.
std::string NextIdentifier(Statement& statement, const std::string& head);

// Draws `count` identifiers of a head at once (for rows written back from the spool): one
// UPDATE advances the counter by `count` and hands back the last number; the numbers from
// last - count + 1 to last are this session's alone, as a single draw's number is. A counter
// that the single UPDATE leaves alone (no row yet, several rows, a number too near the
// 32-bit end) is drawn one identifier at a time with NextIdentifier. The identifiers in
// ascending order; failures as for NextIdentifier.
std::vector<std::string> NextIdentifiers(Statement& statement, const std::string& head, int count);

// The identifiers one transaction draws of one head.
struct HeadDraw {
  std::string head;
  int count = 0;
  std::vector<std::string> identifiers;  // filled by DrawTogether, ascending
};

// Begins a transaction on `connection` and draws, inside it, `count` identifiers of each head
// (a head with none is skipped): one compound statement of block draws (no client text in it)
// hands every number back in one round trip; a counter that the block draw leaves alone is
// drawn one identifier at a time as NextIdentifier draws it, in the transaction. The counter
// rows stay locked until the caller commits or rolls back: the numbers are the transaction's,
// and a rollback returns them. The caller ends the transaction on every path. Limits and
// failures as for NextIdentifier, except that nothing is tried again here: a conflict rolls
// the whole transaction back (the caller tries it again). Raises DatabaseError.
void DrawTogether(Connection& connection, std::vector<HeadDraw>& draws);

}  // namespace qbnotify
