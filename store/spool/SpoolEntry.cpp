#include "store/spool/SpoolEntry.h"

#include <array>
#include <tuple>

namespace qbnotify {
namespace {

constexpr std::string_view kMagic = "QBSP";
constexpr std::uint8_t kVersion = 1;
constexpr std::uint8_t kKindEvent = 1;
constexpr std::uint8_t kKindAudit = 2;
constexpr std::size_t kHeaderBytes = 12;
constexpr std::size_t kTrailerBytes = 4;

std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

class Writer {
 public:
  void U8(std::uint8_t value) { bytes_.push_back(static_cast<char>(value)); }
  void U16(std::uint16_t value) {
    U8(static_cast<std::uint8_t>(value & 0xFF));
    U8(static_cast<std::uint8_t>(value >> 8));
  }
  void U32(std::uint32_t value) {
    U16(static_cast<std::uint16_t>(value & 0xFFFF));
    U16(static_cast<std::uint16_t>(value >> 16));
  }
  void I32(std::int32_t value) { U32(static_cast<std::uint32_t>(value)); }
  void Text(const std::string& text) {
    U32(static_cast<std::uint32_t>(text.size()));
    bytes_ += text;
  }
  void Time(const DateTime& time) {
    U16(static_cast<std::uint16_t>(time.year));
    for (int field : {time.month, time.day, time.hour, time.minute, time.second}) U8(static_cast<std::uint8_t>(field));
  }
  std::string& Bytes() { return bytes_; }

 private:
  std::string bytes_;
};

// Reads fields off the front of a body; once a read runs past the end every later read
// yields zero values and Ok() stays false.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  std::uint8_t U8() {
    if (!Take(1)) return 0;
    return static_cast<std::uint8_t>(bytes_[at_ - 1]);
  }
  std::uint16_t U16() {
    const std::uint16_t low = U8();
    return static_cast<std::uint16_t>(low | (U8() << 8));
  }
  std::uint32_t U32() {
    const std::uint32_t low = U16();
    return low | (std::uint32_t{U16()} << 16);
  }
  std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
  std::string Text() {
    const std::uint32_t length = U32();
    if (!Take(length)) return {};
    return std::string(bytes_.substr(at_ - length, length));
  }
  DateTime Time() {
    DateTime time;
    time.year = U16();
    time.month = U8();
    time.day = U8();
    time.hour = U8();
    time.minute = U8();
    time.second = U8();
    return time;
  }
  bool Ok() const { return ok_; }
  bool AtEnd() const { return ok_ && at_ == bytes_.size(); }

 private:
  bool Take(std::size_t count) {
    if (!ok_ || count > bytes_.size() - at_) {
      ok_ = false;
      return false;
    }
    at_ += count;
    return true;
  }

  std::string_view bytes_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

void WriteBody(Writer& out, const EventRow& row) {
  out.Text(row.id);
  out.Time(row.time);
  out.I32(row.typeId);
  out.I32(row.sourceId);
  out.Text(row.userId);
  out.Text(row.appId);
  out.Text(row.computerName);
  out.I32(row.eventId);
  out.Text(row.parameter1);
  out.Text(row.parameter2);
}

void WriteBody(Writer& out, const AuditRow& row) {
  const AuditRecord& record = row.record;
  out.Text(row.logid);
  for (const std::string* text : {&record.sessionid, &record.farmuser, &record.appid, &record.appshowname,
                                  &record.clientmac})
    out.Text(*text);
  out.Time(record.starttime);
  out.Time(record.stoptime);
}

EventRow ReadEvent(Reader& in) {
  EventRow row;
  row.id = in.Text();
  row.time = in.Time();
  row.typeId = in.I32();
  row.sourceId = in.I32();
  row.userId = in.Text();
  row.appId = in.Text();
  row.computerName = in.Text();
  row.eventId = in.I32();
  row.parameter1 = in.Text();
  row.parameter2 = in.Text();
  return row;
}

AuditRow ReadAudit(Reader& in) {
  AuditRow row;
  AuditRecord& record = row.record;
  row.logid = in.Text();
  for (std::string* text : {&record.sessionid, &record.farmuser, &record.appid, &record.appshowname,
                            &record.clientmac})
    *text = in.Text();
  record.starttime = in.Time();
  record.stoptime = in.Time();
  return row;
}

bool Later(const DateTime& a, const DateTime& b) {
  return std::tie(a.year, a.month, a.day, a.hour, a.minute, a.second) >
         std::tie(b.year, b.month, b.day, b.hour, b.minute, b.second);
}

}  // namespace

