// The session-load searches with and without the switch columns: generated rows whose
// initial programs write the switches in every manner, checked twice. The columns that the
// server computes must equal what the switch reader reads from the same text, and each
// check must count the same rows and decide the same in both forms.
//
// QB_SESSIONLOAD_ROWS sets how many rows are checked (default 2,000, in batches of up to
// 10,000); QB_SESSIONLOAD_SEED the generator's seed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <ctime>

#include "TestDatabase.h"
#include "environment/Switches.h"
#include "policy/DuplicateAccount.h"
#include "policy/SessionLimits.h"
#include "policy/SessionLoad.h"
#include "store/StateDirectory.h"

namespace qbnotify {
namespace {

std::string ReadSource(const std::string& path) {
  std::ifstream in(std::string(QBNOTIFY_SOURCE_DIR) + "/" + path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::size_t EnvNumber(const char* name, std::size_t fallback) {
  const char* value = std::getenv(name);
  return value && *value ? static_cast<std::size_t>(std::strtoull(value, nullptr, 10)) : fallback;
}

// Values that contain each other, differ in letter case only, hold blanks, LIKE's wildcards
// and escape, and code-page-936 letters (one whose second byte is the value of "\").
const std::vector<std::string> kUsers = {
    "bob", "bobby", "Bob", "BOB", "ann", "ann lee", "al", "alice", "a_b", "a%b", "x\\y",
    "\xD5\xC5\xC8\xFD", "\xD5\xC5\xC8\xFD\xB7\xE1", "\x81\x5C" "a", ""};
const std::vector<std::string> kApps = {"APP00000012", "APP000000123", "app00000012", "APP0000001", "APP00000099", ""};
const std::vector<std::string> kClients = {"PC-A", "PC-B", "pc-a", "\xBB\xFA\xC6\xF7"};

class Generator {
 public:
  explicit Generator(std::uint64_t seed) : random_(seed) {}

  template <typename T>
  const T& Pick(const std::vector<T>& from) { return from[Below(from.size())]; }
  std::size_t Below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }

  // A switch as a client might write it: letter case, quoting of the value or of the whole.
  std::string Switch(char letter, const std::string& value) {
    const char name[] = {'/', Below(3) == 0 ? static_cast<char>(letter + 32) : letter, ':', '\0'};
    switch (Below(4)) {
      case 0: return std::string(name) + '"' + value + '"';
      case 1: return '"' + std::string(name) + value + '"';
      default: return std::string(name) + value;
    }
  }

  std::string Separator() {
    static const std::vector<std::string> kSeparators = {" ", " ", "  ", "\t", " \t ", "\x01", " \"\" "};
    return Pick(kSeparators);
  }

  std::string InitialProgram() {
    std::vector<std::string> parts;
    const std::size_t switches = 1 + Below(5);
    for (std::size_t i = 0; i < switches; ++i) {
      switch (Below(5)) {
        case 0: case 1: parts.push_back(Switch('U', Pick(kUsers))); break;
        case 2: case 3: parts.push_back(Switch('N', Pick(kApps))); break;
        default: parts.push_back(Switch(Below(2) ? 'M' : 'E', Pick(kUsers))); break;
      }
    }
    std::string text = Below(4) == 0 ? "" : Below(2) ? "kevshell.exe" : "\"C:\\Program Files\\kevshell.exe\"";
    for (const std::string& part : parts) text += (text.empty() ? "" : Separator()) + part;
    if (Below(5) == 0) text += Separator();
    return text;
  }

 private:
  std::mt19937_64 random_;
};

class SessionLoadForms : public test::DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    if (IsSkipped()) return;
    // Columns left behind by a run that stopped half-way go first.
    if (dc().Scalar("SELECT COUNT(*) FROM information_schema.columns WHERE table_schema = DATABASE() AND "
                    "table_name = 'dc_sessionload' AND column_name = 'AppSwitch'") != "0")
      dc().Exec(ReadSource("db/migrations/sessionload-index-remove.sql"));
    dc().Exec(ReadSource("db/migrations/sessionload-index-add.sql"));
    // One session per user; limits on the number of every kind: none (the server's count
    // alone, no rows read), one no farm reaches (the same), and low ones (the rows read and
    // the count refusing). The identifiers differing in letter case only share a row.
    const std::pair<const char*, int> limits[] = {
        {"APP00000012", 0}, {"APP000000123", 1000000}, {"APP0000001", 3}, {"APP00000099", 1}, {"", 0}};
    for (const auto& [app, limit] : limits)
      ds().Exec("INSERT IGNORE INTO Application (App_ID, app_session_count, each_user_one_session) VALUES ('" +
                std::string(app) + "', " + std::to_string(limit) + ", 1)");
  }
  void TearDown() override {
    if (!IsSkipped()) dc().Exec(ReadSource("db/migrations/sessionload-index-remove.sql"));
    DatabaseTest::TearDown();
  }

