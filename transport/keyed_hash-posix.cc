#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include "transport/keyed_hash.h"

bool RandomHashKey(HashKey* key) {
  return RAND_bytes(key->data(), static_cast<int>(key->size())) == 1;
}

bool KeyedHashOf(const HashKey& key, std::string_view data, KeyedHash* mac) {
  unsigned int length = 0;
  const unsigned char* result =
      HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(data.data()), data.size(), mac->data(), &length);
  return result != nullptr && length == mac->size();
}
