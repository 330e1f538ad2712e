// Connections and statements against the private server: what the server receives for each
// kind of value, how results read, what a client's bytes can and cannot do.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "TestDatabase.h"
#include "store/Database.h"
#include "store/SqlParameters.h"
#include "store/EventLog.h"

namespace qbnotify {
namespace {

using test::DatabaseTest;

class StatementTest : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    if (IsSkipped()) return;
    connection_.host = server().host;
    connection_.port = server().port;
    connection_.user = server().user;
    connection_.password = server().password;
    connection_.database = server().ds;
  }
  // The three connections, configured for the server and not yet opened.
  Connections ServerConnections() {
    Connections connections;
    const std::pair<std::unique_ptr<Connection>*, std::string> all[] = {
        {&connections.DS, server().ds}, {&connections.DC, server().dc}, {&connections.Log, server().log}};
    for (const auto& [slot, database] : all) {
      *slot = std::make_unique<Connection>("test");
      (*slot)->host = server().host;
      (*slot)->port = server().port;
      (*slot)->user = server().user;
      (*slot)->password = server().password;
      (*slot)->database = database;
    }
    return connections;
  }
  Connection connection_{"DS"};
};

TEST(SqlParameters, ScansNamesOutsideQuotesAndComments) {
  using Pieces = std::vector<std::pair<bool, std::string>>;
  const auto scan = [](const char* sql) {
    Pieces out;
    for (const SqlPiece& p : ScanSqlParameters(sql)) out.emplace_back(p.isParameter, p.text);
    return out;
  };
  EXPECT_EQ(scan("where a=:A and b=:a"), (Pieces{{false, "where a="}, {true, "A"}, {false, " and b="}, {true, "a"}}));
  EXPECT_EQ(scan("values(:H,:I)"), (Pieces{{false, "values("}, {true, "H"}, {false, ","}, {true, "I"}, {false, ")"}}));
  EXPECT_EQ(scan("t='12:30' and n=:n"), (Pieces{{false, "t='12:30' and n="}, {true, "n"}}));
  EXPECT_EQ(scan("t=\"a:b\" and u=`c:d`"), (Pieces{{false, "t=\"a:b\" and u=`c:d`"}}));
  EXPECT_EQ(scan("t='it''s :x' and 'a\\':y'"), (Pieces{{false, "t='it''s :x' and 'a\\':y'"}}));
  EXPECT_EQ(scan("select 1 -- :x\n, :y"), (Pieces{{false, "select 1 -- :x\n, "}, {true, "y"}}));
  EXPECT_EQ(scan("select /* :x */ :y#:z"), (Pieces{{false, "select /* :x */ "}, {true, "y"}, {false, "#:z"}}));
  EXPECT_EQ(scan("a=: b=:"), (Pieces{{false, "a=: b=:"}}));
  EXPECT_EQ(scan("(:pF1 in :pCName)=:pV2"),
            (Pieces{{false, "("}, {true, "pF1"}, {false, " in "}, {true, "pCName"}, {false, ")="}, {true, "pV2"}}));
}

TEST_F(StatementTest, RendersEachKindOfValue) {
  Statement statement(&connection_);
  statement.SetSql("select :t, :T2, :i, :d, :z, :n, ':t', :t");
  statement.BindText("T", "it's a \\ \"test\"");
  statement.BindText("t2", "");
  statement.BindInteger("I", -1);
  statement.BindDateTime("d", DateTime{2026, 12, 7, 9, 5, 3});
  statement.BindDateTime("z", DateTime{});
  EXPECT_EQ(statement.Render(),
            "select 'it\\'s a \\\\ \\\"test\\\"', '', -1, '2026-12-07 09:05:03', '0000-00-00 00:00:00', NULL, ':t', "
            "'it\\'s a \\\\ \\\"test\\\"'");
  EXPECT_THROW(statement.BindText("nothere", "x"), DatabaseError);

  statement.Open();
  ASSERT_EQ(statement.RowCount(), 1u);
  EXPECT_EQ(statement.ColumnText(std::size_t{0}), "it's a \\ \"test\"");
  EXPECT_EQ(statement.ColumnText(1), "");
  EXPECT_EQ(statement.ColumnInteger(2), -1);
  EXPECT_EQ(statement.ColumnText(3), "2026-12-07 09:05:03");
  EXPECT_EQ(statement.ColumnText(5), "");  // NULL
  EXPECT_EQ(statement.ColumnInteger(5), 0);
}