  // A literal for the gbk connection: a double-byte character's second byte is never escaped.
  static std::string Quoted(const std::string& text) {
    std::string out = "'";
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (static_cast<unsigned char>(text[i]) >= 0x81 && i + 1 < text.size()) {
        out.append(text, i++, 2);
        continue;
      }
      if (text[i] == '\'' || text[i] == '\\') out += '\\';
      out += text[i];
    }
    return out + "'";
  }

  // The session's facts as startup leaves them in the context, where the checks read them.
  static void FillContext(Instance& instance, const std::string& program, const std::string& client) {
    instance.context.InitialProgram = program;
    instance.context.ClientName = client;
    instance.context.AppId = FindSwitchValue(instance.platform, program, "/N:");
  }

  // What both forms of the checks count and decide for one new session. The columns form
  // reads the application's rows only when the server's count reaches the limit.
  struct Counted {
    std::size_t running = 0, user = 0, otherClients = 0;
    bool admits = false;
    int duplicate = 0;
    std::optional<std::int32_t> serverCount;
    bool rowsRead = true;
  };
  Counted Check(SessionLoadForm form, const std::string& program, const std::string& client) {
    hosted::Session session = Session(program);
    session.clientName = client;
    hosted::HostedPlatform platform(session);
    Instance instance(platform);
    EXPECT_TRUE(OpenConnections(platform, instance.connections));
    FillContext(instance, program, client);
    LearnSessionLoadForm(instance, form);
    Counted counted;
    const AppLimitsDecision limits = CheckAppSessionLimits(instance);
    counted.running = limits.runningRows.size();
    counted.serverCount = limits.serverCount;
    counted.rowsRead = ApplicationRowsRead(limits);
    counted.user = limits.userRows.size();
    counted.admits = limits.admits;
    const DuplicateAccountDecision duplicate = CheckDuplicateAccount(instance);
    EXPECT_FALSE(duplicate.failure) << duplicate.failure->message;
    counted.otherClients = duplicate.otherClientRows.size();
    counted.duplicate = duplicate.result;
    EXPECT_EQ(ChooseSessionLoadForm(instance), form);
    return counted;
  }
};

