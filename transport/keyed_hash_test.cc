#include "transport/keyed_hash.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Hex(const KeyedHash& mac) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (std::uint8_t byte : mac) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0xF];
  }
  return hex;
}

// RFC 4231's first two cases: HMAC pads a key shorter than the hash's block
// with zero bytes, so their keys padded to 32 bytes give their results. The
// same test runs on the Windows build under Wine, against CNG.
TEST(KeyedHash, IsHmacSha256) {
  HashKey key = {};
  key.fill(0);
  for (int i = 0; i < 20; ++i) key[i] = 0x0b;
  KeyedHash mac;
  ASSERT_TRUE(KeyedHashOf(key, "Hi There", &mac));
  EXPECT_EQ(Hex(mac), "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
  key.fill(0);
  key[0] = 'J', key[1] = 'e', key[2] = 'f', key[3] = 'e';
  ASSERT_TRUE(KeyedHashOf(key, "what do ya want for nothing?", &mac));
  EXPECT_EQ(Hex(mac), "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

TEST(KeyedHash, KeysAreRandomEachTime) {
  HashKey a;
  HashKey b;
  ASSERT_TRUE(RandomHashKey(&a));
  ASSERT_TRUE(RandomHashKey(&b));
  EXPECT_NE(a, b);
}

}  // namespace
