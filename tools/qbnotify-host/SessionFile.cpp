#include "tools/qbnotify-host/SessionFile.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <set>

#include "environment/ConnectionSettings.h"
#include "platform/hosted/CodePage.h"

namespace qbnotify::host {
namespace {

using nlohmann::json;

[[noreturn]] void Refuse(const std::string& field, const std::string& problem) {
  throw SessionFileError("session file: field \"" + field + "\": " + problem);
}

bool Present(const json& object, const char* name) { return object.contains(name) && !object.at(name).is_null(); }

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Two digits per byte, read in one pass: the field may be as long as the file.
std::string HexBytes(const std::string& field, const json& value) {
  if (!value.is_string()) Refuse(field, "must be a string of hexadecimal digits");
  const auto& digits = value.get_ref<const std::string&>();
  if (digits.size() % 2 != 0) Refuse(field, "must hold an even number of hexadecimal digits");
  std::string bytes;
  bytes.reserve(digits.size() / 2);
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    const int high = HexDigitValue(digits[i]);
    const int low = HexDigitValue(digits[i + 1]);
    if (high < 0 || low < 0) Refuse(field, "must hold only hexadecimal digits");
    bytes.push_back(static_cast<char>(high << 4 | low));
  }
  return bytes;
}

// A text field given as UTF-8 ("name") or as raw bytes ("name_hex"). Absent or null: nullopt.
std::optional<std::string> Text(const json& object, const std::string& name, const std::string& path) {
  const std::string hexName = name + "_hex";
  const bool plain = Present(object, name.c_str());
  const bool hex = Present(object, hexName.c_str());
  if (plain && hex) Refuse(path + hexName, "cannot be given together with \"" + name + "\"");
  if (hex) return HexBytes(path + hexName, object.at(hexName));
  if (!plain) return std::nullopt;
  const json& value = object.at(name);
  if (!value.is_string()) Refuse(path + name, "must be a string");
  std::optional<std::string> bytes = hosted::Utf8ToCp936(value.get<std::string>());
  if (!bytes) Refuse(path + name, "holds a character that code page 936 cannot represent");
  return bytes;
}

std::uint64_t Unsigned(const json& value, const std::string& field, std::uint64_t max) {
  if (!value.is_number_integer() || (value.is_number_integer() && !value.is_number_unsigned() && value.get<std::int64_t>() < 0))
    Refuse(field, "must be a non-negative integer");
  const auto number = value.get<std::uint64_t>();
  if (number > max) Refuse(field, "must not exceed " + std::to_string(max));
  return number;
}

hosted::AddressRecord Address(const json& value) {
  hosted::AddressRecord record;
  if (value.is_string()) {
    unsigned a, b, c, d;
    char tail;
    const std::string text = value.get<std::string>();
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 || b > 255 || c > 255 || d > 255)
      Refuse("client_address", "must be a dotted IPv4 address such as \"10.0.0.7\" or an object");
    record.family = 2;
    record.bytes[2] = static_cast<std::uint8_t>(a);
    record.bytes[3] = static_cast<std::uint8_t>(b);
    record.bytes[4] = static_cast<std::uint8_t>(c);
    record.bytes[5] = static_cast<std::uint8_t>(d);
    return record;
  }
  if (!value.is_object()) Refuse("client_address", "must be a string or an object");
  for (const auto& [key, _] : value.items())
    if (key != "family" && key != "bytes") Refuse("client_address." + key, "is not a known field");
  if (!value.contains("family")) Refuse("client_address.family", "is required");
  record.family = static_cast<std::uint32_t>(Unsigned(value.at("family"), "client_address.family", 0xFFFFFFFFu));
  if (value.contains("bytes")) {
    const json& bytes = value.at("bytes");
    if (!bytes.is_array() || bytes.size() > 20) Refuse("client_address.bytes", "must be an array of at most 20 bytes");
    for (std::size_t i = 0; i < bytes.size(); ++i)
      record.bytes[i] = static_cast<std::uint8_t>(Unsigned(bytes[i], "client_address.bytes[" + std::to_string(i) + "]", 255));
  }
  return record;
}

hosted::Window ParseWindow(const json& value, std::size_t index) {
  const std::string path = "windows[" + std::to_string(index) + "].";
  if (!value.is_object()) Refuse("windows[" + std::to_string(index) + "]", "must be an object");
  static const std::set<std::string> known = {"handle", "title", "title_hex", "visible", "parent"};
  for (const auto& [key, _] : value.items())
    if (!known.count(key)) Refuse(path + key, "is not a known field");
  hosted::Window window;
  if (!value.contains("handle")) Refuse(path + "handle", "is required");
  window.handle = static_cast<WindowHandle>(Unsigned(value.at("handle"), path + "handle", 0xFFFFFFFFu));
  if (window.handle == 0) Refuse(path + "handle", "must not be 0");
  window.title = Text(value, "title", path).value_or("");
  if (Present(value, "visible")) {
    if (!value.at("visible").is_boolean()) Refuse(path + "visible", "must be true or false");
    window.visible = value.at("visible").get<bool>();
  }
  if (Present(value, "parent")) window.parent = static_cast<WindowHandle>(Unsigned(value.at("parent"), path + "parent", 0xFFFFFFFFu));
  return window;
}

