// Text at the edge of the administrators' tools on Windows. The tools work in UTF-8 on every
// platform; on Windows their arguments come from the wide command line and what they print
// goes to the console as wide text (or, redirected, in the console's code page).
#pragma once

#include <cstddef>
#include <optional>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

namespace qbnotify::win32 {

// The length of the longest prefix of `bytes` that does not end inside a UTF-8 sequence: a
// lead byte whose continuation bytes have not all arrived stays for the next write. Bytes that
// are not UTF-8 at all end the prefix where they are (they are passed on, not held back).
std::size_t CompleteUtf8Prefix(std::string_view bytes);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string WideToUtf8(std::wstring_view wide);
// UTF-8 to UTF-16; an invalid sequence becomes U+FFFD.
std::wstring Utf8ToWide(std::string_view utf8);
// Text in code page `codePage` to UTF-16, and back; nullopt when a character has no form in
// the target code page (never a best-fit or default character in its place).
std::wstring CodePageToWide(std::string_view bytes, unsigned codePage);
std::optional<std::string> WideToCodePage(std::wstring_view wide, unsigned codePage);

// This process's arguments, from the wide command line, in UTF-8.
std::vector<std::string> Utf8CommandLine();

// A stream buffer that takes UTF-8 and writes it to a standard handle: as wide text on a
// console, in the console's output code page (else the ANSI code page) when redirected.
class ConsoleTextBuffer : public std::streambuf {
 public:
  explicit ConsoleTextBuffer(unsigned long standardHandle);
  ~ConsoleTextBuffer() override;
  ConsoleTextBuffer(const ConsoleTextBuffer&) = delete;
  ConsoleTextBuffer& operator=(const ConsoleTextBuffer&) = delete;

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* text, std::streamsize count) override;
  int sync() override;

 private:
  // Writes the complete sequences held; `all` writes a dangling partial one too.
  void Flush(bool all);

  void* handle_;
  std::string pending_;
};

}  // namespace qbnotify::win32
