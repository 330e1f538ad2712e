// The names of the spool's files, which carry a row's time, its room and its identifier,
// and a claim's claimer (store/spool/SpoolNames.h).
//
// Any name parses or is refused without reading past it; what a name yields is part of it;
// a name this version makes reads back as what it was made from.
#include <cstring>
#include <string>

#include "FuzzCheck.h"
#include "store/spool/SpoolNames.h"

namespace {

template <typename T>
T Take(const unsigned char*& data, std::size_t& size) {
  T value{};
  if (size >= sizeof value) {
    std::memcpy(&value, data, sizeof value);
    data += sizeof value;
    size -= sizeof value;
  }
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  using namespace qbnotify;
  using namespace qbnotify::spool;
  const std::string_view name = fuzz::AsText(data, size);

  if (const std::optional<ClaimName> claim = ParseClaimName(name)) {
    FUZZ_CHECK(IsClaimedRow(name));
    FUZZ_CHECK(StartsWith(name, claim->base) && claim->base.size() < name.size());
  }
  if (const std::optional<std::string> base = WaitingRowBase(name)) {
    FUZZ_CHECK(IsUnclaimedRow(name) && StartsWith(name, *base));
    if (const std::optional<std::string> identifier = IdentifierInBase(*base)) {
      FUZZ_CHECK(IsNameIdentifier(*identifier));
      FUZZ_CHECK(EndsWith(RowNameOf(*base), kIdentifiedRowSuffix));
    }
  }
  if (const std::optional<std::uint64_t> bytes = BytesInName(name)) FUZZ_CHECK(*bytes < 1000000000000ull);
  ParseTimeStamp(name);

  // Names made from the input's numbers read back as what they were made from.
  const DateTime time{Take<std::uint16_t>(data, size) % 10000, Take<std::uint8_t>(data, size) % 100,
                      Take<std::uint8_t>(data, size) % 100, Take<std::uint8_t>(data, size) % 100,
                      Take<std::uint8_t>(data, size) % 100, Take<std::uint8_t>(data, size) % 100};
  const auto process = Take<std::uint32_t>(data, size);
  const auto n = Take<std::uint32_t>(data, size);
  const std::uint64_t bytes = Take<std::uint64_t>(data, size) % 1000000000000ull;
  const std::string row = WaitingRowName(time, process, n, bytes);
  FUZZ_CHECK(BytesInName(row) == bytes);
  const std::optional<DateTime> parsed = ParseTimeStamp(row);
  FUZZ_CHECK(parsed && parsed->year == time.year && parsed->second == time.second);
  const std::string base = *WaitingRowBase(row);
  FUZZ_CHECK(!IdentifierInBase(base));
  const std::string identified = base + ".Log" + std::to_string(n);
  FUZZ_CHECK(IdentifierInBase(identified) == "Log" + std::to_string(n));
  const auto claimer = Take<std::uint32_t>(data, size);
  const auto start = Take<std::uint64_t>(data, size);
  for (const std::string& b : {base, identified}) {
    const std::optional<ClaimName> claim = ParseClaimName(ClaimNameOf(b, ClaimTag(claimer, start)));
    FUZZ_CHECK(claim && claim->base == b && claim->claimer == claimer && claim->start == start);
    FUZZ_CHECK(WaitingRowBase(RowNameOf(b)) == b);
    FUZZ_CHECK(BytesInName(RowNameOf(b)) == bytes);
  }
  return 0;
}
