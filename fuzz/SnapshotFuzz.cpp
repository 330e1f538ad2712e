// The offline snapshot's reader over any content, and over any state file holding it.
//
// A content is read whole or refused (nullopt), never in part: what it reads is written back
// by the encoder as a content that reads the same. The snapshot is a state file too, read
// through the state directory's framing.
#include <string>

#include "FuzzCheck.h"
#include "policy/OfflineSnapshot.h"
#include "store/StateDirectory.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  using namespace qbnotify;
  const std::string content(fuzz::AsText(data, size));
  if (const std::optional<OfflineSnapshot> snapshot = DecodeSnapshot(content)) {
    const std::string again = EncodeSnapshot(*snapshot);
    const std::optional<OfflineSnapshot> reread = DecodeSnapshot(again);
    FUZZ_CHECK(reread && EncodeSnapshot(*reread) == again);
  }
  // The same bytes as a file of the state directory.
  if (const std::optional<std::string> framed = DecodeStateFile(content, kMaxSnapshotBytes)) DecodeSnapshot(*framed);
  return 0;
}
