// The table of server errors: what the store does for each answer it can meet.
#include <gtest/gtest.h>

#include <set>

#include "store/ServerErrors.h"

namespace qbnotify {
namespace {

TEST(ServerErrors, EveryAnswerHasOneKindAndTheClusterAnswersAreNeverLost) {
  std::set<unsigned> seen;
  for (const ServerErrorRule& rule : ServerErrorTable()) EXPECT_TRUE(seen.insert(rule.code).second) << rule.code;

  struct Case {
    unsigned code;
    ErrorKind kind;
  } cases[] = {
      {0, ErrorKind::Unavailable},      // no connection to send on
      {2003, ErrorKind::Unavailable},   // connect refused
      {1040, ErrorKind::Unavailable},   // too many connections
      {1290, ErrorKind::Unavailable},   // read-only
      {1836, ErrorKind::Unavailable},   // read-only mode
      {1053, ErrorKind::Unavailable},   // shutting down
      {2006, ErrorKind::Lost},
      {2013, ErrorKind::Lost},
      {1927, ErrorKind::Lost},          // connection killed
      {4031, ErrorKind::Lost},          // idle connection closed
      {1047, ErrorKind::NotReady},
      {1213, ErrorKind::Conflict},
      {1205, ErrorKind::Conflict},
      {1180, ErrorKind::Conflict},      // commit failed on a cluster node
      {1317, ErrorKind::Conflict},      // interrupted
      {1062, ErrorKind::DuplicateKey},
      {1406, ErrorKind::RowContent},
      {1366, ErrorKind::RowContent},
      {1292, ErrorKind::RowContent},
      {1264, ErrorKind::RowContent},
      {1048, ErrorKind::RowContent},
      {1142, ErrorKind::Refused},       // privilege missing
      {1146, ErrorKind::Refused},       // table missing
      {1644, ErrorKind::Refused},       // a trigger's SIGNAL
      {1064, ErrorKind::Refused},       // not in the table: a refusal
  };
  for (const Case& c : cases) EXPECT_EQ(KindOfError(c.code), c.kind) << c.code;

  for (unsigned code : {0u, 2003u, 2013u, 1047u}) EXPECT_TRUE(MeansUnavailable(KindOfError(code))) << code;
  for (unsigned code : {1213u, 1062u, 1406u, 1142u}) EXPECT_FALSE(MeansUnavailable(KindOfError(code))) << code;
}

}  // namespace
}  // namespace qbnotify
