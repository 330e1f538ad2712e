// The state directory's files (store/StateDirectory.h) and the notes kept in them: the
// framing of every file, the session-load form note and the record of the snapshot's
// refreshes.
//
// A file decodes to a content that the encoder frames into a file reading the same; a note
// is taken or refused as a whole, and a record read is written back unchanged.
#include <string>

#include "FuzzCheck.h"
#include "policy/SessionLoad.h"
#include "policy/SnapshotRefresh.h"
#include "store/StateDirectory.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  using namespace qbnotify;
  const std::string_view input = fuzz::AsText(data, size);
  if (const std::optional<std::string> content = DecodeStateFile(input)) {
    FUZZ_CHECK(content->size() <= kMaxStateBytes);
    FUZZ_CHECK(DecodeStateFile(EncodeStateFile(*content)) == content);
  }
  // Any content wrapped as a file reads back as that content.
  if (size <= kMaxStateBytes) FUZZ_CHECK(DecodeStateFile(EncodeStateFile(input)) == std::string(input));
  // The same bytes as a name of a state file.
  if (IsStateName(input)) FUZZ_CHECK(!input.empty() && input.size() <= 64);

  // The session-load note: "like <until>", believed only while it lies ahead by at most its
  // lifetime.
  const std::int64_t now = 1765170000;
  if (SessionLoadNoteSaysLike(input, now)) FUZZ_CHECK(input.substr(0, 5) == "like ");
  FUZZ_CHECK(SessionLoadNoteSaysLike(SessionLoadLikeNote(now), now));

  if (const std::optional<RefreshRecord> record = DecodeRefreshRecord(input)) {
    const std::string again = EncodeRefreshRecord(*record);
    FUZZ_CHECK(DecodeRefreshRecord(again) == record);
  }
  return 0;
}
