#include "transport/keyed_hash.h"
// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on

namespace {

/// An algorithm provider, closed when it goes.
class Provider {
 public:
  Provider() {
    if (BCryptOpenAlgorithmProvider(&handle_, BCRYPT_SHA256_ALGORITHM, nullptr,
                                    BCRYPT_ALG_HANDLE_HMAC_FLAG) != 0) {
      handle_ = nullptr;
    }
  }
  ~Provider() {
    if (handle_ != nullptr) BCryptCloseAlgorithmProvider(handle_, 0);
  }
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;

  BCRYPT_ALG_HANDLE get() const { return handle_; }

 private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
};

/// A hash object, destroyed when it goes.
class Hash {
 public:
  Hash(BCRYPT_ALG_HANDLE provider, const HashKey& key) {
    if (BCryptCreateHash(provider, &handle_, nullptr, 0, const_cast<PUCHAR>(key.data()),
                         static_cast<ULONG>(key.size()), 0) != 0) {
      handle_ = nullptr;
    }
  }
  ~Hash() {
    if (handle_ != nullptr) BCryptDestroyHash(handle_);
  }
  Hash(const Hash&) = delete;
  Hash& operator=(const Hash&) = delete;

  BCRYPT_HASH_HANDLE get() const { return handle_; }

 private:
  BCRYPT_HASH_HANDLE handle_ = nullptr;
};

}  // namespace

bool RandomHashKey(HashKey* key) {
  return BCryptGenRandom(nullptr, key->data(), static_cast<ULONG>(key->size()),
                         BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

bool KeyedHashOf(const HashKey& key, std::string_view data, KeyedHash* mac) {
  const Provider provider;
  if (provider.get() == nullptr) return false;
  const Hash hash(provider.get(), key);
  if (hash.get() == nullptr) return false;
  // One call per ULONG's worth: the data of a capture is short, but the
  // size must not be cut.
  while (!data.empty()) {
    const auto chunk = static_cast<ULONG>(data.size() > 0x40000000u ? 0x40000000u : data.size());
    if (BCryptHashData(hash.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())), chunk,
                       0) != 0) {
      return false;
    }
    data.remove_prefix(chunk);
  }
  return BCryptFinishHash(hash.get(), mac->data(), static_cast<ULONG>(mac->size()), 0) == 0;
}
