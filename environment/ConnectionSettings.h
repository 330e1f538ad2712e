// The connection-settings file and its light coding.
//
// The product's installation directory is the registry value "InstallPath" under
// HKEY_LOCAL_MACHINE "SOFTWARE\Quillbrook\TAV"; the settings are an INI file below it,
// "<InstallPath>\Data\CONFIG\TavDbCnn.dat". Every value except "DSHost" is stored as
// Base64 with "#" written for the padding "=". Nothing is cached: every read opens the
// registry key and the file afresh.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace qbnotify {

inline constexpr const char* kProductKey = "SOFTWARE\\Quillbrook\\TAV";
inline constexpr const char* kInstallPathValue = "InstallPath";
inline constexpr const char* kSettingsFileSuffix = "\\Data\\CONFIG\\TavDbCnn.dat";
inline constexpr std::size_t kProfileBufferSize = 2048;

// "InstallPath" holds a value that is not a string.
class SettingsReadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The path of the settings file, or nullopt when the product's registry key cannot be
// opened. A missing "InstallPath" gives the suffix alone; an install path ending in a
// backslash is used unchanged. Throws SettingsReadError for a non-string "InstallPath".
std::optional<std::string> SettingsFilePath(Platform& platform);

// One setting: "DSHost" (this exact key name) as stored, every other key decoded. Empty
// when the key cannot be opened or the value cannot be read or decoded. Throws
// SettingsReadError for a non-string "InstallPath".
std::string ReadConnectionSetting(Platform& platform, std::string_view section, std::string_view key);

// One plain-text setting (stored as written, not coded: the keys of [Spool] and [Offline],
// "ServerConnectSeconds"). Empty when there is no settings file to read, or "InstallPath" is
// not a string: the caller's default then holds. A value that cannot be read throws as the
// platform's profile reader throws.
std::string ReadPlainSetting(Platform& platform, std::string_view section, std::string_view key);

// Decodes Base64 (standard alphabet). At most two trailing "=" are dropped and are
// optional; a character left over after the last whole byte gives nothing:
//   ""        -> ""          "QQ"     -> "A"
//   "QQ=="    -> "A"         "QUI="   -> "AB"
//   "QUJD"    -> "ABC"       "QUJDR"  -> "ABC"
//   "=="      -> ""          "Q"      -> ""
// Any other character outside the alphabet (a third "=", a blank, a line break) makes the
// whole text decode to "".
std::string DecodeBase64Text(std::string_view text);

// A coded value as the settings file stores it, decoded: "#" read as the padding "=", then
// Base64 as DecodeBase64Text reads it ("QQ##" -> "A"; a value that is not Base64 -> "").
std::string DecodeSettingValue(std::string_view stored);

// The stored form of a coded value: Base64 with "#" for each padding "=", on one line
// whatever the length. Used by the tool that writes settings files.
std::string EncodeSettingValue(std::string_view plain);

}  // namespace qbnotify
