// The session host as a user meets it: session files it refuses, and what it prints.
#include <gtest/gtest.h>

#include "HostRunner.h"

namespace qbnotify {
namespace {

using nlohmann::ordered_json;
using test::RunHost;
using test::RunHostOnText;

TEST(SessionHost, RefusesBadSessionFilesNamingTheField) {
  struct Case {
    const char* text;
    const char* field;
  } cases[] = {
      {"{", "not valid JSON"},
      {"[]", "top level"},
      {R"({"protocol_type": 1e400})", "not valid JSON"},  // a number no double can hold
      {R"({"remote": "yes"})", "\"remote\""},
      {R"({"protocol_type": -1})", "\"protocol_type\""},
      {R"({"protocol_type": 70000})", "\"protocol_type\""},
      {R"({"winstation": 5})", "\"winstation\""},
      {R"({"initial_program_hex": "4G"})", "\"initial_program_hex\""},
      {R"({"client_name": "x", "client_name_hex": "41"})", "\"client_name_hex\""},
      {R"({"client_address": "10.0.0"})", "\"client_address\""},
      {R"({"client_address": {"family": 2, "bytes": [256]}})", "\"client_address.bytes[0]\""},
      {R"({"windows": [{"handle": 1, "visible": 1}]})", "\"windows[0].visible\""},
      {R"({"channel": "closed"})", "\"channel\""},
      {R"({"events": ["startup", "shutdown"]})", "\"events[1]\""},
      {R"({"clock": "2026-13-01 00:00:00"})", "\"clock\""},
      {R"({"initial_progam": "typo"})", "\"initial_progam\""},
      {R"({"client_name": "\u00e9\u0301\u0e01"})", "\"client_name\""},  // no code-page-936 form
  };
  for (const Case& c : cases) {
    const test::HostRun run = RunHostOnText(c.text);
    EXPECT_EQ(run.status, 2) << c.text;
    EXPECT_TRUE(run.lines.empty()) << c.text;
    EXPECT_NE(run.errors.find(c.field), std::string::npos) << c.text << " -> " << run.errors;
  }
}

TEST(SessionHost, CallsHandlersInOrderAndStopsAfterTheSessionEnds) {
  const ordered_json session = {
      {"remote", true},
      {"protocol_type", 2},
      {"winstation", "KEV-Tcp#3"},
      {"initial_program", "kevshell.exe /N:APP1"},
      {"events", {"startup", "logon", "startshell", "disconnect", "reconnect", "logoff"}},
  };
  const test::HostRun run = RunHost(session);
  ASSERT_EQ(run.status, 0) << run.errors;
  std::vector<std::string> handlers;
  for (const auto& line : run.OfType("handler")) handlers.push_back(line["name"]);
  EXPECT_EQ(handlers, (std::vector<std::string>{"winStartup", "winLogon", "winStartShell", "winDisconnect",
                                                "winReconnect", "winLogoff"}));
  // No database here: startup goes on unchecked and says nothing to the client (the event
  // log hears of the missing settings, once); the others send their codes.
  EXPECT_EQ(run.Messages(), (std::vector<std::pair<int, int>>{{0x2000, 0}, {0x4000, 0}, {0x8000, 0}, {0x3000, 0}}));
  ASSERT_EQ(run.OfType("system_event").size(), 1u);
  EXPECT_EQ(run.lines[1]["id"], 1009);
  EXPECT_EQ(run.lines[3], ordered_json::parse(R"({"type":"channel","name":"DOZA","text":"Wi4HACAAAAAAAAAAAA==","code":8192,"reason":0})"));
}

TEST(SessionHost, TracesAreCodePage936ConvertedToUtf8) {
  const ordered_json session = {
      {"remote", true},
      {"protocol_type", 2},
      {"winstation", "KEV-Tcp#3"},
      {"initial_program_hex", "6B65767368656C6C202F553AD5C5CEB0FF"},  // ".../U:张伟" and a stray byte
      {"client_name", "\xE5\xBC\xA0\xE4\xBC\x9F\xE7\x9A\x84PC"},
      {"events", {"startup"}},
  };
  const test::HostRun run = RunHost(session, {"--trace"});
  ASSERT_EQ(run.status, 0) << run.errors;
  std::vector<std::string> traces;
  for (const auto& line : run.OfType("trace")) traces.push_back(line["text"]);
  ASSERT_GE(traces.size(), 5u);
  EXPECT_EQ(traces[0], "WinStartUp\xE5\x90\xAF\xE5\x8A\xA8");                                   // WinStartUp启动
  EXPECT_EQ(traces[2], "InitialProgram=kevshell /U:\xE5\xBC\xA0\xE4\xBC\x9F\xEF\xBF\xBD");       // 张伟, then U+FFFD
  EXPECT_EQ(traces[3], "ComputerName=\xE5\xBC\xA0\xE4\xBC\x9F\xE7\x9A\x84PC");
}

TEST(SessionHost, ChannelFailuresAreShownAndDoNotStopTheHandler) {
  for (const char* state : {"unavailable", "write_fails"}) {
    const ordered_json session = {{"remote", true},          {"protocol_type", 2},
                                  {"winstation", "KEV-Tcp#1"}, {"channel", state},
                                  {"events", {"startup", "startshell", "logon"}}};
    const test::HostRun run = RunHost(session);
    ASSERT_EQ(run.status, 0) << run.errors;
    const auto failed = run.OfType("channel_failed");
    ASSERT_EQ(failed.size(), 2u) << state;
    EXPECT_EQ(failed[0]["error"], state);
    EXPECT_EQ(failed[0]["code"], 0x4000);
    EXPECT_TRUE(run.OfType("channel").empty());
  }
}

}  // namespace
}  // namespace qbnotify
