// qbnotify-report: who used which application, when, how many at once, and who was refused,
// read from the audit and the event log. Reads the farm's databases only.
//
// Exit status: 0 the report was written, 1 the databases cannot be read or a file cannot be
// written, 2 bad usage.
#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>

#include "environment/ConnectionSettings.h"
#include "platform/hosted/HostedPlatform.h"
#include "tools/common/ToolSupport.h"
#include "tools/qbnotify-report/Output.h"

int main(int argc, char** argv) {
  using namespace qbnotify;
  using namespace qbnotify::tools;
  CLI::App app{"Reports the use of the farm's applications from the audit and the event log: sessions, peak "
               "sessions per minute beside each application's limit, users and clients per day, durations, "
               "refusals by reason and by client computer, starts by weekday and hour."};
  std::string settings, installPath, credentials, csvDir, htmlFile, appId, userName;
  report::Request request;
  bool asJson = false;
  app.add_option("--settings", settings, "the connection-settings file");
  app.add_option("--install-path", installPath, "the install path the settings file lies below");
  app.add_option("--credentials", credentials,
                 "connect as the account of this settings file of its own (DSUID, DSPSW; a reading account, role "
                 "qbnotify_reader) instead of the library's");
  app.add_option("--from", request.from, "first day, YYYY-MM-DD of the server's clock (default: 29 days before --to)");
  app.add_option("--to", request.to, "last day, YYYY-MM-DD (default: the server's today)");
  app.add_option("--look-back", request.lookBackDays,
                 "days before --from in which sessions still in use during the period are looked for (default 31)")
      ->check(CLI::Range(0, 3660));
  app.add_option("--app", appId, "only this application identifier");
  app.add_option("--user", userName, "only this farm user");
  app.add_flag("--json", asJson, "print the summary as JSON (UTF-8) on standard output");
  app.add_option("--csv", csvDir, "write one CSV file per table into this directory");
  app.add_option("--html", htmlFile, "write the report as one HTML page");
  try {
    app.parse(argc, argv);
    if (!settings.empty() && !installPath.empty())
      throw CLI::ValidationError("settings", "give one of --settings FILE or --install-path DIR");
    if (settings.empty() && installPath.empty()) {
      const std::optional<std::string> found = SystemInstallPath();
      if (!found) throw CLI::ValidationError("settings", "give one of --settings FILE or --install-path DIR");
      installPath = *found;
    }
    for (const std::string* day : {&request.from, &request.to})
      if (!day->empty() && !IsLocalTimeText(*day + " 00:00:00"))
        throw CLI::ValidationError("dates", "--from and --to take a date YYYY-MM-DD, not '" + *day + "'");
    request.app = FromArgument(appId, "--app");
    request.user = FromArgument(userName, "--user");
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return status == 0 ? kExitGood : kExitUsage;
  } catch (const std::invalid_argument& error) {
    std::cerr << "qbnotify-report: " << error.what() << '\n';
    return kExitUsage;
  }

  try {
    InstallPath install(settings, installPath);
    hosted::Session session;
    session.registry[kProductKey][kInstallPathValue] = RegistryValue{RegistryStatus::Text, install.Path()};
    if (!credentials.empty()) UseCredentials(session, credentials, std::cerr);
    hosted::HostedPlatform platform(session);
    Instance instance(platform);
    if (!OpenConnections(platform, instance.connections)) {
      std::cerr << "qbnotify-report: the library's connections cannot be opened with " << install.SettingsFile().string()
                << " (qbnotify-doctor says why)\n";
      return kExitProblem;
    }
    MakeReadOnly(instance.connections);

    std::unique_ptr<report::SessionHistoryCsv> history;
    if (!csvDir.empty()) {
      std::filesystem::create_directories(FilePath(csvDir));
      history = std::make_unique<report::SessionHistoryCsv>(FilePath(csvDir) / "sessions.csv");
    }
    const report::Report result =
        report::ReadReport(instance, request, [&](const report::Session& s, const report::Period& period) {
          if (history) history->Add(s, period);
        });
    if (!csvDir.empty()) report::WriteCsvTables(result, FilePath(csvDir));
    if (!htmlFile.empty()) report::WriteHtmlPage(result, FilePath(htmlFile));
    if (asJson) std::cout << report::ReportJson(result, false).dump(2) << '\n';
    if (!asJson && csvDir.empty() && htmlFile.empty()) {
      std::cout << "period " << report::FormatDate(result.period.begin) << " to "
                << report::FormatDate(result.period.end - 86400) << ": " << result.usage.farm.sessions << " session(s), "
                << result.usage.farm.users << " user(s), peak " << result.usage.farm.peak << ", "
                << result.refusals.recorded << " refusal record(s), " << result.usage.anomalyCount
                << " anomaly(ies); --json, --csv DIR or --html FILE for the report\n";
    }
    return kExitGood;
  } catch (const std::invalid_argument& error) {
    std::cerr << "qbnotify-report: " << Shown(error.what()) << '\n';
    return kExitUsage;
  } catch (const std::exception& error) {
    std::cerr << "qbnotify-report: " << Shown(error.what()) << '\n';
    return kExitProblem;
  }
}
