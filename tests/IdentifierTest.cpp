// Identifier draws against the private server.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <set>
#include <thread>

#include "TestDatabase.h"
#include "store/Identifiers.h"

namespace qbnotify {
namespace {

class IdentifierTest : public test::DatabaseTest {
 protected:
  std::unique_ptr<Connection> Ds() { return test::LibraryConnection(server(), server().ds); }
  std::string Draw(const std::string& head) {
    Statement statement(ds_.get());
    return NextIdentifier(statement, head);
  }
  std::vector<std::vector<std::string>> Counters() {
    return ds().Rows("select Head, ID, Inc, Remark from GloabolInc order by Head, ID");
  }
  void SetUp() override {
    DatabaseTest::SetUp();
    if (!IsSkipped()) ds_ = Ds();
  }
  std::unique_ptr<Connection> ds_;
};

TEST(FormatIdentifier, PadsToElevenCharactersAndNeverWraps) {
  EXPECT_EQ(FormatIdentifier("Log", 124), "Log00000124");
  EXPECT_EQ(FormatIdentifier("lap", 7), "lap00000007");
  EXPECT_EQ(FormatIdentifier("Log", 99999999), "Log99999999");
  EXPECT_EQ(FormatIdentifier("Log", 100000000), "Log100000000");
  EXPECT_EQ(FormatIdentifier("X", 5), "X0000000005");
}

// The library's draw and the doctor's check read a stored identifier through this one
// function: only digits after the head's length make a number.
TEST(NumberAfterHead, ReadsOnlyDigitsAfterTheHeadsLength) {
  const std::optional<std::int64_t> none;
  const struct {
    const char* stored;
    std::optional<std::int64_t> number;
  } cases[] = {{"Log00000041", 41},  {"XYZ00000041", 41}, {"Log2147483647", 2147483647},
               {"LogABC", none},     {"Log", none},       {"Lo", none},
               {"Log-0000005", none}, {"Log+5", none},    {"Log 5", none},
               {"Log99999999999999999999999", INT64_MAX}};
  for (const auto& c : cases) EXPECT_EQ(NumberAfterHead(c.stored, "Log"), c.number) << c.stored;
}

TEST_F(IdentifierTest, ContinuesFromTheStoredIdentifier) {
  ds().Exec("INSERT INTO GloabolInc VALUES ('Log', 'Log00000123', 1, 'NULL')");
  EXPECT_EQ(Draw("Log"), "Log00000124");
  EXPECT_EQ(ds().Scalar("select ID from GloabolInc where Head='Log'"), "Log00000124");
  EXPECT_EQ(Draw("Log"), "Log00000125");
}

// A block of identifiers in one draw: consecutive numbers after the stored one, the counter
// left at the last; counters the block draw leaves alone are drawn one at a time.
TEST_F(IdentifierTest, ABlockDrawHandsOutConsecutiveIdentifiersOnce) {
  const struct {
    const char* stored;  // nullptr: no counter row yet
    int count;
    std::vector<std::string> drawn;
    const char* after;
  } cases[] = {
      {"Log00000123", 3, {"Log00000124", "Log00000125", "Log00000126"}, "Log00000126"},
      {"Log99999998", 2, {"Log99999999", "Log100000000"}, "Log100000000"},
      {nullptr, 3, {"Log00000001", "Log00000002", "Log00000003"}, "Log00000003"},
      {"Log00000007", 1, {"Log00000008"}, "Log00000008"},
      {"Log2147483645", 2, {"Log2147483646", "Log2147483647"}, "Log2147483647"},
  };
  for (const auto& c : cases) {
    ds().Exec("DELETE FROM GloabolInc");
    if (c.stored) ds().Exec(std::string("INSERT INTO GloabolInc VALUES ('Log', '") + c.stored + "', 1, 'NULL')");
    Statement statement(ds_.get());
    EXPECT_EQ(NextIdentifiers(statement, "Log", c.count), c.drawn) << (c.stored ? c.stored : "none");
    EXPECT_EQ(ds().Scalar("select ID from GloabolInc where Head='Log'"), c.after);
  }
  // Past the 32-bit end, one at a time, as a single draw refuses.
  ds().Exec("DELETE FROM GloabolInc");
  ds().Exec("INSERT INTO GloabolInc VALUES ('Log', 'Log2147483646', 1, 'NULL')");
  Statement statement(ds_.get());
  EXPECT_THROW(NextIdentifiers(statement, "Log", 2), DatabaseError);
}

TEST_F(IdentifierTest, GrowsPastEightDigits) {
  ds().Exec("INSERT INTO GloabolInc VALUES ('Log', 'Log99999999', 1, 'NULL')");
  EXPECT_EQ(Draw("Log"), "Log100000000");
  EXPECT_EQ(Draw("Log"), "Log100000001");
}

TEST_F(IdentifierTest, FirstDrawCreatesTheRowAndHeadsCountApart) {
  EXPECT_EQ(Draw("Log"), "Log00000001");
  EXPECT_EQ(Draw("lap"), "lap00000001");
  EXPECT_EQ(Draw("lap"), "lap00000002");
  const std::vector<std::vector<std::string>> expected = {{"lap", "lap00000002", "1", "NULL"},
                                                          {"Log", "Log00000001", "1", "NULL"}};
  EXPECT_EQ(Counters(), expected);
}

TEST_F(IdentifierTest, UnusableStoredIdentifiersRaiseAndChangeNothing) {
  // As SQL values. Nor are digits followed by a line break (a regular expression's "$" takes
  // it for the end) or a NUL, or a full-width digit of code page 936.
  for (const char* stored : {"'LogABC'", "'Log'", "'Lo'", "'Log12x'", "'Log2147483647'", "'Log-0000005'",
                             "'Log 0000005'", "'Log99999999999999999999999'", "CONCAT('Log0000005', CHAR(10))",
                             "CONCAT('Log0000005', CHAR(0))", "CONCAT('Log000000', CONVERT(X'A3B5' USING gbk))"}) {
    SCOPED_TRACE(stored);
    ds().Exec("TRUNCATE TABLE GloabolInc");
    ds().Exec(std::string("INSERT INTO GloabolInc VALUES ('Log', ") + stored + ", 1, 'NULL')");
    EXPECT_THROW(Draw("Log"), DatabaseError);
    EXPECT_EQ(ds().Scalar("select count(*) from GloabolInc"), "1");
    EXPECT_EQ(ds().Scalar("select count(*) from GloabolInc where ID = BINARY " + std::string(stored)), "1");
  }
}

TEST_F(IdentifierTest, TailIsCutByPositionOnly) {
  ds().Exec("INSERT INTO GloabolInc VALUES ('Log', 'XYZ00000041', 1, 'NULL')");
  EXPECT_EQ(Draw("Log"), "Log00000042");
}

// After a few draws a connection asks whether the counter table's primary key is Head alone,
// and then draws without the locking count; when that key goes while it draws (and a second
// row of the head comes) it draws as on any table without the key: the first row decides.
TEST_F(IdentifierTest, AConnectionThatSawTheKeyKeepsTheRuleWhenTheKeyGoes) {
  ds().Exec("INSERT INTO GloabolInc VALUES ('Log', 'Log00000010', 1, 'first')");
  for (int i = 11; i <= 16; ++i) EXPECT_EQ(Draw("Log"), FormatIdentifier("Log", i));
  EXPECT_EQ(ds_->counterNotes.keyedOnHead, std::optional<bool>(!test::MinimalSchema()));
  if (test::MinimalSchema()) return;
  ds().Exec("ALTER TABLE GloabolInc DROP PRIMARY KEY");
  ds().Exec("INSERT INTO GloabolInc VALUES ('Log', 'Log00000050', 1, 'second')");
  EXPECT_EQ(Draw("Log"), "Log00000017");
  EXPECT_EQ(ds().Scalar("select group_concat(ID order by Remark) from GloabolInc"), "Log00000017,Log00000017");
  EXPECT_EQ(ds_->counterNotes.keyedOnHead, std::optional<bool>(false));
  ds().Exec("TRUNCATE TABLE GloabolInc");
  ds().Exec("ALTER TABLE GloabolInc ADD PRIMARY KEY (Head)");
}

// A farm's own table without the key on Head may hold two rows of a head: the first row
// decides and both receive the new identifier, whether the rows agree or not.
TEST_F(IdentifierTest, TwoRowsOfOneHeadBothReceiveTheNewIdentifier) {
  ds().Exec(test::OnKeyedSchema("ALTER TABLE GloabolInc DROP PRIMARY KEY"));
  ds().Exec("INSERT INTO GloabolInc VALUES ('Log', 'Log00000010', 1, 'NULL'), ('Log', 'Log00000010', 1, 'x')");
  EXPECT_EQ(Draw("Log"), "Log00000011");
  EXPECT_EQ(ds().Scalar("select group_concat(ID) from GloabolInc"), "Log00000011,Log00000011");
  ds().Exec("UPDATE GloabolInc SET ID = 'Log00000020' WHERE Remark = 'x'");
  const std::string drawn = Draw("Log");
  EXPECT_EQ(ds().Scalar("select count(distinct ID) from GloabolInc"), "1");
  EXPECT_EQ(ds().Scalar("select min(ID) from GloabolInc"), drawn);
  ds().Exec("TRUNCATE TABLE GloabolInc");
  ds().Exec(test::OnKeyedSchema("ALTER TABLE GloabolInc ADD PRIMARY KEY (Head)"));
}

// Every pair of counter-row kinds under one head, each drawn twice, against the rule: the
// first row, as the server returns them, decides; a draw that it allows gives both rows the
// new identifier, and one that it refuses writes nothing.
TEST_F(IdentifierTest, TwoCounterRowsOfOneHeadFollowTheFirstRow) {
  struct Kind {
    const char* name;
    const char* stored;
    std::int32_t number;  // 0: the row refuses a draw
  };
  const Kind kinds[] = {{"valid", "Log00000010", 10},
                        {"not a number", "LogABC", 0},
                        {"at the limit", "Log2147483647", 0},
                        {"prefix only", "Log", 0}};
  ds().Exec(test::OnKeyedSchema("ALTER TABLE GloabolInc DROP PRIMARY KEY"));
  for (const Kind& first : kinds) {
    for (Kind second : kinds) {
      // Two valid rows that disagree, so that the test can tell which one decided.
      if (second.number != 0) second = {"valid", "Log00000050", 50};
      SCOPED_TRACE(std::string(first.name) + ", then " + second.name);
      ds().Exec("TRUNCATE TABLE GloabolInc");
      ds().Exec(std::string("INSERT INTO GloabolInc VALUES ('Log', '") + first.stored + "', 1, 'first'), ('Log', '" +
                second.stored + "', 1, 'second')");
      for (std::int32_t draw = 1; draw <= 2; ++draw) {
        const std::string order = "select group_concat(ID order by Remark) from GloabolInc";
        if (first.number == 0) {
          EXPECT_THROW(Draw("Log"), DatabaseError);
          EXPECT_EQ(ds().Scalar(order), std::string(first.stored) + "," + second.stored);
        } else {
          const std::string expected = FormatIdentifier("Log", first.number + draw);
          EXPECT_EQ(Draw("Log"), expected);
          EXPECT_EQ(ds().Scalar(order), expected + "," + expected);
        }
      }
    }
  }
  ds().Exec("TRUNCATE TABLE GloabolInc");
  ds().Exec(test::OnKeyedSchema("ALTER TABLE GloabolInc ADD PRIMARY KEY (Head)"));
}

// A transaction's draws of both heads at once, from every kind of counter: the identifiers
// are the block a single draw after another would give, the counter rows stay locked until
// the commit, and a rollback returns every number (nothing drawn, nothing changed).
TEST_F(IdentifierTest, DrawsTogetherInATransactionAndARollbackReturnsThem) {
  const struct {
    const char* name;
    std::vector<const char*> rows;    // the Log counter rows ("" for none)
    std::vector<std::string> drawn;   // two Log identifiers; empty: the draw raises
  } cases[] = {
      {"valid", {"Log00000010"}, {"Log00000011", "Log00000012"}},
      {"no row yet", {}, {"Log00000001", "Log00000002"}},
      {"two rows, no key on Head", {"Log00000010", "Log00000010"}, {"Log00000011", "Log00000012"}},
      {"one number short of the end", {"Log2147483645"}, {"Log2147483646", "Log2147483647"}},
      {"at the end after one", {"Log2147483646"}, {}},
      {"not a number", {"LogABC"}, {}},
  };
  // The table is made anew for each case and put back as the schema has it (the minimal
  // schema's has no key) for the tests after this one.
  const auto shape = ds().Rows("SHOW CREATE TABLE GloabolInc");
  ASSERT_FALSE(shape.empty());
  for (const auto& c : cases) {
    for (const bool commit : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (commit ? ", committed" : ", rolled back"));
      ds().Exec("DROP TABLE IF EXISTS GloabolInc");
      ds().Exec(std::string("CREATE TABLE GloabolInc (Head VARCHAR(16) NOT NULL, ID VARCHAR(32) NOT NULL, "
                            "Inc INT NOT NULL DEFAULT 1, Remark VARCHAR(64) NULL") +
                (c.rows.size() > 1 ? ")" : ", PRIMARY KEY (Head))"));
      ds().Exec("INSERT INTO GloabolInc VALUES ('lap', 'lap00000007', 1, 'NULL')");
      for (const char* row : c.rows) ds().Exec(std::string("INSERT INTO GloabolInc VALUES ('Log', '") + row + "', 1, 'NULL')");
      const auto before = Counters();
      std::vector<HeadDraw> draws{{"Log", 2, {}}, {"lap", 1, {}}, {"none", 0, {}}};
      if (c.drawn.empty()) {
        EXPECT_THROW(DrawTogether(*ds_, draws), DatabaseError);
        ds_->Query("Rollback");
        EXPECT_EQ(Counters(), before);
        continue;
      }
      DrawTogether(*ds_, draws);
      EXPECT_EQ(draws[0].identifiers, c.drawn);
      EXPECT_EQ(draws[1].identifiers, (std::vector<std::string>{"lap00000008"}));
      EXPECT_TRUE(draws[2].identifiers.empty());
      ds_->Query(commit ? "Commit" : "Rollback");
      if (!commit) {
        EXPECT_EQ(Counters(), before);
        continue;
      }
      EXPECT_EQ(ds().Scalar("select group_concat(distinct ID) from GloabolInc where Head='Log'"), c.drawn.back());
      EXPECT_EQ(ds().Scalar("select count(*) from GloabolInc where Head='Log'"), std::to_string(std::max<std::size_t>(1, c.rows.size())));
      EXPECT_EQ(ds().Scalar("select ID from GloabolInc where Head='lap'"), "lap00000008");
    }
  }
  ds().Exec("DROP TABLE GloabolInc");
  ds().Exec(shape.at(0).at(1));
}

// Transactions that draw both heads at once from several processes, every other one rolled
// back: the committed identifiers are distinct and leave no gap, and the counters end at the
// last of them.
TEST_F(IdentifierTest, ConcurrentTransactionsCommitDistinctIdentifiersWithoutGaps) {
  constexpr int kProcesses = 8;
  constexpr int kTransactions = 10;
  test::TempDir dir;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int status = 0;
      try {
        std::unique_ptr<Connection> connection = Ds();
        std::ofstream out(dir.Path() / std::to_string(p));
        // Tried again after a short pause, as the library's own retries pause, for 30 s at
        // most: a livelock fails the test instead of hanging it.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (int t = 0; t < kTransactions; ++t) {
          std::vector<HeadDraw> draws{{"Log", 2, {}}, {"lap", 1, {}}};
          try {
            DrawTogether(*connection, draws);
          } catch (const DatabaseError&) {
            connection->Query("Rollback");  // a deadlock while the first rows are created
            if (std::chrono::steady_clock::now() > deadline) throw;
            std::this_thread::sleep_for(std::chrono::milliseconds(1 + p));
            --t;
            continue;
          }
          const bool commit = t % 2 == 0;
          connection->Query(commit ? "Commit" : "Rollback");
          if (commit)
            for (const HeadDraw& draw : draws)
              for (const std::string& id : draw.identifiers) out << id << '\n';
        }
      } catch (...) {
        status = 1;
      }
      _exit(status);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::set<std::string> drawn;
  for (int p = 0; p < kProcesses; ++p) {
    std::ifstream in(dir.Path() / std::to_string(p));
    for (std::string id; std::getline(in, id);) EXPECT_TRUE(drawn.insert(id).second) << "drawn twice: " << id;
  }
  constexpr int kCommitted = kProcesses * kTransactions / 2;
  std::set<std::string> expected;
  for (int n = 1; n <= 2 * kCommitted; ++n) expected.insert(FormatIdentifier("Log", n));
  for (int n = 1; n <= kCommitted; ++n) expected.insert(FormatIdentifier("lap", n));
  EXPECT_EQ(drawn, expected);
  EXPECT_EQ(Counters(), (std::vector<std::vector<std::string>>{{"lap", FormatIdentifier("lap", kCommitted), "1", "NULL"},
                                                              {"Log", FormatIdentifier("Log", 2 * kCommitted), "1", "NULL"}}));
}