TEST_F(SessionLoadForms, ColumnsReadWhatTheSwitchReaderReadsAndBothFormsDecideAlike) {
  const std::size_t total = EnvNumber("QB_SESSIONLOAD_ROWS", 2000);
  const std::size_t seed = EnvNumber("QB_SESSIONLOAD_SEED", 20);
  Generator generate(seed);
  hosted::Session blank = Session("");
  hosted::HostedPlatform reader(blank);
  std::size_t checked = 0, decisions = 0, counted = 0, refused = 0, unread = 0;
  while (checked < total) {
    const std::size_t batch = std::min<std::size_t>(total - checked, 10000);
    dc().Exec("TRUNCATE TABLE dc_sessionload");
    for (std::size_t done = 0; done < batch;) {
      std::string insert = "INSERT INTO dc_sessionload (InitAppName, ClientName, StationName) VALUES ";
      for (std::size_t i = 0; i < 500 && done < batch; ++i, ++done)
        insert += std::string(i ? "," : "") + "(" + Quoted(generate.InitialProgram()) + "," +
                  Quoted(generate.Pick(kClients)) + ",'KEV-Tcp')";
      dc().Exec(insert);
    }
    std::size_t differences = 0;
    for (const auto& row : dc().Rows("SELECT InitAppName, AppSwitch, UserSwitch FROM dc_sessionload")) {
      const std::string app = FindSwitchValue(reader, row[0], "/N:");
      const std::string user = FindSwitchValue(reader, row[0], "/U:");
      if ((row[1] != app || row[2] != user) && ++differences <= 10)
        ADD_FAILURE() << "[" << row[0] << "]: the columns read [" << row[1] << "] [" << row[2]
                      << "], the switch reader [" << app << "] [" << user << "]";
    }
    EXPECT_EQ(differences, 0u) << "in a batch of " << batch;

    // New sessions of every application and user, from every client computer, on the rows
    // of this batch: each session is checked in both forms.
    const std::size_t sessions = std::max<std::size_t>(100, batch / 20);
    for (std::size_t i = 0; i < sessions; ++i) {
      const std::string program = generate.InitialProgram();
      const std::string client = generate.Pick(kClients);
      SCOPED_TRACE("[" + program + "] from " + client);
      const Counted like = Check(SessionLoadForm::Like, program, client);
      const Counted columns = Check(SessionLoadForm::SwitchColumns, program, client);
      EXPECT_FALSE(like.serverCount);
      ASSERT_TRUE(columns.serverCount);
      EXPECT_EQ(like.admits, columns.admits);
      EXPECT_EQ(like.duplicate, columns.duplicate);
      EXPECT_EQ(like.user, columns.user);
      EXPECT_EQ(like.otherClients, columns.otherClients);
      if (columns.rowsRead) EXPECT_EQ(like.running, columns.running);
      else EXPECT_LE(like.running, static_cast<std::size_t>(*columns.serverCount));
      unread += columns.rowsRead ? 0 : 1;
      if (HasFailure()) return;
      ++decisions;
      counted += like.running + like.user + like.otherClients;
      refused += (like.admits ? 0 : 1) + (like.duplicate ? 1 : 0);
    }
    checked += batch;
  }
  std::printf("%zu rows checked, %zu sessions decided in both forms (seed %zu): %zu rows counted, %zu refusals, "
              "%zu decided on the server's count\n", checked, decisions, seed, counted, refused, unread);
  EXPECT_GT(refused, 0u);  // the generated farm exercises both outcomes
  EXPECT_GT(unread, 0u);  // applications without a limit are decided on the count alone
  if (total >= 1000) EXPECT_LT(unread, decisions);  // and enough rows reach the low limits
}

