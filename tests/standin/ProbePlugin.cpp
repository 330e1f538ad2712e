// A library planted where a client library might look for an authentication method named
// "qbprobe": loading it is enough to leave the marker file that QB_PROBE_MARKER names.
#include <cstdio>
#include <cstdlib>

namespace {

__attribute__((constructor)) void LeaveMarker() {
  const char* path = std::getenv("QB_PROBE_MARKER");
  std::FILE* marker = path ? std::fopen(path, "w") : nullptr;
  if (marker) {
    std::fputs("loaded\n", marker);
    std::fclose(marker);
  }
}

}  // namespace
