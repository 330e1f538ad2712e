// The deny state's reader ("servers-denied") over any content and clock.
//
// Whatever the file holds, only entries that are denied now and for no longer than one deny
// period come out, and what comes out is written and read back unchanged.
#include <cstring>
#include <string>

#include "FuzzCheck.h"
#include "store/ServerDeny.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  using namespace qbnotify;
  std::int64_t now = 1765170000;
  if (size >= sizeof now && (data[0] & 1)) {
    std::memcpy(&now, data, sizeof now);
    data += sizeof now;
    size -= sizeof now;
  }
  const ServerDenyState state = ServerDenyState::Parse(fuzz::AsText(data, size), now);
  for (const auto& [entry, denied] : state.Entries()) {
    FUZZ_CHECK(!entry.empty());
    FUZZ_CHECK(denied.until > now && denied.until - now <= kServerDenySeconds);
  }
  FUZZ_CHECK(ServerDenyState::Parse(state.Serialize(), now) == state);
  return 0;
}
