// The publisher policy: the trust folder that an administrator fills with
// the certificates of the publishers whose firmware may be loaded, and the
// verdict on an image's detached signature against it. The decisions are
// made here, once, from the answers of the platform's cryptography
// (transport/signature_crypto.h), so that both builds reach the same
// verdict on the same files.
//
// Validity periods are not checked, on any certificate: firmware must stay
// loadable after the certificate that signed it expires, as released
// firmware is kept for years. A publisher whose key is compromised is taken
// out of the folder.
#ifndef QXFW_TRANSPORT_PUBLISHER_SIGNATURE_H_
#define QXFW_TRANSPORT_PUBLISHER_SIGNATURE_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "transport/signature_crypto.h"

/// The trust folder's name, beside the running program.
inline constexpr char kTrustFolderName[] = "trusted-publishers";

/// The longest chain of certificates from a signer to an anchor, counting
/// both.
inline constexpr int kLongestChain = 8;

/// A certificate that an administrator trusts, and the file it came from.
struct TrustAnchor {
  std::string file;  // the file's name in the folder
  std::unique_ptr<Certificate> cert;
};

/// What the trust folder holds.
struct TrustFolder {
  /// True when the folder holds any file at all: every image must then be
  /// signed by a trusted publisher.
  bool configured = false;
  /// The anchors, in the order of their files' names.
  std::vector<TrustAnchor> anchors;
  /// Set when a file in it is not one certificate (DER or PEM, named *.cer,
  /// *.crt or *.pem), or the folder can't be read: the message names the
  /// first such file, and no image is accepted.
  std::string error;
};

/// Reads every file of `folder`. A folder that doesn't exist, or holds
/// nothing, configures nothing.
TrustFolder ReadTrustFolder(const std::filesystem::path& folder);

/// ReadTrustFolder of kTrustFolderName beside the running program. A
/// program folder that the platform won't name is an error.
TrustFolder ReadProgramTrustFolder();

/// One certificate file's bytes, DER or PEM with exactly one certificate;
/// null, with why in `why`, otherwise.
std::unique_ptr<Certificate> ParseCertificateFile(const std::string& bytes, std::string* why);

enum class SignatureState { kValid, kUntrusted, kInvalid, kMalformed, kMissing };

/// "valid", "untrusted", "invalid", "malformed", "missing".
const char* SignatureStateName(SignatureState state);

struct SignatureVerdict {
  SignatureState state = SignatureState::kMissing;
  /// The subject of the (first) signer's certificate, when it was found.
  std::string signer;
  /// The anchor's file, when valid.
  std::string anchor;
  /// For every state but valid: what is wrong and what to do about it.
  std::string reason;
};

/// The subject of a certificate as one line: "C=.., O=.., CN=..".
std::string SubjectText(const Certificate& cert);

/// The check of one image's signature, fed with the image while it is read.
class SignatureCheck {
 public:
  /// `p7s_name` is how the signature file is named in the reasons.
  static SignatureCheck Missing(std::string p7s_name);
  static SignatureCheck Unreadable(std::string p7s_name);
  static SignatureCheck FromBytes(std::string p7s_name, const std::string& bytes);

  /// The next piece of the image, in order, while it is in the cache.
  void Feed(const std::uint8_t* piece, std::size_t size);

  /// The verdict on the image `content` (the very bytes fed, all of them).
  /// REQUIRES: called once.
  SignatureVerdict Finish(const std::uint8_t* content, std::size_t size, const TrustFolder& trust);

 private:
  SignatureCheck(std::string p7s_name, SignatureVerdict early);
  std::string p7s_name_;
  /// The verdict known before the content: missing, unreadable, malformed.
  SignatureVerdict early_;
  std::unique_ptr<DetachedSignature> signature_;
};

#endif  // QXFW_TRANSPORT_PUBLISHER_SIGNATURE_H_
