// The platform's cryptography for publisher signatures: X.509 certificates
// and detached CMS SignedData, decoded and checked by the platform's own
// library (crypt32 on Windows, libcrypto on Linux). This seam only answers
// questions about one certificate or one signer; the trust decisions built
// on the answers are made once, in publisher_signature.cc, so that both
// builds decide alike.
#ifndef QXFW_TRANSPORT_SIGNATURE_CRYPTO_H_
#define QXFW_TRANSPORT_SIGNATURE_CRYPTO_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

/// One attribute of a distinguished name: its object identifier in dotted
/// form and its value as UTF-8.
struct NameAttribute {
  std::string oid;
  std::string value;
};

/// The public key of a certificate, as far as the signing policy tells keys
/// apart.
struct PublicKeyFacts {
  enum Kind { kRsa, kEcP256, kOther };
  Kind kind = kOther;
  unsigned bits = 0;  // the RSA modulus size; 256 for P-256
};

/// A decoded X.509 certificate.
class Certificate {
 public:
  /// Decodes one DER certificate; null when `der` isn't one. Bytes after it
  /// are the caller's to refuse: crypt32 keeps them as part of it.
  static std::unique_ptr<Certificate> FromDer(std::string_view der);
  ~Certificate();
  Certificate(const Certificate&) = delete;
  Certificate& operator=(const Certificate&) = delete;

  const std::string& der() const { return der_; }
  /// The subject's attributes, in the certificate's order.
  std::vector<NameAttribute> Subject() const;
  /// True when this certificate's issuer name is `issuer`'s subject name.
  bool NamesIssuer(const Certificate& issuer) const;
  /// True when the basic constraints say the subject is a CA.
  bool IsCa() const;
  PublicKeyFacts Key() const;
  /// True when `issuer`'s public key verifies this certificate's signature.
  bool SignedBy(const Certificate& issuer) const;

  struct Handle;  // the platform's certificate
  const Handle& handle() const { return *handle_; }

 private:
  Certificate(std::string der, std::unique_ptr<Handle> handle);
  std::string der_;
  std::unique_ptr<Handle> handle_;
};

/// The DER bytes that base64 `text` encodes (whitespace allowed); false
/// when it isn't base64.
bool DecodeBase64(std::string_view text, std::string* der);

/// A CMS SignedData whose content, the image, is kept apart from it.
class DetachedSignature {
 public:
  /// Decodes `der`; null, with what is wrong in `why`, when it is not a
  /// DER SignedData with detached content. Bytes after it are the caller's
  /// to refuse.
  static std::unique_ptr<DetachedSignature> Decode(std::string_view der, std::string* why);
  ~DetachedSignature();
  DetachedSignature(const DetachedSignature&) = delete;
  DetachedSignature& operator=(const DetachedSignature&) = delete;

  /// Hashes the next piece of the content, while it is in the cache, where
  /// the library lets the content be given piece by piece (libcrypto); where
  /// it doesn't (crypt32 takes detached content in one update), nothing
  /// happens until FinishContent.
  /// REQUIRES: FinishContent not called yet.
  void Feed(const std::uint8_t* piece, std::size_t size);

  /// Ends the content: `content` is the whole of it, the very bytes fed in
  /// order. False when the library can't take it.
  /// REQUIRES: called once, before the signers are verified.
  bool FinishContent(const std::uint8_t* content, std::size_t size);

  std::size_t SignerCount() const;
  /// True when signer `index` digests with SHA-256.
  bool SignerUsesSha256(std::size_t index) const;
  /// True when signer `index` names `cert` by issuer and serial number.
  bool SignerIs(std::size_t index, const Certificate& cert) const;
  /// True when signer `index`'s signature, made with `cert`'s key, covers
  /// the content's digest (through the signed attributes, when present).
  /// REQUIRES: FinishContent answered true; SignerIs(index, cert).
  bool VerifySigner(std::size_t index, const Certificate& cert) const;
  /// The certificates that the signature carries.
  std::vector<std::unique_ptr<Certificate>> Certificates() const;

  struct Handle;  // the platform's message

 private:
  explicit DetachedSignature(std::unique_ptr<Handle> handle);
  std::unique_ptr<Handle> handle_;
};

#endif  // QXFW_TRANSPORT_SIGNATURE_CRYPTO_H_
