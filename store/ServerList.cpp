#include "store/ServerList.h"

#include <algorithm>
#include <charconv>

#include "environment/ConnectionSettings.h"

namespace qbnotify {
namespace {

bool ParsePort(std::string_view text, std::int32_t& out) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  // A port outside 1 to 65535 is no port: handed on, it would be cut to another port's number.
  return error == std::errc() && end == text.data() + text.size() && out >= 1 && out <= 65535;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::optional<HostPort> SplitEntry(std::string_view entry) {
  if (entry.empty() || entry.front() != '[') return SplitHostPort(std::string(entry));
  const std::size_t close = entry.find(']');
  if (close == std::string_view::npos || close == 1 || close + 1 >= entry.size() || entry[close + 1] != ':')
    return std::nullopt;
  HostPort result{std::string(entry.substr(1, close - 1)), 0};
  if (!ParsePort(entry.substr(close + 2), result.port)) return std::nullopt;
  return result;
}

}  // namespace

std::optional<HostPort> SplitHostPort(const std::string& value) {
  const std::size_t colon = value.find(':');
  HostPort result{colon == std::string::npos ? std::string() : value.substr(0, colon), 0};
  const std::string port = colon == std::string::npos ? value : value.substr(colon + 1);
  if (!ParsePort(port, result.port)) return std::nullopt;
  return result;
}

std::vector<ListedServer> ParseServerList(const std::string& value, std::vector<std::string>* rejected) {
  std::vector<ListedServer> servers;
  if (value.find(',') == std::string::npos) {
    // One server: exactly as the value was always read, blanks and all.
    if (std::optional<HostPort> single = SplitHostPort(value)) servers.push_back({std::move(*single), value});
    else if (rejected) rejected->push_back(value);
    return servers;
  }
  std::string_view rest = value;
  for (;;) {
    const std::size_t comma = rest.find(',');
    const std::string_view entry = Trimmed(rest.substr(0, comma));
    std::optional<HostPort> address = SplitEntry(entry);
    const bool repeated = address && std::any_of(servers.begin(), servers.end(), [&](const ListedServer& s) {
                            return s.address.host == address->host && s.address.port == address->port;
                          });
    if (address && !repeated) servers.push_back({std::move(*address), std::string(entry)});
    else if (rejected) rejected->emplace_back(entry);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return servers;
}

unsigned ParseServerConnectSeconds(std::string_view text) {
  text = Trimmed(text);
  unsigned seconds = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || seconds < 1 ||
      seconds > kMaxServerConnectSeconds)
    return kDefaultServerConnectSeconds;
  return seconds;
}

unsigned ReadServerConnectSeconds(Platform& platform) {
  return ParseServerConnectSeconds(ReadPlainSetting(platform, "DSConnection", kServerConnectSecondsKey));
}

const char* const kReadinessQuery =
    "SELECT VARIABLE_NAME, VARIABLE_VALUE FROM information_schema.GLOBAL_VARIABLES WHERE VARIABLE_NAME IN "
    "('READ_ONLY','WSREP_ON','WSREP_REJECT_QUERIES','WSREP_DESYNC') UNION ALL "
    "SELECT VARIABLE_NAME, VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME IN "
    "('WSREP_READY','WSREP_LOCAL_STATE')";

std::optional<Unreadiness> JudgeReadiness(const std::map<std::string, std::string>& variables) {
  const auto value = [&](const char* name) -> std::string {
    const auto it = variables.find(name);
    if (it == variables.end()) return {};
    std::string upper = it->second;
    for (char& c : upper)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return upper;
  };
  const auto on = [&](const char* name) {
    const std::string v = value(name);
    return v == "ON" || v == "1";
  };
  if (on("WSREP_ON")) {
    if (variables.count("WSREP_READY") && !on("WSREP_READY")) return Unreadiness{"cluster node not ready", false};
    const std::string rejecting = value("WSREP_REJECT_QUERIES");
    if (!rejecting.empty() && rejecting != "NONE") return Unreadiness{"cluster node rejects queries", false};
    const std::string state = value("WSREP_LOCAL_STATE");
    if (on("WSREP_DESYNC")) return Unreadiness{"cluster node desynced", true};
    if (!state.empty() && state != "4") return Unreadiness{"cluster node not synced (state " + state + ")", true};
  }
  if (on("READ_ONLY")) return Unreadiness{"read-only", true};
  return std::nullopt;
}

}  // namespace qbnotify
