#include "HostRunner.h"

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "TestSupport.h"

namespace qbnotify::test {

std::vector<nlohmann::ordered_json> HostRun::OfType(const std::string& type) const {
  std::vector<nlohmann::ordered_json> out;
  for (const auto& line : lines)
    if (line.value("type", "") == type) out.push_back(line);
  return out;
}

std::vector<std::pair<int, int>> HostRun::Messages() const {
  std::vector<std::pair<int, int>> out;
  for (const auto& line : OfType("channel")) out.emplace_back(line.value("code", -1), line.value("reason", -1));
  return out;
}

HostRun RunHostOnText(const std::string& sessionText, const std::vector<std::string>& extraArgs) {
  TempDir dir;
  const std::string sessionPath = (dir.Path() / "session.json").string();
  const std::string outPath = (dir.Path() / "out.txt").string();
  const std::string errPath = (dir.Path() / "err.txt").string();
  std::ofstream(sessionPath, std::ios::binary) << sessionText;

  HostRun run;
  const pid_t child = fork();
  if (child == 0) {
    if (!freopen(outPath.c_str(), "w", stdout) || !freopen(errPath.c_str(), "w", stderr)) _exit(127);
    std::vector<std::string> args = {QBNOTIFY_HOST_PATH, sessionPath, "--library", QBNOTIFY_LIBRARY_PATH};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

  std::ifstream out(outPath);
  for (std::string line; std::getline(out, line);) {
    try {
      run.lines.push_back(nlohmann::ordered_json::parse(line));
    } catch (const nlohmann::json::exception&) {
      run.lines.push_back({{"type", "unparsed"}, {"text", line}});
    }
  }
  std::stringstream errors;
  errors << std::ifstream(errPath).rdbuf();
  run.errors = errors.str();
  return run;
}

HostRun RunHost(const nlohmann::ordered_json& session, const std::vector<std::string>& extraArgs) {
  return RunHostOnText(session.dump(), extraArgs);
}

}  // namespace qbnotify::test
