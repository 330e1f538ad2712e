// The handlers over the hosted platform, without a database: the session gate, the first
// stage of the context, the status messages and the window restore pass.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "notify/QBNotifyMain.h"

namespace qbnotify {
namespace {

using test::Deliver;
using test::Handler;
using test::kHandlers;
using test::NamedHandler;

std::vector<std::string> Traces(const hosted::HostedPlatform& platform) {
  std::vector<std::string> traces;
  for (const auto& effect : platform.Effects())
    if (const auto* trace = std::get_if<hosted::TraceText>(&effect)) traces.push_back(trace->text);
  return traces;
}

std::vector<std::string> ChannelTexts(const hosted::HostedPlatform& platform) {
  std::vector<std::string> texts;
  for (const auto& effect : platform.Effects())
    if (std::holds_alternative<hosted::ChannelWrite>(effect)) texts.push_back(test::ChannelText(effect));
  return texts;
}

TEST(SessionGate, OtherSessionsAreLeftUntouched) {
  struct Kind {
    const char* what;
    bool remote;
    std::optional<std::uint16_t> protocol;
    const char* winStation;
    const char* label;
  } kinds[] = {
      {"console", false, 0, "Console", nullptr},
      {"not remote, though labelled ours", false, 2, "KEV-Tcp#1", nullptr},
      {"remote desktop", true, 2, "RDP-Tcp#0", "MS RDP"},
      {"ICA", true, 1, "ICA-Tcp#0", "CITRIX ICA"},
      {"RDP type, unknown name", true, 2, "Other#0", "N/A"},
      {"protocol query fails", true, std::nullopt, "KEV-Tcp#1", ""},
  };
  for (const Kind& kind : kinds) {
    for (const NamedHandler& h : kHandlers) {
      SCOPED_TRACE(std::string(kind.what) + " / " + h.name);
      hosted::Session session = test::KevSession();
      session.remote = kind.remote;
      session.protocolType = kind.protocol;
      session.winStation = kind.winStation;
      hosted::HostedPlatform platform(session, true);
      Instance instance(platform);
      instance.context.WinStationName = kind.winStation;  // as startup would have kept it
      Deliver(h.handler, instance);

      // Nothing but progress texts: no message, no session end, no window or timer.
      for (const auto& effect : platform.Effects()) EXPECT_TRUE(std::holds_alternative<hosted::TraceText>(effect));
      const std::vector<std::string> traces = Traces(platform);
      ASSERT_FALSE(traces.empty());
      if (!kind.remote) {
        EXPECT_EQ(traces.size(), 1u);  // the entry text only
        EXPECT_EQ(platform.SessionQueries(), 0u);
      }
      const std::string label = kind.label ? kind.label : "";
      if (kind.remote && h.handler == HandleLogon) {
        EXPECT_EQ(traces.back(), "Logon event:Error Str=" + label);
      }
      if (kind.remote && h.handler == HandleStartShell) {
        EXPECT_EQ(traces.back(), "StartShell event:Error Str=" + label);
      }
    }
  }
}

TEST(SessionGate, StartupKeepsFirstStageForAnyRemoteSession) {
  hosted::Session session = test::KevSession(" cmd.exe /N:APP1 ");
  session.winStation = "RDP-Tcp#7";
  session.clientName = " PC-Z";
  hosted::HostedPlatform platform(session, true);
  Instance instance(platform);
  HandleStartup(instance);
  EXPECT_EQ(instance.context.WinStationName, "RDP-Tcp#7");
  EXPECT_EQ(instance.context.InitialProgram, " cmd.exe /N:APP1 ");
  EXPECT_EQ(instance.context.ClientName, " PC-Z");
  EXPECT_EQ(instance.context.AppId, "");  // the second stage needs our protocol and a database
  const std::vector<std::string> expected = {
      "WinStartUp\xC6\xF4\xB6\xAF", "WTSWinStatname=RDP-Tcp#7", "InitialProgram= cmd.exe /N:APP1 ",
      "ComputerName= PC-Z", "\xBF\xAA\xCA\xBC\xBC\xEC\xB2\xE9\xCA\xC7\xB7\xF1KEV\xD0\xAD\xD2\xE9\xC0\xE0\xD0\xCD"};
  EXPECT_EQ(Traces(platform), expected);
}

TEST(SessionGate, LaterHandlersUseTheKeptWinStationName) {
  hosted::HostedPlatform platform(test::KevSession(), true);
  Instance instance(platform);
  HandleStartup(instance);  // no settings: the session goes on unchecked
  EXPECT_TRUE(ChannelTexts(platform).empty());

  platform.State().winStation = "RDP-Tcp#0";  // a fresh query would say "MS RDP"
  platform.ClearEffects();
  HandleStartShell(instance);
  EXPECT_EQ(ChannelTexts(platform), std::vector<std::string>{"Wi4HAEAAAAAAAAAAAA=="});

  // And the other way round: a name that could not be read keeps the session out.
  hosted::Session unnamed = test::KevSession();
  unnamed.winStation.reset();
  hosted::HostedPlatform other(unnamed, true);
  Instance second(other);
  HandleStartup(second);
  other.State().winStation = "KEV-Tcp#3";
  HandleStartShell(second);
  EXPECT_TRUE(ChannelTexts(other).empty());
}

TEST(StatusMessages, EachHandlerSendsItsCodeFirstEvenWithoutDatabase) {
  hosted::HostedPlatform platform(test::KevSession(), true);
  Instance instance(platform);
  HandleStartup(instance);
  const std::pair<Handler, const char*> expected[] = {
      {HandleLogon, "Wi4HACAAAAAAAAAAAA=="},
      {HandleStartShell, "Wi4HAEAAAAAAAAAAAA=="},
      {HandleDisconnect, nullptr},
      {HandleReconnect, "Wi4HAIAAAAAAAAAAAA=="},
      {HandleLogoff, "Wi4HADAAAAAAAAAAAA=="},
  };
  for (const auto& [handler, text] : expected) {
    platform.ClearEffects();
    Deliver(handler, instance);
    const std::vector<std::string> sent = ChannelTexts(platform);
    EXPECT_EQ(sent, text ? std::vector<std::string>{text} : std::vector<std::string>{});
  }
}

// A record that cannot be written fails alone, at logoff too: the handler goes on to its end.
TEST(StatusMessages, RecordsThatCannotBeWrittenStopNoHandler) {
  hosted::HostedPlatform platform(test::KevSession());
  Instance instance(platform);
  HandleStartup(instance);
  for (auto handler : {HandleLogon, HandleDisconnect, HandleReconnect, HandleLogoff})
    EXPECT_NO_THROW(handler(instance));
}

TEST(SecurityPolicyGate, ChoosesApplicationIdentifiers) {
  const hosted::HostedPlatform platform{hosted::Session{}};
  for (const char* id : {"APP00000012", "app00000012", "myapp", "xAPPx", "APP000000001"})
    EXPECT_TRUE(NeedsSecurityPolicy(platform, id)) << id;
  for (const char* id : {"APP00000000", "app00000000", "App00000000", "quilladmin", "QuillAdmin", "shadow", "SHADOW", "",
                         "AP P", "\xA3\xE1\xA3\xF0\xA3\xF0"})
    EXPECT_FALSE(NeedsSecurityPolicy(platform, id)) << id;
}

class RestoreWindowsTest : public ::testing::Test {
 protected:
  RestoreWindowsTest() : platform_(Session(), true), instance_(platform_) {}
  static hosted::Session Session() {
    hosted::Session session = test::KevSession();
    session.windows = {
        {101, "Book1", true, 0},
        {102, "Hidden", false, 0},
        {103, "Owned pop-up", true, 101},
        {104, std::string(300, 'T'), true, 0},
        {105, "", true, 0},
    };
    return session;
  }
  hosted::HostedPlatform platform_;
  Instance instance_;
};

TEST_F(RestoreWindowsTest, HidesAndShowsVisibleTopLevelWindowsThenStopsTheTimer) {
  instance_.context.ReconnectTimer = platform_.StartTimer(3000, [] {});
  platform_.ClearEffects();
  RestoreWindows(instance_);

  std::vector<std::string> actions;
  for (const auto& effect : platform_.Effects()) {
    if (const auto* w = std::get_if<hosted::WindowCommand>(&effect))
      actions.push_back((w->command == kShowHide ? "hide " : "show ") + std::to_string(w->window));
    else if (const auto* p = std::get_if<hosted::Pause>(&effect))
      actions.push_back("sleep " + std::to_string(p->milliseconds));
    else if (std::holds_alternative<hosted::TimerStopped>(effect))
      actions.push_back("stop");
  }
  const std::vector<std::string> expected = {"hide 101", "sleep 100", "show 101", "hide 104", "sleep 100", "show 104",
                                             "hide 105", "sleep 100", "show 105", "stop"};
  EXPECT_EQ(actions, expected);
  EXPECT_EQ(platform_.RunningTimers(), 0u);

  // Every window is traced, titles cut to 254 bytes.
  const std::vector<std::string> traces = Traces(platform_);
  EXPECT_EQ(traces.front(), "$$$$$$$$$Timer\xBF\xAA\xCA\xBC");
  EXPECT_NE(std::find(traces.begin(), traces.end(), "window 102 Hidden"), traces.end());
  EXPECT_NE(std::find(traces.begin(), traces.end(), "window 103 Owned pop-up"), traces.end());
  EXPECT_NE(std::find(traces.begin(), traces.end(), "window 104 " + std::string(254, 'T')), traces.end());
}

}  // namespace
}  // namespace qbnotify
