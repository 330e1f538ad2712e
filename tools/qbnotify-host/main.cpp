// qbnotify-host: plays the logon process for one session.
//
// Loads the notification library by path, hands it the hosted platform (which answers from
// the session file), calls the exported handlers in the order the session file lists, and
// prints every effect the library has on the session as one JSON object per line.
#include <chrono>
#include <dlfcn.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <climits>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "environment/ConnectionSettings.h"
#include "environment/SessionQueries.h"
#include "environment/Switches.h"
#include "platform/hosted/CodePage.h"
#include "notify/hosted/HostEntry.h"
#include "platform/hosted/HostedPlatform.h"
#include "tools/qbnotify-host/SessionFile.h"

namespace {

using json = nlohmann::ordered_json;
using namespace qbnotify;

constexpr int kClockStepSeconds = 60;

std::string DefaultLibraryPath() {
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return "libqbnotify.so";
  std::string path(self, static_cast<std::size_t>(length));
  return path.substr(0, path.rfind('/') + 1) + "libqbnotify.so";
}

// Adds the code and reason of a status message, when the text is one.
void DescribeStatusMessage(json& line, const std::string& text) {
  const std::string record = DecodeBase64Text(text);
  if (record.size() != 13 || record.compare(0, 3, "\x5A\x2E\x07") != 0) return;
  const auto byte = [&](int i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(record[static_cast<std::size_t>(i)])); };
  line["code"] = byte(3) | (byte(4) << 8);
  line["reason"] = static_cast<std::int32_t>(byte(5) | (byte(6) << 8) | (byte(7) << 16) | (byte(8) << 24));
}

json Describe(const hosted::Effect& effect) {
  return std::visit(
      [](const auto& e) -> json {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, hosted::ChannelWrite>) {
          json line = {{"type", e.delivered ? "channel" : "channel_failed"}, {"name", e.name}, {"text", hosted::Cp936ToUtf8(e.bytes)}};
          DescribeStatusMessage(line, e.bytes);
          if (!e.delivered) line["error"] = e.failure;
          return line;
        } else if constexpr (std::is_same_v<T, hosted::SessionEnd>) {
          return {{"type", "end_session"}, {"flags", e.flags}, {"reason", e.reason}};
        } else if constexpr (std::is_same_v<T, hosted::WindowCommand>) {
          const char* op = e.command == kShowHide ? "hide" : e.command == kShowShow ? "show" : nullptr;
          json line = {{"type", "window"}, {"handle", e.window}};
          if (op) line["op"] = op;
          else line["command"] = e.command;
          return line;
        } else if constexpr (std::is_same_v<T, hosted::Pause>) {
          return {{"type", "sleep"}, {"ms", e.milliseconds}};
        } else if constexpr (std::is_same_v<T, hosted::TimerStarted>) {
          return {{"type", "timer"}, {"op", "start"}, {"period_ms", e.periodMilliseconds}};
        } else if constexpr (std::is_same_v<T, hosted::TimerStopped>) {
          return {{"type", "timer"}, {"op", "stop"}};
        } else if constexpr (std::is_same_v<T, hosted::TimerTicked>) {
          return {{"type", "timer"}, {"op", "tick"}};
        } else if constexpr (std::is_same_v<T, hosted::SystemEventWritten>) {
          const SystemEventLevel level = e.event.level;
          return {{"type", "system_event"},
                  {"id", e.event.id},
                  {"category", e.event.category},
                  {"level", level == SystemEventLevel::Error     ? "error"
                            : level == SystemEventLevel::Warning ? "warning"
                                                                 : "information"},
                  {"text", hosted::Cp936ToUtf8(e.event.text)}};
        } else {
          return {{"type", "trace"}, {"text", hosted::Cp936ToUtf8(e.text)}};
        }
      },
      effect);
}

const char* StatusMeaning(std::uint32_t code, std::int32_t reason) {
  switch (code) {
    case 0x1000:
      return reason == 0 ? "startup result: admitted"
             : reason == 3 ? "startup result: refused, the session does not start the shell"
             : reason == 2 ? "startup result: refused by the farm's rules"
                           : "startup result";
    case 0x2000: return "logged on";
    case 0x3000: return "logging off";
    case 0x4000: return "shell started";
    case 0x8000: return "reconnected";
    default: return "status message";
  }
}

