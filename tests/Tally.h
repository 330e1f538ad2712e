// The tally of the integration programs that do not run under GoogleTest: the Windows
// programs (cross-built, run under Wine), the fault suite and the cluster tests. Each check
// is counted, a failure is printed with what failed (and its place, for QB_CHECK), and the
// program ends with one line, "N passed, N failed", after the program's label when it has
// one ("faults: 3 passed, 0 failed"): the scripts read that line.
#pragma once

#include <cstdio>
#include <sstream>
#include <string>

namespace qbnotify::check {

class Tally {
 public:
  explicit Tally(std::string label = {}) : label_(std::move(label)) {}

  // Records one check at a place of the source; prints it when it failed.
  bool Record(bool ok, const char* file, int line, const std::string& what) {
    if (ok) return Count(true);
    // The file from the repository's root on, whatever the build machine's directories.
    const std::string place(file);
    const std::size_t tests = place.rfind("tests/");
    return Check(false, place.substr(tests == std::string::npos ? 0 : tests) + ":" + std::to_string(line) + ": " + what);
  }
  // Records one check; prints "FAILED <what>" (and the group, when one is named) when it failed.
  bool Check(bool ok, const std::string& what) {
    if (!ok) {
      std::printf("FAILED %s%s\n", what.c_str(), group_.empty() ? "" : (" [" + group_ + "]").c_str());
      std::fflush(stdout);
    }
    return Count(ok);
  }
  // Counts one check that the program reports in its own way.
  bool Count(bool ok) {
    ++(ok ? passed_ : failed_);
    return ok;
  }
  // Names the group of checks that follows, for the failure messages.
  void Group(std::string name) { group_ = std::move(name); }
  // Prints the closing line; the process's exit status.
  int Finish() const {
    std::printf("%s%s%d passed, %d failed\n", label_.c_str(), label_.empty() ? "" : ": ", passed_, failed_);
    std::fflush(stdout);
    return failed_ == 0 ? 0 : 1;
  }
  int Passed() const { return passed_; }
  int Failed() const { return failed_; }

 private:
  std::string label_;
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
