#include "platform/hosted/HostedPlatform.h"

#include <algorithm>
#include <ctime>
#include <fstream>
#include <sstream>

namespace qbnotify::hosted {
namespace {

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return FoldAscii(x) == FoldAscii(y); });
}

std::string_view TrimBlanks(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::string TextBuffer(const std::string& text) { return text + '\0'; }

std::string LittleEndian(std::uint32_t value, int size) {
  std::string bytes;
  for (int i = 0; i < size; ++i) bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  return bytes;
}

}  // namespace

std::string HostPath(std::string_view windowsPath) {
  std::string path(windowsPath);
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

HostedPlatform::HostedPlatform(Session session, bool traces) : session_(std::move(session)), traces_(traces) {}

void HostedPlatform::Record(Effect effect) {
  effects_.push_back(std::move(effect));
  if (listener_) listener_(effects_.back());
}

Window* HostedPlatform::LookupWindow(WindowHandle handle) {
  for (Window& window : session_.windows)
    if (window.handle == handle) return &window;
  return nullptr;
}

namespace {

// `t` moved on by `seconds`, read on a clock without daylight saving.
DateTime Shifted(const DateTime& t, long long seconds) {
  std::tm tm{};
  tm.tm_year = t.year - 1900;
  tm.tm_mon = t.month - 1;
  tm.tm_mday = t.day;
  tm.tm_hour = t.hour;
  tm.tm_min = t.minute;
  tm.tm_sec = t.second;
  const std::time_t moved = timegm(&tm) + static_cast<std::time_t>(seconds);
  std::tm out{};
  gmtime_r(&moved, &out);
  return DateTime{out.tm_year + 1900, out.tm_mon + 1, out.tm_mday, out.tm_hour, out.tm_min, out.tm_sec};
}

}  // namespace

void HostedPlatform::AdvanceClock(int seconds) {
  if (session_.clock) session_.clock = Shifted(*session_.clock, seconds);
}

int HostedPlatform::DeliverTimerTicks() {
  std::vector<TimerId> running;
  for (const auto& entry : timers_) running.push_back(entry.first);
  int delivered = 0;
  for (TimerId id : running) {
    auto it = timers_.find(id);
    if (it == timers_.end()) continue;  // stopped by an earlier tick
    Record(TimerTicked{id});
    std::function<void()> tick = it->second;  // the tick may stop its own timer
    tick();
    ++delivered;
  }
  return delivered;
}

std::optional<std::string> HostedPlatform::QuerySessionInformation(std::uint32_t sessionId, SessionInfoClass infoClass) {
  ++sessionQueries_;
  if (sessionId != kCurrentSession) return std::nullopt;  // the host serves one session
  switch (infoClass) {
    case SessionInfoClass::InitialProgram:
      if (session_.initialProgram) return TextBuffer(*session_.initialProgram);
      break;
    case SessionInfoClass::WinStationName:
      if (session_.winStation) return TextBuffer(*session_.winStation);
      break;
    case SessionInfoClass::ClientName:
      if (session_.clientName) return TextBuffer(*session_.clientName);
      break;
    case SessionInfoClass::ClientAddress:
      if (session_.clientAddress) {
        std::string record = LittleEndian(session_.clientAddress->family, 4);
        record.append(reinterpret_cast<const char*>(session_.clientAddress->bytes.data()), 20);
        return record;
      }
      break;
    case SessionInfoClass::ClientProtocolType:
      if (session_.protocolType) return LittleEndian(*session_.protocolType, 2);
      break;
  }
  return std::nullopt;
}

bool HostedPlatform::WriteVirtualChannel(std::string_view channelName, std::string_view bytes) {
  ChannelWrite write{std::string(channelName), std::string(bytes), false, {}};
  switch (session_.channel) {
    case ChannelState::Open: write.delivered = true; break;
    case ChannelState::Unavailable: write.failure = "unavailable"; break;
    case ChannelState::WriteFails: write.failure = "write_fails"; break;
  }
  const bool delivered = write.delivered;
  Record(std::move(write));
  return delivered;
}

int HostedPlatform::SystemMetric(int index) { return index == kMetricRemoteSession && session_.remote ? 1 : 0; }

void HostedPlatform::EndSession(std::uint32_t flags, std::uint32_t reason) {
  sessionEnded_ = true;
  Record(SessionEnd{flags, reason});
}

DateTime HostedPlatform::LocalNow() {
  if (session_.clock) return *session_.clock;
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return DateTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

DateTime HostedPlatform::UtcNow() {
  if (session_.clock) return Shifted(*session_.clock, session_.utcAheadSeconds);
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  return DateTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

void HostedPlatform::SleepMilliseconds(std::uint32_t milliseconds) { Record(Pause{milliseconds}); }

void HostedPlatform::EnumerateTopLevelWindows(const std::function<void(WindowHandle)>& visit) {
  std::vector<WindowHandle> handles;
  for (const Window& window : session_.windows) handles.push_back(window.handle);
  for (WindowHandle handle : handles) visit(handle);
}

int HostedPlatform::ReadWindowTitle(WindowHandle window, char* buffer, int capacity) {
  if (capacity <= 0) return 0;
  const Window* found = LookupWindow(window);
  if (!found) {
    buffer[0] = '\0';
    return 0;
  }
  const auto count = static_cast<int>(std::min<std::size_t>(found->title.size(), static_cast<std::size_t>(capacity - 1)));
  std::copy_n(found->title.data(), count, buffer);
  buffer[count] = '\0';
  return count;
}

std::uint32_t HostedPlatform::ReadWindowStyle(WindowHandle window) {
  const Window* found = LookupWindow(window);
  return found && found->visible ? kStyleVisible : 0u;
}

WindowHandle HostedPlatform::ReadWindowParent(WindowHandle window) {
  const Window* found = LookupWindow(window);
  return found ? found->parent : 0;
}

void HostedPlatform::ShowWindowCommand(WindowHandle window, int command) {
  if (Window* found = LookupWindow(window)) {
    if (command == kShowHide) found->visible = false;
    if (command == kShowShow) found->visible = true;
  }
  Record(WindowCommand{window, command});
}

TimerId HostedPlatform::StartTimer(std::uint32_t periodMilliseconds, std::function<void()> tick) {
  const TimerId id = nextTimer_++;
  timers_[id] = std::move(tick);
  Record(TimerStarted{id, periodMilliseconds});
  return id;
}

void HostedPlatform::StopTimer(TimerId timer) {
  if (timers_.erase(timer) == 0) return;
  Record(TimerStopped{timer});
}

RegistryValue HostedPlatform::ReadMachineRegistryString(std::string_view keyPath, std::string_view valueName) {
  for (const auto& [path, values] : session_.registry) {
    if (!EqualsIgnoringCase(path, keyPath)) continue;
    for (const auto& [name, value] : values)
      if (EqualsIgnoringCase(name, valueName)) return value;
    return RegistryValue{RegistryStatus::ValueMissing, {}};
  }
  return RegistryValue{RegistryStatus::KeyMissing, {}};
}

std::string HostedPlatform::ReadProfileString(std::string_view section, std::string_view key, std::string_view defaultValue,
                                              std::string_view path, std::size_t bufferSize) {
  const auto fit = [bufferSize](std::string_view value) {
    return std::string(value.substr(0, bufferSize == 0 ? 0 : bufferSize - 1));
  };
  for (const auto& [overriddenSection, values] : session_.profileOverrides)
    if (EqualsIgnoringCase(overriddenSection, section))
      for (const auto& [overriddenKey, value] : values)
        if (EqualsIgnoringCase(overriddenKey, key)) return fit(value);
  std::ifstream file(HostPath(path), std::ios::binary);
  if (!file) return fit(defaultValue);

  std::string line;
  bool inSection = false;
  bool sectionSeen = false;
  while (std::getline(file, line)) {
    const std::string_view trimmed = TrimBlanks(line);
    if (trimmed.empty() || trimmed.front() == ';') continue;
    if (trimmed.front() == '[') {
      if (sectionSeen) break;  // only the first section of that name is read
      const std::size_t close = trimmed.find(']');
      const std::string_view name = TrimBlanks(trimmed.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
      inSection = EqualsIgnoringCase(name, section);
      sectionSeen = inSection;
      continue;
    }
    if (!inSection) continue;
    const std::size_t equals = trimmed.find('=');
    if (equals == std::string_view::npos) continue;
    if (!EqualsIgnoringCase(TrimBlanks(trimmed.substr(0, equals)), key)) continue;
    std::string_view value = TrimBlanks(trimmed.substr(equals + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    return fit(value);
  }
  return fit(defaultValue);
}

const char* HostedPlatform::NextChar(const char* text) const {
  if (*text == '\0') return text;
  if (IsGbkLeadByte(static_cast<unsigned char>(text[0])) && text[1] != '\0') return text + 2;
  return text + 1;
}

void HostedPlatform::UpperCaseBuffer(char* buffer, std::size_t length) const {
  for (std::size_t i = 0; i < length;) {
    auto lead = static_cast<unsigned char>(buffer[i]);
    if (!IsGbkLeadByte(lead)) {
      if (lead >= 'a' && lead <= 'z') buffer[i] = static_cast<char>(lead - 'a' + 'A');
      ++i;
      continue;
    }
    if (i + 1 >= length) break;  // a lead byte without its second byte stays as it is
    auto& trail = reinterpret_cast<unsigned char&>(buffer[i + 1]);
    // The lower-case letters that code page 936 holds as double-byte characters: full-width
    // Latin (row A3), Greek (row A6) and Cyrillic (row A7); their capitals sit in the same row.
    if (lead == 0xA3 && trail >= 0xE1 && trail <= 0xFA) trail = static_cast<unsigned char>(trail - 0x20);
    else if (lead == 0xA6 && trail >= 0xC1 && trail <= 0xD8) trail = static_cast<unsigned char>(trail - 0x20);
    else if (lead == 0xA7 && trail >= 0xD1 && trail <= 0xF1) trail = static_cast<unsigned char>(trail - 0x30);
    i += 2;
  }
}

void HostedPlatform::WriteSystemEvent(const SystemEvent& event) { Record(SystemEventWritten{event}); }

void HostedPlatform::Trace(std::string_view text) {
  if (traces_) Record(TraceText{std::string(text)});
}

}  // namespace qbnotify::hosted
