#include "Worker.h"

#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "environment/ConnectionSettings.h"
#include "notify/hosted/HostEntry.h"

namespace qbnotify::faults {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kClockStepSeconds = 60;

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// A status message as "msg CODE/REASON" (hexadecimal code), anything else as its text.
std::string DescribeChannelWrite(const hosted::ChannelWrite& write) {
  const std::string record = DecodeBase64Text(write.bytes);
  std::string text;
  if (record.size() == 13 && record.compare(0, 3, "\x5A\x2E\x07") == 0) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned>(static_cast<unsigned char>(record[i])); };
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "msg %X/%d", byte(3) | (byte(4) << 8),
                  static_cast<int>(byte(5) | (byte(6) << 8) | (byte(7) << 16) | (byte(8) << 24)));
    text = buffer;
  } else {
    text = "msg[" + write.bytes + "]";
  }
  return write.delivered ? text : text + "(not delivered)";
}

std::string DescribeEffects(const std::vector<hosted::Effect>& effects) {
  std::string out;
  const auto add = [&](const std::string& text) { out += (out.empty() ? "" : " ") + text; };
  for (const hosted::Effect& effect : effects) {
    if (const auto* write = std::get_if<hosted::ChannelWrite>(&effect)) {
      add(DescribeChannelWrite(*write));
    } else if (const auto* end = std::get_if<hosted::SessionEnd>(&effect)) {
      add("end " + std::to_string(end->flags) + "/" + std::to_string(end->reason));
    } else if (const auto* command = std::get_if<hosted::WindowCommand>(&effect)) {
      const char* op = command->command == kShowHide ? "hide" : command->command == kShowShow ? "show" : "cmd";
      add(std::string(op) + " " + std::to_string(command->window));
    }
  }
  return out;
}

// The child: plays the session one handler per command byte ('0' + event; 'q' ends it) and
// answers each with one line: "R seconds ended effects", or "S" when the session has ended.
[[noreturn]] void ChildMain(const std::string& libraryPath, hosted::Session session, int commands, int replies) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  void* library = dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    std::fprintf(stderr, "cannot load %s: %s\n", libraryPath.c_str(), dlerror());
    _exit(3);
  }
  auto attach = reinterpret_cast<HostAttachFunction>(dlsym(library, kHostAttachSymbol));
  if (!attach) _exit(3);
  hosted::HostedPlatform platform(std::move(session));
  attach(&platform);

  bool first = true;
  for (;;) {
    char command = 0;
    if (read(commands, &command, 1) != 1 || command == 'q') _exit(0);
    if (platform.SessionEnded()) {
      if (!WriteAll(replies, "S\n")) _exit(4);
      continue;
    }
    const auto event = static_cast<host::Event>(command - '0');
    using Handler = void (*)(void*);
    auto handler = reinterpret_cast<Handler>(dlsym(library, host::HandlerName(event)));
    if (!handler) _exit(3);
    if (!first) platform.AdvanceClock(kClockStepSeconds);
    first = false;
    platform.ClearEffects();
    const auto start = Clock::now();
    handler(nullptr);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!platform.SessionEnded()) platform.DeliverTimerTicks();
    char head[64];
    std::snprintf(head, sizeof head, "R %.6f %d ", seconds, platform.SessionEnded() ? 1 : 0);
    if (!WriteAll(replies, head + DescribeEffects(platform.Effects()) + "\n")) _exit(4);
  }
}

}  // namespace

SessionWorker::SessionWorker(const std::string& libraryPath, hosted::Session session) {
  int toChild[2], fromChild[2];
  if (pipe(toChild) != 0) return;
  if (pipe(fromChild) != 0) {
    close(toChild[0]);
    close(toChild[1]);
    return;
  }
  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    close(toChild[1]);
    close(fromChild[0]);
    ChildMain(libraryPath, std::move(session), toChild[0], fromChild[1]);
  }
  close(toChild[0]);
  close(fromChild[1]);
  commands_ = toChild[1];
  replies_ = fromChild[0];
  if (pid_ < 0) status_ = -1;
}

SessionWorker::~SessionWorker() {
  if (pid_ > 0) Finish();
  if (commands_ >= 0) close(commands_);
  if (replies_ >= 0) close(replies_);
}

void SessionWorker::KillChild() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  pid_ = -1;
}

std::optional<HandlerRun> SessionWorker::Run(host::Event event, double limitSeconds) {
  if (pid_ <= 0) return std::nullopt;
  const char command = static_cast<char>('0' + static_cast<int>(event));
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::duration<double>(limitSeconds);
  std::string line;
  bool gone = write(commands_, &command, 1) != 1;
  while (!gone) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd fd{replies_, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(replies_, buffer, sizeof buffer);
    if (n <= 0) {
      gone = true;
      break;
    }
    line.append(buffer, static_cast<std::size_t>(n));
    if (!line.empty() && line.back() == '\n') break;
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

  if (!line.empty() && line.back() == '\n') {
    line.pop_back();
    if (line == "S") return std::nullopt;
    HandlerRun run;
    int ended = 0, consumed = 0;
    if (std::sscanf(line.c_str(), "R %lf %d%n", &run.seconds, &ended, &consumed) >= 2) {
      run.sessionEnded = ended != 0;
      const std::size_t rest = static_cast<std::size_t>(consumed);
      run.effects = rest < line.size() ? line.substr(rest + 1) : std::string();
      return run;
    }
  }
  HandlerRun run;
  run.seconds = elapsed;
  run.completed = false;
  if (gone) {
    Finish();
    run.failure = "the session process ended inside the handler (status " + std::to_string(status_) + ")";
  } else {
    KillChild();
    char text[96];
    std::snprintf(text, sizeof text, "killed after %.0f s, still inside the handler", elapsed);
    run.failure = text;
  }
  return run;
}

int SessionWorker::Finish() {
  if (pid_ <= 0) return status_;
  const char quit = 'q';
  if (write(commands_, &quit, 1) != 1) { /* the child is gone; reaped below */ }
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  int status = 0;
  while (Clock::now() < deadline) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      pid_ = -1;
      return status_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  KillChild();
  return status_;
}

}  // namespace qbnotify::faults