// Several sessions draw at once, each through its own connection in its own process, as
// the logon processes of a terminal server do. The first draws race to create the row.
TEST_F(IdentifierTest, ConcurrentDrawsAreDistinctAndNoneIsLost) {
  constexpr int kProcesses = 12;
  constexpr int kDraws = 15;
  test::TempDir dir;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int status = 0;
      try {
        std::unique_ptr<Connection> connection = Ds();
        std::ofstream out(dir.Path() / std::to_string(p));
        for (int i = 0; i < kDraws; ++i) {
          Statement statement(connection.get());
          out << NextIdentifier(statement, "Log") << '\n';
        }
      } catch (...) {
        status = 1;
      }
      _exit(status);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::set<std::string> drawn;
  for (int p = 0; p < kProcesses; ++p) {
    std::ifstream in(dir.Path() / std::to_string(p));
    for (std::string id; std::getline(in, id);) EXPECT_TRUE(drawn.insert(id).second) << "drawn twice: " << id;
  }
  EXPECT_EQ(drawn.size(), std::size_t{kProcesses * kDraws});
  EXPECT_EQ(*drawn.rbegin(), FormatIdentifier("Log", kProcesses * kDraws));
  EXPECT_EQ(Counters(), (std::vector<std::vector<std::string>>{{"Log", *drawn.rbegin(), "1", "NULL"}}));
}

}  // namespace
}  // namespace qbnotify
