// qbnotify-lint: the traps in a farm's admission rules, each with the rows that cause it
// and a one-line fix. Reads the farm's databases only.
//
// Exit status: 0 no error or warning (notes may be shown), 1 errors or warnings, or the
// rules cannot be read, 2 bad usage.
#include <CLI/CLI.hpp>
#include <iostream>
#include <nlohmann/json.hpp>

#include "environment/ConnectionSettings.h"
#include "platform/hosted/HostedPlatform.h"
#include "tools/common/ToolSupport.h"
#include "tools/qbnotify-lint/Lint.h"

int main(int argc, char** argv) {
  using namespace qbnotify;
  using namespace qbnotify::tools;
  CLI::App app{"Finds the traps in the farm's admission rules: policies without rules, missing groups, address "
               "ranges compared as text, time groups that never match, unreachable rules and more."};
  std::string settings, installPath;
  bool asJson = false;
  app.add_option("--settings", settings, "the connection-settings file");
  app.add_option("--install-path", installPath, "the install path the settings file lies below");
  app.add_flag("--json", asJson, "print the findings as JSON");
  try {
    app.parse(argc, argv);
    if (!settings.empty() && !installPath.empty())
      throw CLI::ValidationError("settings", "give one of --settings FILE or --install-path DIR");
    if (settings.empty() && installPath.empty()) {
      const std::optional<std::string> found = SystemInstallPath();
      if (!found) throw CLI::ValidationError("settings", "give one of --settings FILE or --install-path DIR");
      installPath = *found;
    }
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return status == 0 ? kExitGood : kExitUsage;
  }

  try {
    InstallPath install(settings, installPath);
    hosted::Session session;
    session.registry[kProductKey][kInstallPathValue] = RegistryValue{RegistryStatus::Text, install.Path()};
    hosted::HostedPlatform platform(session);
    Instance instance(platform);
    if (!OpenConnections(platform, instance.connections)) {
      std::cerr << "qbnotify-lint: the library's connections cannot be opened with " << install.SettingsFile().string()
                << " (qbnotify-doctor says why)\n";
      return kExitProblem;
    }
    MakeReadOnly(instance.connections);
    const std::vector<Finding> findings = LintRules(instance);

    int problems = 0;
    for (const Finding& finding : findings) problems += finding.severity == Severity::Note ? 0 : 1;
    if (asJson) {
      nlohmann::ordered_json list = nlohmann::ordered_json::array();
      for (const Finding& f : findings)
        list.push_back({{"severity", SeverityName(f.severity)}, {"code", f.code}, {"message", f.message}, {"rows", f.rows}, {"fix", f.fix}});
      std::cout << nlohmann::ordered_json{{"findings", list}, {"problems", problems}}.dump(2) << '\n';
    } else {
      for (const Finding& f : findings) {
        std::cout << Padded(SeverityName(f.severity), 7) << ' ' << Padded(f.code, 28) << ' ' << f.message << '\n';
        for (const std::string& row : f.rows) std::cout << "        " << Padded("", 28) << " row: " << row << '\n';
        std::cout << "        " << Padded("", 28) << " fix: " << f.fix << '\n';
      }
      std::cout << problems << " error(s) and warning(s), " << findings.size() - static_cast<std::size_t>(problems)
                << " note(s)\n";
    }
    return problems == 0 ? kExitGood : kExitProblem;
  } catch (const std::exception& error) {
    std::cerr << "qbnotify-lint: " << Shown(error.what()) << '\n';
    return kExitProblem;
  }
}
