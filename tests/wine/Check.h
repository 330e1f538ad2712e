// A small check harness for test programs that cannot use GoogleTest (the Windows program
// runs under Wine, cross-built without it): each check is counted, a failure is printed with
// its place, and the program ends with the line "N passed, N failed".
#pragma once

#include <cstdio>
#include <sstream>
#include <string>

namespace qbnotify::check {

class Tally {
 public:
  // Records one check; prints it when it failed.
  bool Record(bool ok, const char* file, int line, const std::string& what) {
    if (ok) {
      ++passed_;
    } else {
      ++failed_;
      // The file from the repository's root on, whatever the build machine's directories.
      const std::string place(file);
      const std::size_t tests = place.rfind("tests/");
      std::printf("FAILED %s:%d: %s [%s]\n", place.c_str() + (tests == std::string::npos ? 0 : tests), line,
                  what.c_str(), group_.c_str());
    }
    return ok;
  }
  // Names the group of checks that follows, for the failure messages.
  void Group(std::string name) { group_ = std::move(name); }
  // Prints the closing line; the process's exit status.
  int Finish() const {
    std::printf("%d passed, %d failed\n", passed_, failed_);
    std::fflush(stdout);
    return failed_ == 0 ? 0 : 1;
  }
  int Failed() const { return failed_; }

 private:
  int passed_ = 0;
  int failed_ = 0;
  std::string group_;
};

// Shows a text with its bytes outside printable ASCII as \xNN, for failure messages.
inline std::string Shown(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    }
  }
  return out;
}

inline std::string Shown(const char* text) { return Shown(std::string(text)); }

template <typename T>
std::string Shown(const T& value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

}  // namespace qbnotify::check

#define QB_CHECK(tally, condition) (tally).Record(static_cast<bool>(condition), __FILE__, __LINE__, #condition)
#define QB_CHECK_EQ(tally, actual, expected)                                                                  \
  do {                                                                                                        \
    const auto& qbActual = (actual);                                                                          \
    const auto& qbExpected = (expected);                                                                      \
    (tally).Record(qbActual == qbExpected, __FILE__, __LINE__,                                                \
                   std::string(#actual) + " is \"" + ::qbnotify::check::Shown(qbActual) + "\", expected \"" + \
                       ::qbnotify::check::Shown(qbExpected) + "\"");                                          \
  } while (false)
