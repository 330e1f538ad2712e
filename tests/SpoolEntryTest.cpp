#include <gtest/gtest.h>

#include "store/spool/SpoolEntry.h"

namespace qbnotify {
namespace {

using namespace std::string_literals;

// "张伟" in code page 936.
const std::string kZhangWei = "\xD5\xC5\xCE\xB0";

EventRow SampleEvent() {
  EventRow row;
  row.id = "Log00000124";
  row.time = DateTime{2026, 12, 7, 13, 45, 9};
  row.typeId = 1;
  row.sourceId = 1;
  row.userId = "U7";
  row.appId = "APP1";
  row.computerName = kZhangWei;
  row.eventId = 2;
  row.parameter1 = "00-11";
  return row;
}

AuditRow SampleAudit() {
  AuditRow row;
  row.record.sessionid = "S1";
  row.record.farmuser = kZhangWei;
  row.record.appid = "APP1";
  row.record.appshowname = "";
  row.record.clientmac = "M";
  row.record.starttime = DateTime{2026, 12, 7, 8, 0, 0};
  return row;  // no identifier yet, stop time never set
}

std::string Le32(std::uint32_t v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF), static_cast<char>((v >> 16) & 0xFF),
          static_cast<char>(v >> 24)};
}
std::string Text(const std::string& text) { return Le32(static_cast<std::uint32_t>(text.size())) + text; }

TEST(SpoolEntry, Crc32MatchesTheStandardCheckValues) {
  EXPECT_EQ(Crc32(""), 0u);
  EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);
  EXPECT_EQ(Crc32("a"), 0xE8B7BE43u);
}

TEST(SpoolEntry, GoldenBytes) {
  struct Case {
    const char* name;
    SpooledRow row;
    std::string kind;
    std::string body;
    std::uint32_t crc;
  } cases[] = {
      {"event", SampleEvent(), "\x01",
       Text("Log00000124") + "\xEA\x07\x0C\x07\x0D\x2D\x09"s + Le32(1) + Le32(1) + Text("U7") + Text("APP1") +
           Text(kZhangWei) + Le32(2) + Text("00-11") + Text(""),
       0x59D04193u},
      {"audit", SampleAudit(), "\x02",
       Text("") + Text("S1") + Text(kZhangWei) + Text("APP1") + Text("") + Text("M") +
           "\xEA\x07\x0C\x07\x08\x00\x00"s + "\x00\x00\x00\x00\x00\x00\x00"s,
       0x739D86ADu},
  };
  for (const Case& c : cases) {
    const std::string head = "QBSP\x01"s + c.kind + "\x00\x00"s + Le32(static_cast<std::uint32_t>(c.body.size()));
    const std::optional<std::string> bytes = EncodeSpoolEntry(c.row);
    ASSERT_TRUE(bytes) << c.name;
    EXPECT_EQ(*bytes, head + c.body + Le32(c.crc)) << c.name;
    EXPECT_EQ(Crc32(head + c.body), c.crc) << c.name;
    const std::optional<SpooledRow> back = DecodeSpoolEntry(*bytes);
    ASSERT_TRUE(back) << c.name;
    EXPECT_TRUE(*back == c.row) << c.name;
  }
}

// A file cut anywhere (a crash while writing, a copy that ran out of room) never reads as a
// row, nor does one with any single byte changed or anything added.
TEST(SpoolEntry, CutChangedOrExtendedFilesReadAsNothing) {
  for (const SpooledRow& row : {SpooledRow(SampleEvent()), SpooledRow(SampleAudit())}) {
    const std::string bytes = *EncodeSpoolEntry(row);
    for (std::size_t length = 0; length < bytes.size(); ++length)
      EXPECT_FALSE(DecodeSpoolEntry(bytes.substr(0, length))) << "prefix of " << length;
    for (std::size_t at = 0; at < bytes.size(); ++at) {
      std::string changed = bytes;
      changed[at] = static_cast<char>(changed[at] ^ 0x20);
      EXPECT_FALSE(DecodeSpoolEntry(changed)) << "byte " << at;
    }
    EXPECT_FALSE(DecodeSpoolEntry(bytes + "\0"s));
    EXPECT_FALSE(DecodeSpoolEntry(bytes + bytes));
  }
}

// Hand-made files whose checksum is right but whose inside is not an entry.
TEST(SpoolEntry, WellSealedNonsenseReadsAsNothing) {
  const auto seal = [](std::string kind, std::string body) {
    std::string bytes = "QBSP\x01"s + kind + "\x00\x00"s + Le32(static_cast<std::uint32_t>(body.size())) + body;
    return bytes + Le32(Crc32(bytes));
  };
  const std::string event = (*EncodeSpoolEntry(SampleEvent())).substr(12);
  const std::string body = event.substr(0, event.size() - 4);
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"unknown kind", seal("\x03", body)},
      {"audit kind, event body", seal("\x02", body)},
      {"body one byte short", seal("\x01", body.substr(0, body.size() - 1))},
      {"body with a byte to spare", seal("\x01", body + "x")},
      {"text longer than the body", seal("\x01", Le32(0xFFFFFFF0u) + "Log")},
      {"empty body", seal("\x01", "")},
      {"garbage", "\x7F" "ELF\x02\x01\x01\x00 not an entry at all"s},
  };
  for (const Case& c : cases) EXPECT_FALSE(DecodeSpoolEntry(c.bytes)) << c.name;
}

TEST(SpoolEntry, RowsOfAnySizeUpToTheLimitRoundTrip) {
  EventRow large = SampleEvent();
  large.parameter1 = std::string(kMaxSpoolEntryBytes / 2, '\xB0');
  EventRow tooLarge = SampleEvent();
  tooLarge.parameter1 = std::string(kMaxSpoolEntryBytes, 'x');
  EventRow empty;
  for (const EventRow& row : {large, empty}) {
    const auto bytes = EncodeSpoolEntry(row);
    ASSERT_TRUE(bytes);
    const auto back = DecodeSpoolEntry(*bytes);
    ASSERT_TRUE(back);
    EXPECT_TRUE(std::get<EventRow>(*back) == row);
  }
  EXPECT_FALSE(EncodeSpoolEntry(tooLarge));
}

TEST(SpoolEntry, AnAuditRowIsOrderedByItsLaterTime) {
  AuditRow row = SampleAudit();
  EXPECT_EQ(RowTime(row), (DateTime{2026, 12, 7, 8, 0, 0}));
  row.record.stoptime = DateTime{2026, 12, 7, 9, 30, 0};
  EXPECT_EQ(RowTime(row), (DateTime{2026, 12, 7, 9, 30, 0}));
  EXPECT_STREQ(RowHead(row), "lap");
  EXPECT_STREQ(RowHead(SampleEvent()), "Log");
}

}  // namespace
}  // namespace qbnotify
