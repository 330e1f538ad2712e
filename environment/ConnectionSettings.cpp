#include "environment/ConnectionSettings.h"

#include <algorithm>

#include "channel/Base64.h"

namespace qbnotify {
namespace {

int AlphabetIndex(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string DecodeBase64Text(std::string_view text) {
  for (int i = 0; i < 2 && !text.empty() && text.back() == '='; ++i) text.remove_suffix(1);

  std::string out;
  out.reserve(text.size() * 3 / 4);
  std::uint32_t bits = 0;
  int pending = 0;
  for (char c : text) {
    const int value = AlphabetIndex(c);
    if (value < 0) return {};
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    pending += 6;
    if (pending >= 8) {
      pending -= 8;
      out.push_back(static_cast<char>((bits >> pending) & 0xFF));
    }
  }
  return out;
}

std::string DecodeSettingValue(std::string_view stored) {
  std::string base64(stored);
  std::replace(base64.begin(), base64.end(), '#', '=');
  return DecodeBase64Text(base64);
}

std::string EncodeSettingValue(std::string_view plain) {
  // The encoder breaks its lines after 76 characters; a line break would end the value in
  // the settings file, so the stored form is one line however long the value.
  std::string coded = EncodeBase64(plain);
  std::erase(coded, '\r');
  std::erase(coded, '\n');
  std::replace(coded.begin(), coded.end(), '=', '#');
  return coded;
}

std::optional<std::string> SettingsFilePath(Platform& platform) {
  const RegistryValue installPath = platform.ReadMachineRegistryString(kProductKey, kInstallPathValue);
  switch (installPath.status) {
    case RegistryStatus::KeyMissing:
      return std::nullopt;
    case RegistryStatus::ValueMissing:
      return std::string(kSettingsFileSuffix);
    case RegistryStatus::Text:
      return installPath.text + kSettingsFileSuffix;
    case RegistryStatus::OtherType:
      break;
  }
  throw SettingsReadError("InstallPath is not a string value");
}

std::string ReadPlainSetting(Platform& platform, std::string_view section, std::string_view key) {
  std::optional<std::string> path;
  try {
    path = SettingsFilePath(platform);
  } catch (const SettingsReadError&) {
    return {};
  }
  return path ? platform.ReadProfileString(section, key, "", *path, kProfileBufferSize) : std::string();
}

std::string ReadConnectionSetting(Platform& platform, std::string_view section, std::string_view key) {
  const std::optional<std::string> path = SettingsFilePath(platform);
  if (!path) return {};
  try {
    std::string value = platform.ReadProfileString(section, key, "", *path, kProfileBufferSize);
    if (key == "DSHost") return value;
    return DecodeSettingValue(value);
  } catch (...) {
    // A value that cannot be read or decoded reads as empty, like a missing one.
    return {};
  }
}

}  // namespace qbnotify
