#include "platform/win32/Win32Platform.h"

#include <exception>
#include <map>
#include <utility>

#include "platform/win32/WindowsApi.h"

namespace qbnotify::win32 {
namespace {

// Frees a buffer that terminal services handed back, whatever happens to its copy.
class SessionBuffer {
 public:
  SessionBuffer() = default;
  ~SessionBuffer() {
    if (buffer_) WTSFreeMemory(buffer_);
  }
  SessionBuffer(const SessionBuffer&) = delete;
  SessionBuffer& operator=(const SessionBuffer&) = delete;

  LPSTR* Receive() { return &buffer_; }
  const char* Get() const { return buffer_; }

 private:
  LPSTR buffer_ = nullptr;
};

HWND AsWindow(WindowHandle window) { return reinterpret_cast<HWND>(window); }

// The running timers of the process by id. The system's timer procedure receives only the
// id, so this table is what leads a tick back to its callback. Timers tick on the thread that
// started them, but one thread may stop another's entry, hence the lock.
class TimerTable {
 public:
  TimerTable() { InitializeCriticalSection(&lock_); }
  ~TimerTable() { DeleteCriticalSection(&lock_); }
  TimerTable(const TimerTable&) = delete;
  TimerTable& operator=(const TimerTable&) = delete;

  void Add(TimerId id, std::function<void()> tick) {
    Locked locked(lock_);
    ticks_[id] = std::move(tick);
  }
  bool Remove(TimerId id) {
    Locked locked(lock_);
    return ticks_.erase(id) != 0;
  }
  // A copy of the callback, so that a tick may stop its own timer while it runs.
  std::function<void()> Find(TimerId id) {
    Locked locked(lock_);
    const auto found = ticks_.find(id);
    return found == ticks_.end() ? std::function<void()>() : found->second;
  }

 private:
  class Locked {
   public:
    explicit Locked(CRITICAL_SECTION& lock) : lock_(lock) { EnterCriticalSection(&lock_); }
    ~Locked() { LeaveCriticalSection(&lock_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

   private:
    CRITICAL_SECTION& lock_;
  };

  CRITICAL_SECTION lock_;
  std::map<TimerId, std::function<void()>> ticks_;
};

TimerTable& Timers() {
  static TimerTable table;
  return table;
}

void CALLBACK DeliverTick(HWND, UINT, UINT_PTR id, DWORD) {
  const std::function<void()> tick = Timers().Find(id);
  if (!tick) {
    // Stopped, with this tick already queued: the timer is gone for the caller.
    KillTimer(nullptr, id);
    return;
  }
  try {
    tick();
  } catch (...) {
    // Nothing may unwind into the message loop.
  }
}

struct Enumeration {
  const std::function<void(WindowHandle)>* visit;
  std::exception_ptr failure;
};

BOOL CALLBACK VisitWindow(HWND window, LPARAM context) {
  auto* enumeration = reinterpret_cast<Enumeration*>(context);
  try {
    (*enumeration->visit)(reinterpret_cast<WindowHandle>(window));
    return TRUE;
  } catch (...) {
    // Carried across the system's callback and raised again after it.
    enumeration->failure = std::current_exception();
    return FALSE;
  }
}

}  // namespace

std::optional<std::string> Win32Platform::QuerySessionInformation(std::uint32_t sessionId, SessionInfoClass infoClass) {
  SessionBuffer buffer;
  DWORD bytes = 0;
  if (!WTSQuerySessionInformationA(WTS_CURRENT_SERVER_HANDLE, sessionId, static_cast<WTS_INFO_CLASS>(infoClass),
                                   buffer.Receive(), &bytes))
    return std::nullopt;
  if (!buffer.Get()) return std::string();
  return std::string(buffer.Get(), bytes);
}

int Win32Platform::SystemMetric(int index) { return GetSystemMetrics(index); }

void Win32Platform::EndSession(std::uint32_t flags, std::uint32_t reason) { ExitWindowsEx(flags, reason); }

DateTime Win32Platform::LocalNow() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return DateTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

DateTime Win32Platform::UtcNow() {
  SYSTEMTIME now{};
  GetSystemTime(&now);
  return DateTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

void Win32Platform::SleepMilliseconds(std::uint32_t milliseconds) { Sleep(milliseconds); }

void Win32Platform::EnumerateTopLevelWindows(const std::function<void(WindowHandle)>& visit) {
  Enumeration enumeration{&visit, nullptr};
  EnumWindows(&VisitWindow, reinterpret_cast<LPARAM>(&enumeration));
  if (enumeration.failure) std::rethrow_exception(enumeration.failure);
}

int Win32Platform::ReadWindowTitle(WindowHandle window, char* buffer, int capacity) {
  if (capacity <= 0) return 0;
  const int copied = GetWindowTextA(AsWindow(window), buffer, capacity);
  if (copied <= 0) {
    buffer[0] = '\0';
    return 0;
  }
  return copied;
}

std::uint32_t Win32Platform::ReadWindowStyle(WindowHandle window) {
  return static_cast<std::uint32_t>(GetWindowLongA(AsWindow(window), GWL_STYLE));
}

WindowHandle Win32Platform::ReadWindowParent(WindowHandle window) {
  return reinterpret_cast<WindowHandle>(GetParent(AsWindow(window)));
}

void Win32Platform::ShowWindowCommand(WindowHandle window, int command) { ShowWindow(AsWindow(window), command); }

TimerId Win32Platform::StartTimer(std::uint32_t periodMilliseconds, std::function<void()> tick) {
  const UINT_PTR id = SetTimer(nullptr, 0, periodMilliseconds, &DeliverTick);
  if (id == 0) return 0;
  // The first tick can only arrive through this thread's message loop, after this returns.
  Timers().Add(id, std::move(tick));
  return id;
}

void Win32Platform::StopTimer(TimerId timer) {
  if (timer == 0 || !Timers().Remove(timer)) return;
  KillTimer(nullptr, timer);
}

const char* Win32Platform::NextChar(const char* text) const { return CharNextA(text); }

void Win32Platform::UpperCaseBuffer(char* buffer, std::size_t length) const {
  // Texts here are command lines and identifiers, far below the 4 GiB that one call takes.
  CharUpperBuffA(buffer, static_cast<DWORD>(length));
}

void Win32Platform::Trace(std::string_view) {}

}  // namespace qbnotify::win32
