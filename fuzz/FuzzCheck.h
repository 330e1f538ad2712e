// A property check for the fuzz targets: unlike assert() it stays on in every build type, and
// a broken property aborts so that libFuzzer keeps the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace qbnotify::fuzz {

[[noreturn]] inline void Fail(const char* property, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, property);
  std::abort();
}

inline std::string_view AsText(const unsigned char* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace qbnotify::fuzz

#define FUZZ_CHECK(condition) \
  ((condition) ? (void)0 : ::qbnotify::fuzz::Fail(#condition, __FILE__, __LINE__))
