// The spool's files read back: a row's entry (store/spool/SpoolEntry.h) and a process's
// counts (store/spool/SpoolCounts.h).
//
// An entry is one whole, intact row or none: what decodes encodes to the same bytes. A
// counts file likewise.
#include <string>

#include "FuzzCheck.h"
#include "store/spool/SpoolCounts.h"
#include "store/spool/SpoolEntry.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  using namespace qbnotify;
  const std::string_view input = fuzz::AsText(data, size);
  if (const std::optional<SpooledRow> row = DecodeSpoolEntry(input)) {
    const std::optional<std::string> again = EncodeSpoolEntry(*row);
    FUZZ_CHECK(again && *again == input);
    const std::string head = RowHead(*row);
    FUZZ_CHECK(head == "Log" || head == "lap");
  }
  if (const std::optional<spool::Counts> counts = spool::DecodeCounts(input))
    FUZZ_CHECK(spool::EncodeCounts(*counts) == input);
  return 0;
}