TEST_F(StatementTest, TextComparedWithNumberAsServerComparesStrings) {
  Statement statement(&connection_);
  statement.SetSql("select :s = 2 as same, :s + 1 as sum");
  statement.BindText("s", "2");
  statement.Open();
  EXPECT_EQ(statement.ColumnInteger("SAME"), 1);  // column names without regard to case
  EXPECT_EQ(statement.ColumnInteger("Sum"), 3);
  EXPECT_THROW(statement.ColumnText("missing"), DatabaseError);
}

TEST_F(StatementTest, EmptyResultsReadAsEmptyAndZero) {
  ds().Exec("INSERT INTO Application (App_ID, Name) VALUES ('A1', NULL)");
  Statement statement(&connection_);
  statement.SetSql("select Name, app_session_count from Application where App_ID=:id");
  statement.BindText("id", "nope");
  statement.Open();
  EXPECT_TRUE(statement.IsEmpty());
  EXPECT_EQ(statement.ColumnText("Name"), "");
  EXPECT_EQ(statement.ColumnInteger("app_session_count"), 0);
  statement.SetSql("select Name from Application where App_ID=:id");
  statement.BindText("id", "A1");
  statement.Open();
  EXPECT_EQ(statement.RowCount(), 1u);
  EXPECT_EQ(statement.ColumnText("name"), "");
}

TEST_F(StatementTest, ErrorsCarryTheServersMessage) {
  Statement statement(&connection_);
  statement.SetSql("select * from no_such_table");
  try {
    statement.Open();
    FAIL() << "no error";
  } catch (const DatabaseError& error) {
    EXPECT_NE(std::string(error.what()).find("no_such_table"), std::string::npos) << error.what();
  }
  connection_.password = "wrong";
  connection_.Close();
  EXPECT_THROW(connection_.Open(), DatabaseError);
  EXPECT_FALSE(connection_.IsOpen());
}

TEST_F(StatementTest, ChineseTextsKeepTheirBytes) {
  const std::string name = "\xD5\xC5\xCE\xB0";           // a user's name in code page 936
  const std::string show = "\xB2\xC6\xCE\xF1\xB1\xA8\xB1\xED";  // an application's display name
  // Sent by the library's account, which may write only the counters (Remark is a gbk text) ...
  Statement statement(&connection_);
  statement.SetSql("insert into GloabolInc (Head, ID, Remark) values ('ZH', 'ZH00000001', :show)");
  statement.BindText("show", show);
  statement.Execute();
  // ... stored as the characters themselves (the administrator reads them as UTF-8) ...
  EXPECT_EQ(ds().Scalar("select hex(convert(Remark using utf8mb4)) from GloabolInc where Head = 'ZH'"),
            "E8B4A2E58AA1E68AA5E8A1A8");
  // ... and read back as the same bytes, from rows the administrator put there.
  ds().Exec("insert into Application (App_ID, Name) values ('APPZH', convert(unhex('B2C6CEF1B1A8B1ED') using gbk));"
            "insert into Cuser (User_ID, name) values ('U9', convert(unhex('D5C5CEB0') using gbk))");
  Connections connections = ServerConnections();
  EXPECT_EQ(LookupAppShowName(connections, "APPZH"), show);
  hosted::HostedPlatform platform(Session("kevshell /U:" + name));
  EXPECT_EQ(LookupUserId(platform, connections), "U9");
}

TEST_F(StatementTest, ClientValuesNeverChangeTheStatement) {
  // Values a client can put into its switches: a double-byte lead byte before a quote (a
  // byte-wise escaper would let the quote through), quotes, backslashes, NUL, wildcards.
  const std::string crafted[] = {
      std::string("\xBF' or 1=1 -- "),
      std::string("\xBF\\' or 1=1 -- "),
      "x' or 'a'='a",
      "x\\' or 1=1 #",
      std::string("a\0' or 1=1 -- ", 14),
      "%",
      "_",
      "\\%",
      "\xD5\\",
  };
  ds().Exec("INSERT INTO Cuser (User_ID, name) VALUES ('U1', 'alice')");
  Connections connections = ServerConnections();
  int id = 0;
  for (const std::string& value : crafted) {
    SCOPED_TRACE(value);
    hosted::HostedPlatform platform(Session());
    // Compared as plain text: no crafted name finds alice, or anybody.
    Statement lookup(connections.DS.get());
    lookup.SetSql("select User_ID from Cuser where name= :name");
    lookup.BindText("name", value);
    lookup.Open();
    EXPECT_EQ(lookup.RowCount(), 0u);
    // And stored unchanged.
    const std::string key = "C" + std::to_string(++id);
    Statement insert(connections.Log.get());
    insert.SetSql("insert into appshenji (logid, farmuser, starttime, stoptime) values (:id, :v, now(), now())");
    insert.BindText("id", key);
    insert.BindText("v", value);
    insert.Execute();
    EXPECT_EQ(log().Scalar("select farmuser from appshenji where logid='" + key + "'"), value);
  }
  EXPECT_EQ(ds().Scalar("select count(*) from Cuser"), "1");
}