// A table without the columns: the first search learns it from the server's refusal and
// the instance searches with LIKE from then on, deciding as before. Columns removed while an
// instance used them are dropped the same way.
TEST_F(SessionLoadForms, AnUnknownColumnDropsTheColumnsForm) {
  dc().Exec("INSERT INTO dc_sessionload (InitAppName, ClientName) VALUES ('k /N:APP00000012 /U:bob', 'PC-B')");
  dc().Exec(ReadSource("db/migrations/sessionload-index-remove.sql"));
  hosted::Session session = Session("kevshell.exe /N:APP00000012 /U:bob");
  session.clientName = "PC-A";
  hosted::HostedPlatform platform(session);
  Instance instance(platform);
  ASSERT_TRUE(OpenConnections(platform, instance.connections));
  FillContext(instance, "kevshell.exe /N:APP00000012 /U:bob", "PC-A");
  EXPECT_EQ(ChooseSessionLoadForm(instance), SessionLoadForm::SwitchColumns);
  const AppLimitsDecision limits = CheckAppSessionLimits(instance);
  EXPECT_EQ(ChooseSessionLoadForm(instance), SessionLoadForm::Like);
  EXPECT_EQ(limits.runningRows.size(), 1u);
  EXPECT_EQ(limits.userRows.size(), 1u);
  ASSERT_EQ(limits.queries.size(), 3u);
  EXPECT_NE(limits.queries[1].sql.find("like"), std::string::npos) << limits.queries[1].sql;

  // The next process reads the note, but the note holds only while the table keeps its
  // shape: its first search finds the columns back, removes the note and uses them.
  dc().Exec(ReadSource("db/migrations/sessionload-index-add.sql"));
  const std::filesystem::path note = installPath() / "Data" / "State" / "session-load-form.state";
  ASSERT_TRUE(std::filesystem::exists(note));
  auto nextStartup = [&](Instance& next) -> AppLimitsDecision {
    EXPECT_TRUE(OpenConnections(platform, next.connections));
    FillContext(next, "kevshell.exe /N:APP00000012 /U:bob", "PC-A");
    return CheckAppSessionLimits(next);
  };
  Instance second(platform);
  const AppLimitsDecision found = nextStartup(second);
  EXPECT_EQ(found.serverCount, 1);  // no limit: counted, not read
  EXPECT_EQ(found.userRows.size(), 1u);
  EXPECT_EQ(ChooseSessionLoadForm(second), SessionLoadForm::SwitchColumns);
  EXPECT_FALSE(std::filesystem::exists(note));
  ASSERT_EQ(found.queries.size(), 4u);  // the checked LIKE search, then the columns
  EXPECT_NE(found.queries[1].sql.find("information_schema"), std::string::npos) << found.queries[1].sql;
  EXPECT_NE(found.queries[2].sql.find("AppSwitch ="), std::string::npos) << found.queries[2].sql;
  EXPECT_NE(found.queries[3].sql.find("UserSwitch ="), std::string::npos) << found.queries[3].sql;

  // A note that is still right (the columns missing) costs no statement more: the checked
  // search answers the LIKE rows alone, and the later searches are plain.
  dc().Exec(ReadSource("db/migrations/sessionload-index-remove.sql"));
  ASSERT_TRUE(StateDirectory::Locate(platform)->Write("session-load-form", SessionLoadLikeNote(std::time(nullptr))));
  Instance stillLike(platform);
  const AppLimitsDecision plain = nextStartup(stillLike);
  EXPECT_EQ(plain.runningRows.size(), 1u);
  EXPECT_EQ(plain.userRows.size(), 1u);
  ASSERT_EQ(plain.queries.size(), 3u);
  EXPECT_NE(plain.queries[1].sql.find("information_schema"), std::string::npos);
  EXPECT_EQ(plain.queries[2].sql.find("information_schema"), std::string::npos);
  EXPECT_EQ(ChooseSessionLoadForm(stillLike), SessionLoadForm::Like);
  EXPECT_TRUE(std::filesystem::exists(note));

  dc().Exec(ReadSource("db/migrations/sessionload-index-add.sql"));
  std::filesystem::remove(note);
  Instance third(platform);
  nextStartup(third);
  EXPECT_EQ(ChooseSessionLoadForm(third), SessionLoadForm::SwitchColumns);
  dc().Exec(ReadSource("db/migrations/sessionload-index-remove.sql"));
  EXPECT_EQ(CheckDuplicateAccount(third).otherClientRows.size(), 1u);
  EXPECT_EQ(ChooseSessionLoadForm(third), SessionLoadForm::Like);
  EXPECT_TRUE(std::filesystem::exists(note));
  dc().Exec(ReadSource("db/migrations/sessionload-index-add.sql"));
}

TEST(SessionLoadNote, SaysLikeOnlyWithinItsTime) {
  const std::int64_t now = 1'800'000'000;
  const struct {
    std::string content;
    bool like;
  } cases[] = {
      {SessionLoadLikeNote(now), true},
      {SessionLoadLikeNote(now - kSessionLoadFormNoteSeconds), false},  // ran out
      {SessionLoadLikeNote(now + 1), false},                            // further ahead than it can be
      {"like " + std::to_string(now + 1), true},
      {"like ", false},
      {"like 12x", false},
      {"like -5", false},
      {"columns " + std::to_string(now + 60), false},
      {"like 99999999999999999999999", false},
  };
  for (const auto& c : cases) EXPECT_EQ(SessionLoadNoteSaysLike(c.content, now), c.like) << c.content;
}

}  // namespace
}  // namespace qbnotify
