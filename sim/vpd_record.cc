#include "sim/vpd_record.h"

namespace sim {
namespace {

// The keyword area starts at byte 7 and byte 4 gives its length; each
// keyword is '*', two name characters, its whole length (byte 3) and its
// value. Lengths count 2-byte units.
constexpr std::uint32_t kAreaUnitsAt = 4;
constexpr std::uint32_t kFirstKeywordAt = 7;
constexpr std::uint32_t kKeywordSizeAt = 3;
constexpr std::uint32_t kKeywordHeaderSize = 4;
constexpr std::uint32_t kUnit = 2;

constexpr char kPartNumber[] = "QARMIX ADAPTER";
constexpr char kDefaultSerial[] = "0000000000";

void CopyBytes(std::uint8_t* to, const char* from, std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) to[i] = static_cast<std::uint8_t>(from[i]);
}

// Writes a keyword at `at`, padded to whole units; returns where the next
// one starts. REQUIRES: name is three characters and the keyword fits.
std::uint32_t PutKeyword(std::uint8_t* record, std::uint32_t at, const char* name,
                         const char* value, std::uint32_t length) {
  const std::uint32_t size = (kKeywordHeaderSize + length + 1) / kUnit * kUnit;
  CopyBytes(record + at, name, 3);
  record[at + kKeywordSizeAt] = static_cast<std::uint8_t>(size / kUnit);
  CopyBytes(record + at + kKeywordHeaderSize, value, length);
  return at + size;
}

}  // namespace

void BuildVpdRecord(char ll0, char ll1, std::uint8_t (&record)[kVpdSize]) {
  BuildVpdRecord(ll0, ll1, kDefaultSerial, sizeof kDefaultSerial - 1, record);
}

void BuildVpdRecord(char ll0, char ll1, const char* serial, std::uint32_t serial_length,
                    std::uint8_t (&record)[kVpdSize]) {
  for (std::uint8_t& byte : record) byte = 0;
  CopyBytes(record, "VPD", 3);
  std::uint32_t at = kFirstKeywordAt;
  at = PutKeyword(record, at, "*PN", kPartNumber, sizeof kPartNumber - 1);
  at = PutKeyword(record, at, "*SN", serial, serial_length);
  const char ll[] = {ll0, ll1};
  at = PutKeyword(record, at, "*LL", ll, 2);
  record[kAreaUnitsAt] = static_cast<std::uint8_t>((at - kFirstKeywordAt) / kUnit);
}

bool FindVpdSerial(const std::uint8_t (&record)[kVpdSize], std::uint32_t* at,
                   std::uint32_t* length) {
  std::uint32_t area_end = kFirstKeywordAt + kUnit * std::uint32_t{record[kAreaUnitsAt]};
  if (area_end > kVpdSize) area_end = kVpdSize;
  std::uint32_t keyword = kFirstKeywordAt;
  while (keyword + kKeywordHeaderSize <= area_end && record[keyword] == '*') {
    const std::uint32_t size = kUnit * std::uint32_t{record[keyword + kKeywordSizeAt]};
    if (size < kKeywordHeaderSize || keyword + size > area_end) return false;
    if (record[keyword + 1] == 'S' && record[keyword + 2] == 'N') {
      std::uint32_t end = keyword + size;
      while (end > keyword + kKeywordHeaderSize && record[end - 1] == 0) --end;
      *at = keyword + kKeywordHeaderSize;
      *length = end - *at;
      return true;
    }
    keyword += size;
  }
  return false;
}

}  // namespace sim