DateTime Clock(const json& value) {
  DateTime t;
  char tail;
  if (!value.is_string() || std::sscanf(value.get<std::string>().c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &t.year, &t.month,
                                        &t.day, &t.hour, &t.minute, &t.second, &tail) != 6 ||
      t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour > 23 || t.minute > 59 || t.second > 59)
    Refuse("clock", "must be a local time written \"YYYY-MM-DD HH:MM:SS\"");
  return t;
}

Event ParseEvent(const json& value, std::size_t index) {
  const std::string field = "events[" + std::to_string(index) + "]";
  if (!value.is_string()) Refuse(field, "must be an event name");
  static const std::pair<const char*, Event> names[] = {
      {"startup", Event::Startup},       {"logon", Event::Logon},         {"startshell", Event::StartShell},
      {"disconnect", Event::Disconnect}, {"reconnect", Event::Reconnect}, {"logoff", Event::Logoff},
  };
  for (const auto& [name, event] : names)
    if (value.get<std::string>() == name) return event;
  Refuse(field, "\"" + value.get<std::string>() +
                    "\" is not an event (startup, logon, startshell, disconnect, reconnect, logoff)");
}

}  // namespace

const char* HandlerName(Event event) {
  switch (event) {
    case Event::Startup: return "winStartup";
    case Event::Logon: return "winLogon";
    case Event::StartShell: return "winStartShell";
    case Event::Disconnect: return "winDisconnect";
    case Event::Reconnect: return "winReconnect";
    case Event::Logoff: return "winLogoff";
  }
  return "";
}

SessionFile ParseSessionFile(std::string_view text) {
  json root;
  try {
    root = json::parse(text);
  } catch (const json::exception& error) {
    // Not only syntax errors: a number too large for a double (1e400) is refused as out of
    // range, and must end as a refused session file like any other bad text.
    throw SessionFileError(std::string("session file: not valid JSON: ") + error.what());
  }
  if (!root.is_object()) throw SessionFileError("session file: the top level must be an object");

  static const std::set<std::string> known = {
      "remote",      "protocol_type",   "winstation",     "winstation_hex",   "initial_program", "initial_program_hex",
      "client_name", "client_name_hex", "client_address", "install_path",     "install_path_hex", "windows",
      "channel",     "events",          "clock",          "comment"};
  for (const auto& [key, _] : root.items())
    if (!known.count(key)) Refuse(key, "is not a known field");

  SessionFile file;
  hosted::Session& session = file.session;
  if (Present(root, "remote")) {
    if (!root.at("remote").is_boolean()) Refuse("remote", "must be true or false");
    session.remote = root.at("remote").get<bool>();
  }
  if (Present(root, "protocol_type"))
    session.protocolType = static_cast<std::uint16_t>(Unsigned(root.at("protocol_type"), "protocol_type", 0xFFFF));
  session.winStation = Text(root, "winstation", "");
  session.initialProgram = Text(root, "initial_program", "");
  session.clientName = Text(root, "client_name", "");
  if (Present(root, "client_address")) session.clientAddress = Address(root.at("client_address"));

  // The product's registry key exists when "install_path" is given at all; null leaves the
  // value out.
  if (root.contains("install_path") || root.contains("install_path_hex")) {
    auto& values = session.registry[kProductKey];
    if (std::optional<std::string> path = Text(root, "install_path", ""))
      values[kInstallPathValue] = RegistryValue{RegistryStatus::Text, *path};
  }

  if (Present(root, "windows")) {
    const json& windows = root.at("windows");
    if (!windows.is_array()) Refuse("windows", "must be an array");
    for (std::size_t i = 0; i < windows.size(); ++i) session.windows.push_back(ParseWindow(windows[i], i));
  }
  if (Present(root, "channel")) {
    const json& channel = root.at("channel");
    const std::string state = channel.is_string() ? channel.get<std::string>() : std::string();
    if (state == "open") session.channel = hosted::ChannelState::Open;
    else if (state == "unavailable") session.channel = hosted::ChannelState::Unavailable;
    else if (state == "write_fails") session.channel = hosted::ChannelState::WriteFails;
    else Refuse("channel", "must be \"open\", \"unavailable\" or \"write_fails\"");
  }
  if (Present(root, "comment")) {
    if (!root.at("comment").is_string()) Refuse("comment", "must be a string");
    file.comment = root.at("comment").get<std::string>();
  }
  if (Present(root, "clock")) session.clock = Clock(root.at("clock"));
  if (Present(root, "events")) {
    const json& events = root.at("events");
    if (!events.is_array()) Refuse("events", "must be an array of event names");
    for (std::size_t i = 0; i < events.size(); ++i) file.events.push_back(ParseEvent(events[i], i));
  }
  return file;
}

}  // namespace qbnotify::host
