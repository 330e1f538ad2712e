// The list of servers in DSHost, the per-server connect time-out, the readiness judgement
// and the deny state's file.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "store/ServerDeny.h"
#include "store/ServerList.h"
#include "store/StateDirectory.h"

namespace qbnotify {
namespace {

std::string Describe(const std::vector<ListedServer>& servers) {
  std::string out;
  for (const ListedServer& s : servers) out += (out.empty() ? "" : "|") + s.address.host + "#" + std::to_string(s.address.port);
  return out;
}

TEST(ServerList, ParsesListsAndKeepsASingleValueAsItAlwaysWas) {
  struct Case {
    const char* value;
    const char* servers;
    const char* rejected;
  } cases[] = {
      {"db1:3306", "db1#3306", ""},
      {"3307", "#3307", ""},  // a port alone: the local machine
      {"db1:3306,db2:3307", "db1#3306|db2#3307", ""},
      {" db1:3306 , db2:3307 ", "db1#3306|db2#3307", ""},
      {"[::1]:3306,127.0.0.1:3307", "::1#3306|127.0.0.1#3307", ""},
      {"[fe80::1%eth0]:1,b:2", "fe80::1%eth0#1|b#2", ""},
      {"a:1,,b:2", "a#1|b#2", "<>"},
      {"a:1,b", "a#1", "<b>"},
      {"a:1,a:1,b:2", "a#1|b#2", "<a:1>"},
      {"[::1],[::1]:,[]:1,[::1]3306", "", "<[::1]><[::1]:><[]:1><[::1]3306>"},
      {"a:0,b:65536", "", "<a:0><b:65536>"},
      {"", "", "<>"},
      {"h:", "", "<h:>"},
      {" db1:3306", " db1#3306", ""},  // a single value is split as it always was, blank and all
      {"[::1]:3306", "", "<[::1]:3306>"},  // the brackets are a list's: alone, split at the first colon
  };
  for (const Case& c : cases) {
    std::vector<std::string> rejected;
    EXPECT_EQ(Describe(ParseServerList(c.value, &rejected)), c.servers) << c.value;
    std::string shown;
    for (const std::string& r : rejected) shown += "<" + r + ">";
    EXPECT_EQ(shown, c.rejected) << c.value;
  }
  EXPECT_EQ(ParseServerList(" a:1 ,b:2").front().entry, "a:1");
}

TEST(ServerList, ServerConnectSecondsTakesOneToThirty) {
  const std::pair<const char*, unsigned> cases[] = {{"2", 2},  {" 5 ", 5}, {"30", 30}, {"31", 3}, {"0", 3},
                                                    {"", 3},   {"-1", 3},  {"2s", 3},  {"1", 1}};
  for (const auto& [text, seconds] : cases) EXPECT_EQ(ParseServerConnectSeconds(text), seconds) << text;
}

TEST(ServerList, JudgesWhetherAServerCanServe) {
  using Vars = std::map<std::string, std::string>;
  const Vars synced = {{"WSREP_ON", "ON"},          {"WSREP_READY", "ON"},  {"WSREP_LOCAL_STATE", "4"},
                       {"WSREP_REJECT_QUERIES", "NONE"}, {"WSREP_DESYNC", "OFF"}, {"READ_ONLY", "OFF"}};
  const auto with = [&](const char* name, const char* value) {
    Vars v = synced;
    v[name] = value;
    return v;
  };
  struct Case {
    Vars variables;
    const char* reason;  // "" ready
    bool soft;
  } cases[] = {
      {synced, "", false},
      {{}, "", false},                                               // a server without these variables
      {{{"READ_ONLY", "OFF"}, {"WSREP_ON", "OFF"}, {"WSREP_READY", "OFF"}}, "", false},  // a plain server
      {{{"READ_ONLY", "ON"}}, "read-only", true},
      {with("READ_ONLY", "1"), "read-only", true},
      {with("WSREP_READY", "OFF"), "cluster node not ready", false},
      {with("WSREP_REJECT_QUERIES", "ALL"), "cluster node rejects queries", false},
      {with("WSREP_REJECT_QUERIES", "all_kill"), "cluster node rejects queries", false},
      {with("WSREP_DESYNC", "ON"), "cluster node desynced", true},
      {with("WSREP_LOCAL_STATE", "2"), "cluster node not synced (state 2)", true},
      {with("wsrep_on", "OFF"), "", false},  // names arrive upper-cased; a stray lower-case one is ignored
  };
  for (const Case& c : cases) {
    const std::optional<Unreadiness> judged = JudgeReadiness(c.variables);
    EXPECT_EQ(judged ? judged->reason : "", c.reason);
    if (judged) {
      EXPECT_EQ(judged->soft, c.soft) << c.reason;
    }
  }
}

TEST(ServerDenyState, KeepsOnlyEntriesDeniedForAtMostOnePeriod) {
  const std::int64_t now = 1765170000;
  const std::string content = "db1:3306\t" + std::to_string(now + 10) + "\tno server at the address\n" +
                              "db2:3306\t" + std::to_string(now) + "\texpired\n" +                        // ends now
                              "db3:3306\t" + std::to_string(now + kServerDenySeconds + 1) + "\tplanted\n" +  // too far
                              "db4:3306\t12x\tbad time\n" + "no tabs at all\n" + "\t" + std::to_string(now + 5) +
                              "\tno entry\n" + "db5:3306\t" + std::to_string(now + 5) + "\t";  // no line end
  const ServerDenyState state = ServerDenyState::Parse(content, now);
  EXPECT_TRUE(state.IsDenied("db1:3306"));
  EXPECT_TRUE(state.IsDenied("db5:3306"));
  EXPECT_EQ(state.Entries().size(), 2u);
  EXPECT_EQ(state.Entries().at("db1:3306").reason, "no server at the address");

  ServerDenyState next = state;
  next.Deny("[::1]:3306", "two\nlines\tand a tab", now);
  EXPECT_TRUE(next.Clear("db5:3306"));
  EXPECT_FALSE(next.Clear("db5:3306"));
  EXPECT_EQ(next.Serialize(), "[::1]:3306\t" + std::to_string(now + kServerDenySeconds) +
                                  "\ttwo lines and a tab\ndb1:3306\t" + std::to_string(now + 10) +
                                  "\tno server at the address\n");
  EXPECT_EQ(ServerDenyState::Parse(next.Serialize(), now), next);
  EXPECT_TRUE(ServerDenyState::Parse(next.Serialize(), now + kServerDenySeconds).Entries().empty());
}

TEST(ServerDenyState, IsSharedThroughTheStateDirectoryAndABadFileDeniesNothing) {
  test::TempDir dir;
  hosted::Session session = test::KevSession();
  test::SetInstallPath(session, dir.Path().string());
  test::WriteSettingsFile(dir.Path(), "");
  hosted::HostedPlatform platform(session);
  const std::int64_t now = SystemSecondsNow();
  EXPECT_TRUE(LoadServerDenyState(platform, now).Entries().empty());  // no file yet

  ServerDenyState state;
  state.Deny("db1:3306", "no answer", now);
  ASSERT_TRUE(SaveServerDenyState(platform, state));
  hosted::HostedPlatform another(session);  // another session's process
  EXPECT_TRUE(LoadServerDenyState(another, now).IsDenied("db1:3306"));

  // A file changed by hand fails its checksum: nothing is denied.
  const auto file = dir.Path() / "Data" / "State" / (std::string(kServerDenyStateName) + ".state");
  ASSERT_TRUE(std::filesystem::exists(file));
  std::string bytes = EncodeStateFile("db1:3306\t" + std::to_string(now + 5) + "\tx\n");
  bytes.back() = 'y';
  {
    std::FILE* out = std::fopen(file.c_str(), "wb");
    ASSERT_TRUE(out);
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);
  }
  EXPECT_TRUE(LoadServerDenyState(another, now).Entries().empty());
}

}  // namespace
}  // namespace qbnotify
