// qbnotify-doctor: checks this terminal server's set-up for the library, in the order the
// library needs it, and says what to fix.
//
// This entry point runs over the hosted platform: the install path comes from
// --install-path or from a session file of the session host. A Windows build runs the same
// checks over the Win32 platform, which reads InstallPath from the registry.
//
// Exit status: 0 every check passed (warnings allowed), 1 a check failed, 2 bad usage.
#include <CLI/CLI.hpp>
#include <fstream>
#include <iostream>
#include <sstream>

#include "environment/ConnectionSettings.h"
#include "platform/hosted/HostedPlatform.h"
#include "tools/common/ToolSupport.h"
#include "tools/qbnotify-doctor/Doctor.h"
#include "tools/qbnotify-doctor/DoctorSwitches.h"
#include "tools/qbnotify-host/SessionFile.h"

int main(int argc, char** argv) {
  using namespace qbnotify;
  using namespace qbnotify::tools;
  CLI::App app{"Checks the set-up the library needs: InstallPath, the settings file, the client library, the three "
               "connections, the server, tables, privileges, identifier counters and the clock."};
  std::string installPath, sessionFile;
  bool asJson = false;
  DoctorOptions options;
  app.add_option("--install-path", installPath, "the product's install path (InstallPath)");
  app.add_option("--session", sessionFile, "a session file of the session host, for its install_path");
  AddDoctorSwitches(app, options, asJson);
  try {
    app.parse(argc, argv);
    if (installPath.empty() == sessionFile.empty())
      throw CLI::ValidationError("install-path", "give one of --install-path DIR or --session FILE");
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return status == 0 ? kExitGood : kExitUsage;
  }

  hosted::Session session;
  if (!sessionFile.empty()) {
    try {
      std::ifstream in(FilePath(sessionFile), std::ios::binary);
      if (!in) throw host::SessionFileError("cannot read " + sessionFile);
      std::stringstream text;
      text << in.rdbuf();
      session = host::ParseSessionFile(text.str()).session;
    } catch (const host::SessionFileError& error) {
      std::cerr << "qbnotify-doctor: " << error.what() << '\n';
      return kExitUsage;
    }
  } else {
    session.registry[kProductKey][kInstallPathValue] = RegistryValue{RegistryStatus::Text, installPath};
  }
  hosted::HostedPlatform platform(session);
  options.localPath = [](const std::string& path) { return std::filesystem::path(hosted::HostPath(path)); };
  if (options.printGrants) {
    std::cout << DoctorGrantStatements(platform);
    return kExitGood;
  }
  const std::vector<Check> checks = RunDoctor(platform, options);

  PrintChecks(std::cout, checks, asJson);
  return AnyFailed(checks) ? kExitProblem : kExitGood;
}