// A connection the server closed while it lay idle cannot have run what is sent next: the
// statement goes out on a new connection instead of failing.
TEST_F(StatementTest, AConnectionClosedWhileIdleIsOpenedAnewBeforeSending) {
  Statement statement(&connection_);
  statement.SetSql("select connection_id()");
  statement.Open();
  const std::string id = statement.ColumnText(std::size_t{0});
  ds().Exec("KILL CONNECTION " + id);
  statement.Open();
  EXPECT_NE(statement.ColumnText(std::size_t{0}), id);
}

// Lost while the answer was awaited, a statement may have run: it is not sent again (unless
// it says that a second sending does no harm), and the connection is not tried again until
// the next handler.
TEST_F(StatementTest, AConnectionLostDuringAStatementIsGivenUpUntilTheNextHandler) {
  for (const Connection::Resend resend : {Connection::Resend::Never, Connection::Resend::IfLost}) {
    connection_.BeginHandler();
    Statement statement(&connection_);
    statement.SetSql("select connection_id()");
    statement.Open();
    const std::string id = statement.ColumnText(std::size_t{0});
    // A statement that takes a second, of a kind the library's role allows.
    const std::string head = resend == Connection::Resend::Never ? "slowN" : "slowI";
    std::thread killer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      test::AdminConnection admin(server().ds);
      admin.Exec("KILL CONNECTION " + id);
    });
    statement.SetSql("insert into GloabolInc (Head, ID, Inc) select '" + head + "', '" + head + "', sleep(1)");
    if (resend == Connection::Resend::Never) {
      try {
        statement.Execute(resend);
        ADD_FAILURE() << "the lost statement succeeded";
      } catch (const DatabaseError& error) {
        EXPECT_TRUE(error.ServerUnavailable());
      }
      killer.join();
      EXPECT_FALSE(connection_.IsOpen());
      statement.SetSql("select 1");
      EXPECT_THROW(statement.Open(), DatabaseError);  // at once, without connecting
      EXPECT_FALSE(connection_.IsOpen());
    } else {
      statement.Execute(resend);  // sent once more on a new connection
      killer.join();
      EXPECT_TRUE(connection_.LastQueryResent());
    }
    connection_.BeginHandler();
    statement.SetSql("select connection_id()");
    statement.Open();
    EXPECT_NE(statement.ColumnText(std::size_t{0}), id);
  }
}

// Every wait of a handler comes from one budget: pauses stop at its end, and once it is spent
// the server counts as unavailable, without being asked, until the next handler.
TEST_F(StatementTest, AHandlersWaitsEndWithItsBudget) {
  connection_.BeginHandler(300);
  Statement statement(&connection_);
  statement.SetSql("select 1");
  statement.Open();  // within the budget: as always
  const auto start = std::chrono::steady_clock::now();
  connection_.Pause(10000);  // cut to what is left
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
  EXPECT_EQ(connection_.BudgetLeftMilliseconds(), 0LL);
  const std::uint64_t sent = connection_.QueriesSent();
  try {
    statement.Open();
    ADD_FAILURE() << "a statement ran after the budget was spent";
  } catch (const DatabaseError& error) {
    EXPECT_TRUE(error.ServerUnavailable());
  }
  EXPECT_EQ(connection_.QueriesSent(), sent);
  EXPECT_THROW(connection_.Pause(1), DatabaseError);

  connection_.BeginHandler();  // no budget: the tools
  EXPECT_EQ(connection_.BudgetLeftMilliseconds(), std::nullopt);
  statement.Open();
  EXPECT_EQ(statement.ColumnText(std::size_t{0}), "1");
}

}  // namespace
}  // namespace qbnotify
