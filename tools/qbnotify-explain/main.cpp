// qbnotify-explain: why the library admits or refuses a session.
//
// Takes a session as the client presents it (switches, or a session file of the session
// host), runs the library's startup checks against the farm's databases on connections of
// its own that are read-only, and prints every step with the rows that decided it. What
// the library would write and send is shown, never done.
//
// Exit status: 0 admitted (or left unchecked), 1 refused, 2 bad usage.
#include <CLI/CLI.hpp>
#include <fstream>
#include <iostream>
#include <sstream>

#include "environment/ConnectionSettings.h"
#include "tools/common/ToolSupport.h"
#include "tools/qbnotify-explain/Explain.h"
#include "tools/qbnotify-host/SessionFile.h"

namespace {

using namespace qbnotify;
using namespace qbnotify::tools;

struct Protocol {
  const char* name;
  bool remote;
  std::uint16_t type;
  const char* winstation;
};
constexpr Protocol kProtocols[] = {
    {"kev", true, 2, "KEV-Tcp#1"}, {"rdp", true, 2, "RDP-Tcp#1"}, {"ica", true, 1, "ICA-Tcp#1"}, {"console", false, 0, "Console"}};

hosted::AddressRecord AddressOf(const std::string& text) {
  unsigned a, b, c, d;
  char tail;
  if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 || b > 255 || c > 255 || d > 255)
    throw std::invalid_argument("--address must be a dotted IPv4 address such as 10.0.0.7");
  hosted::AddressRecord record;
  record.family = 2;
  record.bytes[2] = static_cast<std::uint8_t>(a);
  record.bytes[3] = static_cast<std::uint8_t>(b);
  record.bytes[4] = static_cast<std::uint8_t>(c);
  record.bytes[5] = static_cast<std::uint8_t>(d);
  return record;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(FilePath(path), std::ios::binary);
  if (!in) throw std::invalid_argument("cannot read " + path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Explains the library's startup decision for a session: every check, the rows it read and the "
               "rule that decided. Reads the farm's databases only; writes nothing."};
  std::string user, application, clientName = "PC-01", mac, address = "0.0.0.0", protocol = "kev", sessionId;
  std::string initialProgram, sessionFile, settings, installPath, credentials, at;
  bool asJson = false, fullSql = false, offline = false;
  app.add_option("--user", user, "farm user name (/U:)");
  app.add_option("--app", application, "application identifier (/N:)");
  app.add_option("--client-name", clientName, "client computer name")->capture_default_str();
  app.add_option("--mac", mac, "client MAC (/M:)");
  app.add_option("--address", address, "client address")->capture_default_str();
  app.add_option("--protocol", protocol, "kev, rdp, ica or console")
      ->check(CLI::IsMember({"kev", "rdp", "ica", "console"}))
      ->capture_default_str();
  app.add_option("--session-id", sessionId, "session identifier (/E:)");
  app.add_option("--initial-program", initialProgram, "the whole initial program (instead of --user, --app, --mac)");
  app.add_option("--session", sessionFile, "a session file of the session host (instead of the switches)");
  app.add_option("--settings", settings, "the connection-settings file");
  app.add_option("--install-path", installPath, "the install path the settings file lies below");
  app.add_option("--credentials", credentials,
                 "connect as the account of this settings file of its own (DSUID, DSPSW; a reading account, role "
                 "qbnotify_reader) instead of the library's");
  app.add_option("--at", at, "server time for the time rules, \"YYYY-MM-DD HH:MM:SS\" (this tool's connections only)");
  app.add_flag("--offline", offline,
               "the decision while the database is away, from the local snapshot, rule by rule (--at: the server's local time)");
  app.add_flag("--json", asJson, "print the explanation as JSON");
  app.add_flag("--full-sql", fullSql, "print statements whole");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return status == 0 ? kExitGood : kExitUsage;
  }

  try {
    if (!at.empty() && !IsLocalTimeText(at)) throw std::invalid_argument("--at must be written \"YYYY-MM-DD HH:MM:SS\"");
    ExplainRequest request;
    request.at = at;
    request.offline = offline;
    if (!sessionFile.empty()) {
      if (!initialProgram.empty() || !user.empty() || !application.empty() || !mac.empty())
        throw std::invalid_argument("--session cannot be combined with the session's switches");
      request.session = host::ParseSessionFile(ReadFile(sessionFile)).session;
    } else {
      const Protocol* chosen = &kProtocols[0];
      for (const Protocol& p : kProtocols)
        if (protocol == p.name) chosen = &p;
      hosted::Session& session = request.session;
      session.remote = chosen->remote;
      session.protocolType = chosen->type;
      session.winStation = chosen->winstation;
      if (initialProgram.empty()) {
        initialProgram = "\"C:\\TAV\\kevshell.exe\"";
        if (!application.empty()) initialProgram += " /N:" + application;
        if (!user.empty()) initialProgram += " /U:" + user;
        if (!mac.empty()) initialProgram += " /M:" + mac;
        if (!sessionId.empty()) initialProgram += " /E:" + sessionId;
      } else if (!user.empty() || !application.empty() || !mac.empty()) {
        throw std::invalid_argument("--initial-program cannot be combined with --user, --app or --mac");
      }
      session.initialProgram = FromArgument(initialProgram, "--initial-program");
      session.clientName = FromArgument(clientName, "--client-name");
      session.clientAddress = AddressOf(address);
    }
    if (!settings.empty() && !installPath.empty()) throw std::invalid_argument("give --settings or --install-path, not both");
    if (settings.empty() && installPath.empty() && !request.session.registry.count(kProductKey))
      installPath = SystemInstallPath().value_or("");
    const bool fromFile = !settings.empty() || !installPath.empty();
    if (!fromFile && !request.session.registry.count(kProductKey))
      throw std::invalid_argument("say where the settings file is: --settings FILE or --install-path DIR");
    InstallPath install(settings, installPath);
    if (fromFile)
      request.session.registry[kProductKey][kInstallPathValue] = RegistryValue{RegistryStatus::Text, install.Path()};
    if (!credentials.empty()) UseCredentials(request.session, credentials, std::cerr);

    const ExplainResult result = Explain(std::move(request));
    if (asJson) std::cout << result.report.dump(2) << '\n';
    else std::cout << ExplainText(result.report, fullSql);
    return result.status;
  } catch (const host::SessionFileError& error) {
    std::cerr << "qbnotify-explain: " << error.what() << '\n';
  } catch (const std::exception& error) {
    std::cerr << "qbnotify-explain: " << error.what() << '\n';
  }
  return kExitUsage;
}
