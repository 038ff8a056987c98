// The platform's cryptography, for tokens that stand for secrets in what the
// programs write: a random key from the system's generator and HMAC-SHA-256
// under it. OpenSSL's libcrypto on Linux, CNG (bcrypt) on Windows; none of
// it is written here.
#ifndef QXFW_TRANSPORT_KEYED_HASH_H_
#define QXFW_TRANSPORT_KEYED_HASH_H_

#include <array>
#include <cstdint>
#include <string_view>

inline constexpr std::size_t kKeyedHashSize = 32;

using HashKey = std::array<std::uint8_t, kKeyedHashSize>;
using KeyedHash = std::array<std::uint8_t, kKeyedHashSize>;

/// Fills *key from the system's cryptographic generator. Returns false when
/// the generator gives nothing (the key is then unspecified).
[[nodiscard]] bool RandomHashKey(HashKey* key);

/// HMAC-SHA-256 of `data` under `key`, into *mac. Returns false when the
/// platform can't compute it.
[[nodiscard]] bool KeyedHashOf(const HashKey& key, std::string_view data, KeyedHash* mac);

#endif  // QXFW_TRANSPORT_KEYED_HASH_H_
