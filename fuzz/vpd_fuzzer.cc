// FindVpdLL over arbitrary 256-byte records. The record sits in a heap block
// of exactly 256 bytes, so that ASan reports any read past it, and the answer
// must agree with the keyword walk written out plainly below, in which a
// byte outside the record ends the search with false. The keyword list that
// reports show must be that walk too: keywords back to back from byte 7,
// each starting with '*', its name and value the record's own bytes.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

#include "fuzz/fuzz_check.h"
#include "tool/vpd.h"

namespace {

/// The walk step by step; nullopt where it would leave the record or stand
/// still, which the search answers with false.
bool ExpectedLL(const std::uint8_t* vpd, std::array<std::uint8_t, 2>* ll) {
  const auto byte = [&](std::uint32_t at) -> std::optional<std::uint8_t> {
    if (at >= kVpdSize) return std::nullopt;
    return vpd[at];
  };
  if (vpd[0] != 'V' || vpd[1] != 'P' || vpd[2] != 'D') return false;
  std::uint8_t remaining = static_cast<std::uint8_t>(2 * vpd[4]);
  std::uint32_t at = 7;
  while (remaining >= 4) {
    const auto units = byte(at + 3);
    if (!units) return false;
    const auto klen = static_cast<std::uint8_t>(2 * *units);
    if (klen > remaining || klen == 0) return false;
    if (*byte(at) != '*') return false;
    if (*byte(at + 1) == 'L' && *byte(at + 2) == 'L') {
      const auto first = byte(at + 4);
      const auto second = byte(at + 5);
      if (!first || !second) return false;
      *ll = {*first, *second};
      return true;
    }
    remaining = static_cast<std::uint8_t>(remaining - klen);
    at += klen;
  }
  return false;
}

void CheckKeywords(const std::uint8_t* vpd) {
  std::uint32_t at = 7;
  std::uint32_t total = 0;
  for (const VpdKeyword& keyword : VpdKeywords(vpd)) {
    FUZZ_CHECK(keyword.at == at && keyword.length != 0 && keyword.at + 4 <= kVpdSize);
    FUZZ_CHECK(keyword.name.size() == 3 && keyword.name[0] == '*');
    FUZZ_CHECK(std::memcmp(keyword.name.data(), vpd + at, 3) == 0);
    const std::uint32_t value_end = std::min<std::uint32_t>(at + keyword.length, kVpdSize);
    const std::uint32_t value_size = value_end > at + 4 ? value_end - at - 4 : 0;
    FUZZ_CHECK(keyword.value.size() == value_size);
    FUZZ_CHECK(std::memcmp(keyword.value.data(), vpd + at + 4, value_size) == 0);
    total += keyword.length;
    at += keyword.length;
  }
  FUZZ_CHECK(total <= static_cast<std::uint8_t>(2 * vpd[4]));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto record = std::make_unique<std::uint8_t[]>(kVpdSize);
  std::copy(data, data + (size < kVpdSize ? size : kVpdSize), record.get());
  char ll[2] = {'?', '?'};
  std::array<std::uint8_t, 2> expected{};
  const bool found = FindVpdLL(record.get(), ll);
  FUZZ_CHECK(found == ExpectedLL(record.get(), &expected));
  if (found) {
    FUZZ_CHECK(static_cast<std::uint8_t>(ll[0]) == expected[0]);
    FUZZ_CHECK(static_cast<std::uint8_t>(ll[1]) == expected[1]);
  } else {
    FUZZ_CHECK(ll[0] == '?' && ll[1] == '?');  // nothing written on false
  }
  CheckKeywords(record.get());
  return 0;
}