const std::string& RowIdentifier(const SpooledRow& row) {
  if (const auto* event = std::get_if<EventRow>(&row)) return event->id;
  return std::get<AuditRow>(row).logid;
}

void SetRowIdentifier(SpooledRow& row, std::string identifier) {
  if (auto* event = std::get_if<EventRow>(&row)) event->id = std::move(identifier);
  else std::get<AuditRow>(row).logid = std::move(identifier);
}

const char* RowHead(const SpooledRow& row) { return std::holds_alternative<EventRow>(row) ? kHeadEvent : kHeadAudit; }

DateTime RowTime(const SpooledRow& row) {
  if (const auto* event = std::get_if<EventRow>(&row)) return event->time;
  const AuditRecord& record = std::get<AuditRow>(row).record;
  return Later(record.stoptime, record.starttime) ? record.stoptime : record.starttime;
}

std::uint32_t Crc32(std::string_view bytes) {
  static const std::array<std::uint32_t, 256> table = MakeCrcTable();
  std::uint32_t crc = 0xFFFFFFFFu;
  for (char byte : bytes) crc = table[(crc ^ static_cast<std::uint8_t>(byte)) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

std::optional<std::string> EncodeSpoolEntry(const SpooledRow& row) {
  Writer body;
  std::visit([&](const auto& r) { WriteBody(body, r); }, row);
  if (body.Bytes().size() > kMaxSpoolEntryBytes - kHeaderBytes - kTrailerBytes) return std::nullopt;

  Writer out;
  out.Bytes() = kMagic;
  out.U8(kVersion);
  out.U8(std::holds_alternative<EventRow>(row) ? kKindEvent : kKindAudit);
  out.U16(0);
  out.U32(static_cast<std::uint32_t>(body.Bytes().size()));
  out.Bytes() += body.Bytes();
  out.U32(Crc32(out.Bytes()));
  return std::move(out.Bytes());
}

std::optional<SpooledRow> DecodeSpoolEntry(std::string_view bytes) {
  if (bytes.size() < kHeaderBytes + kTrailerBytes || bytes.size() > kMaxSpoolEntryBytes) return std::nullopt;
  if (bytes.substr(0, kMagic.size()) != kMagic) return std::nullopt;
  Reader header(bytes.substr(kMagic.size(), kHeaderBytes - kMagic.size()));
  const std::uint8_t version = header.U8();
  const std::uint8_t kind = header.U8();
  const std::uint16_t reserved = header.U16();
  const std::uint32_t length = header.U32();
  if (version != kVersion || reserved != 0 || length != bytes.size() - kHeaderBytes - kTrailerBytes)
    return std::nullopt;
  Reader trailer(bytes.substr(kHeaderBytes + length));
  if (trailer.U32() != Crc32(bytes.substr(0, kHeaderBytes + length))) return std::nullopt;

  Reader body(bytes.substr(kHeaderBytes, length));
  std::optional<SpooledRow> row;
  if (kind == kKindEvent) row = ReadEvent(body);
  else if (kind == kKindAudit) row = ReadAudit(body);
  if (!row || !body.AtEnd()) return std::nullopt;
  return row;
}

}  // namespace qbnotify
