// The tools' conversions between UTF-8 and code page 936 on Windows, by the system's own
// tables (the hosted build uses iconv for the same two functions).
#include "platform/hosted/CodePage.h"
#include "platform/win32/ToolText.h"
#include "platform/win32/WindowsApi.h"

namespace qbnotify::hosted {
namespace {

constexpr unsigned kCodePage936 = 936;

bool ValidUtf8(std::string_view utf8) {
  if (utf8.empty()) return true;
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), nullptr,
                             0) > 0;
}

}  // namespace

std::optional<std::string> Utf8ToCp936(std::string_view utf8) {
  if (!ValidUtf8(utf8)) return std::nullopt;
  return win32::WideToCodePage(win32::Utf8ToWide(utf8), kCodePage936);
}

std::string Cp936ToUtf8(std::string_view bytes) {
  // The system's decoder turns an invalid sequence into U+FFFD, as the hosted one does.
  return win32::WideToUtf8(win32::CodePageToWide(bytes, kCodePage936));
}

}  // namespace qbnotify::hosted