// One effect as a line a person reads at a glance.
std::string AsText(const json& line) {
  const std::string type = line.at("type");
  const auto status = [&]() -> std::string {
    if (!line.contains("code")) return "";
    return std::string(" (") + StatusMeaning(line.at("code"), line.at("reason")) + ")";
  };
  if (type == "handler") return "> " + line.at("name").get<std::string>();
  if (type == "channel") return "    client <- " + line.at("text").get<std::string>() + status();
  if (type == "channel_failed")
    return "    client x  " + line.at("text").get<std::string>() + status() + " not delivered: " + line.at("error").get<std::string>();
  if (type == "end_session")
    return "    session ended (flags " + line.at("flags").dump() + ", reason " + line.at("reason").dump() + ")";
  if (type == "window")
    return "    window " + line.at("handle").dump() + " " + (line.contains("op") ? line.at("op").get<std::string>() : "command " + line.at("command").dump());
  if (type == "sleep") return "    pause " + line.at("ms").dump() + " ms";
  if (type == "timer")
    return "    timer " + line.at("op").get<std::string>() + (line.contains("period_ms") ? " every " + line.at("period_ms").dump() + " ms" : "");
  if (type == "trace") return "    . " + line.at("text").get<std::string>();
  if (type == "system_event")
    return "    event log " + line.at("level").get<std::string>() + " " + line.at("id").dump() + ": " +
           line.at("text").get<std::string>();
  return line.dump();
}

bool g_textFormat = false;

void Print(const json& line) {
  if (g_textFormat) std::cout << AsText(line) << '\n' << std::flush;
  else std::cout << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n' << std::flush;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Plays the logon process for one session: loads the notification library, calls its handlers in the "
               "order the session file gives, and prints each effect as a JSON line."};
  std::string sessionPath;
  std::string libraryPath = DefaultLibraryPath();
  bool traces = false;
  app.add_option("session", sessionPath, "session file (JSON)")->required();
  app.add_option("--library", libraryPath, "notification library to load")->capture_default_str();
  app.add_flag("--trace", traces, "also print the library's progress texts");
  bool times = false;
  app.add_flag("--times", times, "also print how long each handler took (a line of type handler_time)");
  std::string format = "json";
  app.add_option("--format", format, "json: one JSON object per line; text: for reading")
      ->check(CLI::IsMember({"json", "text"}))
      ->capture_default_str();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return status == 0 ? 0 : 2;
  }

  g_textFormat = format == "text";
  host::SessionFile file;
  try {
    std::ifstream in(sessionPath, std::ios::binary);
    if (!in) throw host::SessionFileError("cannot read session file " + sessionPath);
    std::stringstream text;
    text << in.rdbuf();
    file = host::ParseSessionFile(text.str());
  } catch (const host::SessionFileError& error) {
    std::cerr << "qbnotify-host: " << error.what() << '\n';
    return 2;
  }

  void* library = dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    std::cerr << "qbnotify-host: cannot load " << libraryPath << ": " << dlerror() << '\n';
    return 1;
  }
  auto attach = reinterpret_cast<HostAttachFunction>(dlsym(library, kHostAttachSymbol));
  if (!attach) {
    std::cerr << "qbnotify-host: " << libraryPath << " has no hosting entry point " << kHostAttachSymbol << '\n';
    return 1;
  }

  hosted::HostedPlatform platform(std::move(file.session), traces);
  if (g_textFormat) {
    // Who connects, for what and from where, as the platform reports it.
    const auto shown = [](const std::string& bytes) { return bytes.empty() ? std::string("-") : hosted::Cp936ToUtf8(bytes); };
    const std::string program = GetInitialProgram(platform, kCurrentSession);
    const ClientAddress address = GetClientAddress(platform, kCurrentSession);
    if (!file.comment.empty()) std::cout << "# " << file.comment << '\n';
    std::cout << "# user " << shown(FindSwitchValue(platform, program, "/U:")) << ", application "
              << shown(FindSwitchValue(platform, program, "/N:")) << ", client "
              << shown(GetClientName(platform, kCurrentSession)) << " at " << address.address << ", winstation "
              << shown(GetWinStationName(platform, kCurrentSession)) << (platform.SystemMetric(kMetricRemoteSession) ? "" : " (local)")
              << '\n';
  }
  platform.SetListener([](const hosted::Effect& effect) { Print(Describe(effect)); });
  attach(&platform);

  bool first = true;
  for (host::Event event : file.events) {
    if (platform.SessionEnded()) break;  // the session is gone: no further notification
    const char* name = host::HandlerName(event);
    using Handler = void (*)(void*);
    auto handler = reinterpret_cast<Handler>(dlsym(library, name));
    if (!handler) {
      std::cerr << "qbnotify-host: " << libraryPath << " does not export " << name << '\n';
      return 1;
    }
    if (!first) platform.AdvanceClock(kClockStepSeconds);
    first = false;
    Print({{"type", "handler"}, {"name", name}});
    const auto started = std::chrono::steady_clock::now();
    handler(nullptr);
    if (times)
      Print({{"type", "handler_time"},
             {"name", name},
             {"ms", std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started)
                        .count()}});
    // Between notifications the logon process runs its message loop: running timers tick.
    if (!platform.SessionEnded()) platform.DeliverTimerTicks();
  }
  // The library stays loaded until the process ends, as in the logon process.
  return 0;
}
