#include "store/ServerDeny.h"

#include <charconv>
#include <chrono>

#include "store/StateDirectory.h"

namespace qbnotify {

ServerDenyState ServerDenyState::Parse(std::string_view content, std::int64_t now) {
  ServerDenyState state;
  while (!content.empty()) {
    const std::size_t newline = content.find('\n');
    const std::string_view line = content.substr(0, newline);
    content.remove_prefix(newline == std::string_view::npos ? content.size() : newline + 1);
    const std::size_t tab1 = line.find('\t');
    const std::size_t tab2 = tab1 == std::string_view::npos ? tab1 : line.find('\t', tab1 + 1);
    if (tab2 == std::string_view::npos || tab1 == 0) continue;
    const std::string_view time = line.substr(tab1 + 1, tab2 - tab1 - 1);
    std::int64_t until = 0;
    const auto [end, error] = std::from_chars(time.data(), time.data() + time.size(), until);
    if (error != std::errc() || end != time.data() + time.size()) continue;
    if (until <= now || until > now + kServerDenySeconds) continue;
    state.entries_[std::string(line.substr(0, tab1))] = {until, std::string(line.substr(tab2 + 1))};
  }
  return state;
}

std::string ServerDenyState::Serialize() const {
  std::string out;
  for (const auto& [entry, denied] : entries_)
    out += entry + "\t" + std::to_string(denied.until) + "\t" + denied.reason + "\n";
  return out;
}

void ServerDenyState::Deny(const std::string& entry, std::string reason, std::int64_t now) {
  for (char& c : reason)
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';  // one line, three fields
  entries_[entry] = {now + kServerDenySeconds, std::move(reason)};
}

std::int64_t SystemSecondsNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

ServerDenyState LoadServerDenyState(Platform& platform, std::int64_t now) {
  try {
    std::optional<StateDirectory> directory = StateDirectory::Locate(platform);
    if (!directory) return {};
    const std::optional<std::string> content = directory->Read(kServerDenyStateName);
    return content ? ServerDenyState::Parse(*content, now) : ServerDenyState{};
  } catch (...) {
    // The state is advice: whatever keeps it from being read means no server is denied.
    return {};
  }
}

bool SaveServerDenyState(Platform& platform, const ServerDenyState& state) {
  try {
    std::optional<StateDirectory> directory = StateDirectory::Locate(platform);
    return directory && directory->Write(kServerDenyStateName, state.Serialize());
  } catch (...) {
    // As for reading: a state that cannot be written costs time later, nothing else.
    return false;
  }
}

}  // namespace qbnotify
