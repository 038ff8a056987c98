// A throwaway publishing world for signature tests, made with the openssl
// command: a CA and the publishers it certifies (RSA, ECDSA P-256, an RSA
// key too small, one whose certificate expired long ago), a rogue
// self-signed publisher, and signatures made as a publisher makes them.
#ifndef QXFW_TESTING_TEST_PKI_H_
#define QXFW_TESTING_TEST_PKI_H_

#include <string>
#include <vector>

#include "testing/scratch_dir.h"

namespace testing_support {

class TestPki {
 public:
  /// Makes every key and certificate; ok() says whether openssl managed.
  TestPki();

  bool ok() const { return ok_; }
  /// The PEM certificate and key files of a party: "ca", "publisher",
  /// "ec-publisher", "weak-publisher", "expired-publisher", "rogue".
  std::string Certificate(const std::string& party) const;
  std::string Key(const std::string& party) const;
  /// A party's certificate in DER.
  std::string CertificateDer(const std::string& party) const;

  /// The DER detached signature of `content` by `party`, made by
  /// `openssl cms -sign -binary -md sha256`, with `extra` options (e.g.
  /// "-noattr", "-nocerts"); empty when openssl fails.
  std::string Sign(const std::string& content, const std::string& party,
                   const std::vector<std::string>& extra = {}) const;

  /// True when `openssl cms -verify` accepts `signature` over `content`
  /// with `anchor` (a PEM file) trusted as given, validity periods and
  /// certificate purposes not checked: the policy of the trust folder.
  bool OpensslAccepts(const std::string& content, const std::string& signature,
                      const std::string& anchor) const;

  const std::string& dir() const { return dir_.path(); }

 private:
  bool Run(const std::vector<std::string>& args) const;
  bool MakeCa();
  bool Issue(const std::string& party, const std::string& key_options, const std::string& start,
             const std::string& end);

  TempDir dir_;
  bool ok_ = false;
};

}  // namespace testing_support

#endif  // QXFW_TESTING_TEST_PKI_H_
