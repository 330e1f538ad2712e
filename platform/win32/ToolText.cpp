#include "platform/win32/ToolText.h"

#include "platform/win32/WindowsApi.h"

#include <shellapi.h>

namespace qbnotify::win32 {
namespace {

// The number of bytes a UTF-8 sequence has, from its lead byte; 0 for a byte that cannot
// start one.
std::size_t SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

int ClampedSize(std::size_t size) { return size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size); }

}  // namespace

std::size_t CompleteUtf8Prefix(std::string_view bytes) {
  // Only the last three bytes can belong to an unfinished sequence.
  const std::size_t start = bytes.size() > 3 ? bytes.size() - 3 : 0;
  for (std::size_t i = bytes.size(); i > start; --i) {
    const auto byte = static_cast<unsigned char>(bytes[i - 1]);
    if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    const std::size_t length = SequenceLength(byte);
    // A lead byte whose sequence runs past the end waits for the rest.
    return (length > 1 && i - 1 + length > bytes.size()) ? i - 1 : bytes.size();
  }
  return bytes.size();
}

std::string WideToUtf8(std::wstring_view wide) {
  if (wide.empty()) return std::string();
  const int size = ClampedSize(wide.size());
  const int needed = WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return std::string();
  std::string utf8(static_cast<std::size_t>(needed), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, utf8.data(), needed, nullptr, nullptr);
  return utf8;
}

std::wstring CodePageToWide(std::string_view bytes, unsigned codePage) {
  if (bytes.empty()) return std::wstring();
  const int size = ClampedSize(bytes.size());
  const int needed = MultiByteToWideChar(codePage, 0, bytes.data(), size, nullptr, 0);
  if (needed <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(needed), L'\0');
  MultiByteToWideChar(codePage, 0, bytes.data(), size, wide.data(), needed);
  return wide;
}

std::wstring Utf8ToWide(std::string_view utf8) { return CodePageToWide(utf8, CP_UTF8); }

std::optional<std::string> WideToCodePage(std::wstring_view wide, unsigned codePage) {
  if (wide.empty()) return std::string();
  const int size = ClampedSize(wide.size());
  BOOL defaulted = FALSE;
  const int needed = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), size, nullptr, 0, nullptr,
                                         &defaulted);
  if (needed <= 0 || defaulted) return std::nullopt;
  std::string bytes(static_cast<std::size_t>(needed), '\0');
  WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), size, bytes.data(), needed, nullptr, &defaulted);
  if (defaulted) return std::nullopt;
  // A round trip catches the characters a code page "maps" without a default character.
  if (CodePageToWide(bytes, codePage) != wide) return std::nullopt;
  return bytes;
}

std::vector<std::string> Utf8CommandLine() {
  std::vector<std::string> arguments;
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(WideToUtf8(wide[i]));
  LocalFree(wide);
  return arguments;
}

ConsoleTextBuffer::ConsoleTextBuffer(unsigned long standardHandle) : handle_(GetStdHandle(standardHandle)) {}

ConsoleTextBuffer::~ConsoleTextBuffer() { Flush(true); }

ConsoleTextBuffer::int_type ConsoleTextBuffer::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  pending_.push_back(traits_type::to_char_type(c));
  if (c == '\n' || pending_.size() >= 4096) Flush(false);
  return c;
}

std::streamsize ConsoleTextBuffer::xsputn(const char* text, std::streamsize count) {
  pending_.append(text, static_cast<std::size_t>(count));
  if (pending_.find('\n') != std::string::npos || pending_.size() >= 4096) Flush(false);
  return count;
}

int ConsoleTextBuffer::sync() {
  Flush(false);
  return 0;
}

void ConsoleTextBuffer::Flush(bool all) {
  const std::size_t ready = all ? pending_.size() : CompleteUtf8Prefix(pending_);
  if (ready == 0 || handle_ == nullptr || handle_ == INVALID_HANDLE_VALUE) return;
  const std::wstring wide = Utf8ToWide(std::string_view(pending_).substr(0, ready));
  pending_.erase(0, ready);
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(handle_, &mode)) {
    WriteConsoleW(handle_, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  // Redirected: the code page the console would show, else the ANSI one; a character that
  // code page lacks becomes '?'.
  UINT codePage = GetConsoleOutputCP();
  if (codePage == 0) codePage = GetACP();
  const int size = ClampedSize(wide.size());
  const int needed = WideCharToMultiByte(codePage, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return;
  std::string bytes(static_cast<std::size_t>(needed), '\0');
  WideCharToMultiByte(codePage, 0, wide.data(), size, bytes.data(), needed, nullptr, nullptr);
  WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace qbnotify::win32
