// The registry value and the private-profile reader.
#include <string>
#include <vector>

#include "platform/win32/RegistryViews.h"
#include "platform/win32/Win32Platform.h"
#include "platform/win32/WindowsApi.h"

namespace qbnotify::win32 {
namespace {

constexpr DWORD kMaxDword = 0xFFFFFFFFu;

// What one RegQueryValueExA call found: the value's type and its bytes.
struct RawValue {
  LONG result = ERROR_SUCCESS;
  DWORD type = REG_NONE;
  std::vector<char> bytes;
};

// Reads the value whole. The first call learns its size; the value may grow between the two
// calls, in which case the read is repeated with the new size.
RawValue ReadRawValue(HKEY key, const char* name) {
  RawValue value;
  DWORD size = 0;
  value.result = RegQueryValueExA(key, name, nullptr, &value.type, nullptr, &size);
  while (value.result == ERROR_SUCCESS || value.result == ERROR_MORE_DATA) {
    value.bytes.assign(size + 1, '\0');  // room for a NUL that the value may lack
    DWORD received = size;
    value.result = RegQueryValueExA(key, name, nullptr, &value.type, reinterpret_cast<BYTE*>(value.bytes.data()),
                                    &received);
    if (value.result == ERROR_SUCCESS) {
      value.bytes.resize(received);
      break;
    }
    if (value.result != ERROR_MORE_DATA) break;
    size = received;
  }
  return value;
}

}  // namespace

RegistryValue ReadRegistryString(HKEY root, const char* keyPath, const char* valueName, REGSAM access) {
  OpenKey key;
  if (RegOpenKeyExA(root, keyPath, 0, access, key.Receive()) != ERROR_SUCCESS)
    return RegistryValue{RegistryStatus::KeyMissing, {}};

  const RawValue raw = ReadRawValue(key.Get(), valueName);
  if (raw.result != ERROR_SUCCESS) return RegistryValue{RegistryStatus::ValueMissing, {}};
  if (raw.type != REG_SZ && raw.type != REG_EXPAND_SZ) return RegistryValue{RegistryStatus::OtherType, {}};

  // The text up to its first NUL; the stored value need not carry one. An expandable value
  // is not expanded.
  std::string text(raw.bytes.data(), raw.bytes.size());
  text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
  return RegistryValue{RegistryStatus::Text, std::move(text)};
}

RegistryValue Win32Platform::ReadMachineRegistryString(std::string_view keyPath, std::string_view valueName) {
  const std::string path(keyPath);
  const std::string name(valueName);
  return ReadRegistryString(HKEY_LOCAL_MACHINE, path.c_str(), name.c_str(), KEY_ALL_ACCESS);
}

std::string Win32Platform::ReadProfileString(std::string_view section, std::string_view key,
                                             std::string_view defaultValue, std::string_view path,
                                             std::size_t bufferSize) {
  if (bufferSize == 0) return std::string();
  const DWORD size = bufferSize > kMaxDword ? kMaxDword : static_cast<DWORD>(bufferSize);
  const std::string sectionName(section);
  const std::string keyName(key);
  const std::string fallback(defaultValue);
  const std::string file(path);
  std::string value(size, '\0');
  const DWORD copied = GetPrivateProfileStringA(sectionName.c_str(), keyName.c_str(), fallback.c_str(), value.data(),
                                                size, file.c_str());
  value.resize(copied < size ? copied : size - 1);
  return value;
}

}  // namespace qbnotify::win32
