#include "tool/vpd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <ostream>
#include <string>

namespace {

using Record = std::array<std::uint8_t, kVpdSize>;

/// A keyword: its three name characters, its length byte (in 2-byte units)
/// and the value bytes that follow the header.
struct Keyword {
  std::string name;
  std::uint8_t units;
  std::string value;
};

/// Builds a record whose keyword area holds `keywords` from byte 7 on, with
/// `area_units` in byte 4. The record's unused bytes are 0xEE, not 0, so
/// that a search reading past a keyword would meet no accidental stop.
Record MakeRecord(std::uint8_t area_units, std::initializer_list<Keyword> keywords,
                  const char* signature = "VPD") {
  Record r;
  r.fill(0xEE);
  for (int i = 0; i < 3; ++i) r[i] = static_cast<std::uint8_t>(signature[i]);
  r[4] = area_units;
  std::size_t at = 7;
  for (const Keyword& k : keywords) {
    for (int i = 0; i < 3; ++i) r[at + i] = static_cast<std::uint8_t>(k.name[i]);
    r[at + 3] = k.units;
    for (std::size_t i = 0; i < k.value.size(); ++i) {
      r[at + 4 + i] = static_cast<std::uint8_t>(k.value[i]);
    }
    // Keywords follow one another by their stated length, as the walk does;
    // one without length is followed straight after its value.
    const auto klen = static_cast<std::uint8_t>(2 * k.units);
    at += klen != 0 ? klen : 4 + k.value.size();
  }
  return r;
}

/// A record whose "*LL" keyword, with value "1A", starts at byte `at` (odd,
/// as every keyword start is); filler keywords from byte 7 walk the search
/// there. Bytes of the keyword that would lie past the record are dropped.
Record RecordWithLLAt(std::size_t at, std::uint8_t ll_units, std::uint8_t area_units) {
  Record r;
  r.fill(0xEE);
  r[0] = 'V';
  r[1] = 'P';
  r[2] = 'D';
  r[4] = area_units;
  std::size_t pos = 7;
  while (pos < at) {
    // Filler keywords of at most 200 bytes, each its own "*XX".
    const std::size_t step = at - pos > 200 ? 200 : at - pos;
    r[pos] = '*';
    r[pos + 1] = 'X';
    r[pos + 2] = 'X';
    r[pos + 3] = static_cast<std::uint8_t>(step / 2);
    pos += step;
  }
  const std::uint8_t keyword[] = {'*', 'L', 'L', ll_units, '1', 'A'};
  for (std::size_t i = 0; i < sizeof keyword && at + i < kVpdSize; ++i) r[at + i] = keyword[i];
  return r;
}

struct Case {
  const char* what;
  Record record;
  bool found;
  const char* ll;  // when found
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.what; }

class FindVpdLLTest : public testing::TestWithParam<Case> {};

TEST_P(FindVpdLLTest, AnswersAsTheRecordSays) {
  const Case& c = GetParam();
  // On the heap and exactly 256 bytes long, so that the sanitizer sees any
  // read past the record.
  const auto record = std::make_unique<std::uint8_t[]>(kVpdSize);
  std::copy(c.record.begin(), c.record.end(), record.get());
  char ll[2] = {'?', '?'};
  EXPECT_EQ(FindVpdLL(record.get(), ll), c.found) << c.what;
  if (c.found) {
    EXPECT_EQ(std::string(ll, 2), c.ll) << c.what;
  } else {
    EXPECT_EQ(std::string(ll, 2), "??") << c.what << ": ll written on false";
  }
}

const Case kCases[] = {
    {"plain LL keyword", MakeRecord(3, {{"*LL", 3, "1A"}}), true, "1A"},
    {"signature in lower case", MakeRecord(3, {{"*LL", 3, "1A"}}, "vpd"), false, ""},
    {"signature off by one byte", MakeRecord(3, {{"*LL", 3, "1A"}}, "VPE"), false, ""},
    {"area length 0", MakeRecord(0, {{"*LL", 3, "1A"}}), false, ""},
    {"area length 1 leaves 2 bytes", MakeRecord(1, {{"*LL", 3, "1A"}}), false, ""},
    {"area length 2 holds a 4-byte keyword", MakeRecord(2, {{"*LL", 2, "1A"}}), true, "1A"},
    {"area length byte 0x83 wraps to 6", MakeRecord(0x83, {{"*LL", 3, "1A"}}), true, "1A"},
    {"area length byte 0x80 wraps to 0", MakeRecord(0x80, {{"*LL", 3, "1A"}}), false, ""},
    {"keyword length byte 0x83 wraps to 6", MakeRecord(3, {{"*LL", 0x83, "1A"}}), true, "1A"},
    {"keyword exactly as long as the area", MakeRecord(3, {{"*LL", 3, "1A"}}), true, "1A"},
    {"keyword longer than the area", MakeRecord(3, {{"*LL", 4, "1A"}}), false, ""},
    {"keyword not starting with *", MakeRecord(3, {{"#LL", 3, "1A"}}), false, ""},
    {"lower-case *ll", MakeRecord(6, {{"*ll", 3, "1A"}, {"*LX", 3, "2B"}}), false, ""},
    {"keyword length 0", MakeRecord(6, {{"*AB", 0, ""}, {"*LL", 3, "1A"}}), false, ""},
    {"keyword length byte 0x80 gives 0", MakeRecord(6, {{"*LL", 0x80, "1A"}}), false, ""},
    {"LL after another keyword", MakeRecord(8, {{"*SN", 5, "123456"}, {"*LL", 3, "2C"}}), true,
     "2C"},
    {"LL after two keywords",
     MakeRecord(20, {{"*SN", 5, "123456"}, {"*PN", 4, "ABCD"}, {"*LL", 3, "3D"}}), true, "3D"},
    {"area ends before the LL keyword", MakeRecord(7, {{"*SN", 5, "123456"}, {"*LL", 3, "2C"}}),
     false, ""},
    {"second keyword without *", MakeRecord(8, {{"*SN", 5, "123456"}, {"LL*", 3, "2C"}}), false,
     ""},
    // The area may reach 254 bytes from byte 7, past the record's end.
    {"LL value in the last bytes", RecordWithLLAt(249, 3, 127), true, "1A"},
    {"LL value ending past byte 255", RecordWithLLAt(251, 3, 127), false, ""},
    {"keyword header ending past byte 255", RecordWithLLAt(253, 2, 127), false, ""},
    {"keyword header starting at byte 255", RecordWithLLAt(255, 2, 127), false, ""},
};

INSTANTIATE_TEST_SUITE_P(Records, FindVpdLLTest, testing::ValuesIn(kCases));

}  // namespace
