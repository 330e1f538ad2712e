// One row kept in the local spool while the database cannot take it, and the bytes of its
// file.
//
// An entry file is length-prefixed and checksummed, all numbers little-endian:
//
//   offset  size  field
//   0       4     "QBSP"
//   4       1     format version, 1
//   5       1     kind: 1 an event-log row, 2 an audit row
//   6       2     0
//   8       4     body length N (at most kMaxSpoolEntryBytes - 16)
//   12      N     body
//   12+N    4     CRC-32 (IEEE) of the 12 + N bytes before it
//
// Body of an event row: text ID, date-time Time, int32 TypeID, int32 SourceID, texts UserID,
// AppID, ComputerName, int32 EventID, texts Parameter1, Parameter2. Body of an audit row:
// texts logid, sessionid, farmuser, appid, appshowname, clientmac, date-times starttime,
// stoptime. A text is a uint32 length and its bytes (code page 936, unchanged); a date-time
// is uint16 year and one byte each for month, day, hour, minute and second.
//
// A file is read as an entry only when every byte is accounted for: magic, version, kind,
// length, checksum and the exact end of the body. Anything else (a cut file, a stray byte,
// garbage) reads as no entry at all, never as a partial one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Platform.h"
#include "store/Rows.h"

namespace qbnotify {

// The largest entry file accepted, written or read. Rows come from clients' texts; this
// keeps a hostile or broken one from filling the spool alone.
inline constexpr std::size_t kMaxSpoolEntryBytes = 1u << 20;

// The row's identifier (empty until drawn) and the head it is drawn with.
const std::string& RowIdentifier(const SpooledRow& row);
void SetRowIdentifier(SpooledRow& row, std::string identifier);
const char* RowHead(const SpooledRow& row);
// The time that orders the row among the others: an event's time; for an audit row the
// later of its start and stop times (the one its handler has just set).
DateTime RowTime(const SpooledRow& row);

// CRC-32 as in zlib and Ethernet: Crc32("123456789") == 0xCBF43926.
std::uint32_t Crc32(std::string_view bytes);

// The entry file's bytes; nullopt when they would pass kMaxSpoolEntryBytes.
std::optional<std::string> EncodeSpoolEntry(const SpooledRow& row);
// The row in an entry file; nullopt for anything that is not one whole, intact entry.
std::optional<SpooledRow> DecodeSpoolEntry(std::string_view bytes);

}  // namespace qbnotify
