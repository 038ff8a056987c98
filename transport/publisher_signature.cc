#include "transport/publisher_signature.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <string_view>
#include <system_error>
#include <utility>

#include "transport/program_folder.h"

namespace {

constexpr std::string_view kPemBegin = "-----BEGIN CERTIFICATE-----";
constexpr std::string_view kPemEnd = "-----END CERTIFICATE-----";
constexpr std::string_view kAnyPemBegin = "-----BEGIN ";

/// True when `bytes` is exactly one DER SEQUENCE, its length taken from its
/// header: bytes after it would be something unexamined, and the two
/// libraries differ on whether they notice them.
bool IsOneDerSequence(std::string_view bytes) {
  if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0x30) return false;
  const auto first = static_cast<unsigned char>(bytes[1]);
  std::size_t header = 2;
  std::size_t length = first;
  if (first >= 0x80) {
    const std::size_t count = first & 0x7F;
    if (count == 0 || count > 4 || bytes.size() < 2 + count) return false;
    length = 0;
    for (std::size_t i = 0; i < count; ++i) {
      length = (length << 8) | static_cast<unsigned char>(bytes[2 + i]);
    }
    header += count;
  }
  return header + length == bytes.size();
}

std::unique_ptr<Certificate> CertificateFromDer(std::string_view der) {
  return IsOneDerSequence(der) ? Certificate::FromDer(der) : nullptr;
}

std::string NameOf(const std::filesystem::path& path) {
  const std::u8string name = path.filename().u8string();
  return std::string(name.begin(), name.end());
}

bool HasCertificateExtension(const std::filesystem::path& path) {
  std::string extension = NameOf(path.extension());
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension == ".cer" || extension == ".crt" || extension == ".pem";
}

bool ReadWholeFile(const std::filesystem::path& path, std::string* bytes) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  bytes->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return !file.bad();
}

/// Reads one file of the folder into `folder`; false, with the folder's
/// error set, when it isn't a certificate.
bool AddAnchorFile(const std::filesystem::directory_entry& entry, TrustFolder* folder) {
  const std::string name = NameOf(entry.path());
  const std::string where = name + " in " + kTrustFolderName;
  std::error_code error;
  if (!entry.is_regular_file(error) || !HasCertificateExtension(entry.path())) {
    folder->error = where + " is not a certificate file (*.cer, *.crt or *.pem)";
    return false;
  }
  std::string bytes;
  if (!ReadWholeFile(entry.path(), &bytes)) {
    folder->error = "can't read " + where;
    return false;
  }
  std::string why;
  std::unique_ptr<Certificate> cert = ParseCertificateFile(bytes, &why);
  if (cert == nullptr) {
    folder->error = where + " " + why;
    return false;
  }
  folder->anchors.push_back({name, std::move(cert)});
  return true;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

/// The short names of the attributes that a subject commonly holds.
std::string AttributeName(const std::string& oid) {
  static const std::pair<const char*, const char*> kNames[] = {
      {"2.5.4.3", "CN"},
      {"2.5.4.6", "C"},
      {"2.5.4.7", "L"},
      {"2.5.4.8", "ST"},
      {"2.5.4.10", "O"},
      {"2.5.4.11", "OU"},
      {"2.5.4.5", "serialNumber"},
      {"1.2.840.113549.1.9.1", "emailAddress"},
  };
  for (const auto& [dotted, name] : kNames) {
    if (oid == dotted) return name;
  }
  return oid;
}

const Certificate* FindCertificate(const std::vector<const Certificate*>& candidates,
                                   const DetachedSignature& signature, std::size_t signer) {
  for (const Certificate* cert : candidates) {
    if (signature.SignerIs(signer, *cert)) return cert;
  }
  return nullptr;
}

/// The anchor that vouches for `cert`: the anchor itself, or the one that a
/// chain of CA certificates carried by the signature leads to, each link's
/// signature checked.
const TrustAnchor* AnchorFor(const Certificate& cert,
                             const std::vector<const Certificate*>& carried,
                             const TrustFolder& trust, int depth) {
  for (const TrustAnchor& anchor : trust.anchors) {
    if (anchor.cert->der() == cert.der()) return &anchor;
  }
  if (depth >= kLongestChain) return nullptr;
  for (const TrustAnchor& anchor : trust.anchors) {
    if (cert.NamesIssuer(*anchor.cert) && anchor.cert->IsCa() && cert.SignedBy(*anchor.cert)) {
      return &anchor;
    }
  }
  for (const Certificate* issuer : carried) {
    if (issuer->der() == cert.der() || !cert.NamesIssuer(*issuer) || !issuer->IsCa() ||
        !cert.SignedBy(*issuer)) {
      continue;
    }
    if (const TrustAnchor* anchor = AnchorFor(*issuer, carried, trust, depth + 1)) return anchor;
  }
  return nullptr;
}

bool AcceptedKey(const PublicKeyFacts& key) {
  return (key.kind == PublicKeyFacts::kRsa && key.bits >= 2048) ||
         key.kind == PublicKeyFacts::kEcP256;
}

SignatureVerdict Verdict(SignatureState state, std::string reason, std::string signer = {}) {
  SignatureVerdict verdict;
  verdict.state = state;
  verdict.reason = std::move(reason);
  verdict.signer = std::move(signer);
  return verdict;
}

}  // namespace

std::unique_ptr<Certificate> ParseCertificateFile(const std::string& bytes, std::string* why) {
  const std::size_t begin = bytes.find(kPemBegin);
  if (begin == std::string::npos) {
    std::unique_ptr<Certificate> cert = CertificateFromDer(bytes);
    if (cert == nullptr) *why = "is not an X.509 certificate (DER, or PEM with one certificate)";
    return cert;
  }
  const std::size_t body = begin + kPemBegin.size();
  const std::size_t end = bytes.find(kPemEnd, body);
  if (end == std::string::npos) {
    *why = "is PEM without its END CERTIFICATE line";
    return nullptr;
  }
  // One file is one anchor: a second PEM block would be trusted unseen.
  if (bytes.find(kAnyPemBegin) != begin || bytes.find(kAnyPemBegin, end) != std::string::npos) {
    *why = "holds more than one PEM block: put each certificate in a file of its own";
    return nullptr;
  }
  std::string der;
  std::unique_ptr<Certificate> cert;
  if (DecodeBase64(std::string_view(bytes).substr(body, end - body), &der)) {
    cert = CertificateFromDer(der);
  }
  if (cert == nullptr) *why = "is PEM, but not of an X.509 certificate";
  return cert;
}

TrustFolder ReadTrustFolder(const std::filesystem::path& folder) {
  TrustFolder trust;
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(folder, error);
  if (status.type() == std::filesystem::file_type::not_found) return trust;
  if (error || status.type() != std::filesystem::file_type::directory) {
    trust.configured = true;
    trust.error = std::string("can't read the folder ") + kTrustFolderName;
    return trust;
  }
  std::vector<std::filesystem::directory_entry> entries;
  std::filesystem::directory_iterator it(folder, error);
  for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    entries.push_back(*it);
  }
  if (error) {
    trust.configured = true;
    trust.error = std::string("can't read the folder ") + kTrustFolderName;
    return trust;
  }
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });
  trust.configured = !entries.empty();
  for (const auto& entry : entries) {
    // Every file is read, so that a report can use the anchors that are
    // sound; the first fault is the one reported.
    TrustFolder one;
    if (AddAnchorFile(entry, &one)) {
      trust.anchors.push_back(std::move(one.anchors.front()));
    } else if (trust.error.empty()) {
      trust.error = one.error;
    }
  }
  return trust;
}

TrustFolder ReadProgramTrustFolder() {
  const std::filesystem::path program = ProgramFolder();
  if (program.empty()) {
    TrustFolder trust;
    trust.configured = true;
    trust.error = "can't find the program's own folder, which holds its trusted publishers";
    return trust;
  }
  return ReadTrustFolder(program / kTrustFolderName);
}

const char* SignatureStateName(SignatureState state) {
  switch (state) {
    case SignatureState::kValid:
      return "valid";
    case SignatureState::kUntrusted:
      return "untrusted";
    case SignatureState::kInvalid:
      return "invalid";
    case SignatureState::kMalformed:
      return "malformed";
    case SignatureState::kMissing:
      break;
  }
  return "missing";
}

std::string SubjectText(const Certificate& cert) {
  std::string text;
  for (const NameAttribute& attribute : cert.Subject()) {
    if (!text.empty()) text += ", ";
    text += AttributeName(attribute.oid) + "=" + attribute.value;
  }
  return text;
}

SignatureCheck::SignatureCheck(std::string p7s_name, SignatureVerdict early)
    : p7s_name_(std::move(p7s_name)), early_(std::move(early)) {}

SignatureCheck SignatureCheck::Missing(std::string p7s_name) {
  std::string reason = "no signature file " + p7s_name + " beside the image";
  return SignatureCheck(std::move(p7s_name), Verdict(SignatureState::kMissing, std::move(reason)));
}

SignatureCheck SignatureCheck::Unreadable(std::string p7s_name) {
  std::string reason = "can't read the signature file " + p7s_name;
  return SignatureCheck(std::move(p7s_name),
                        Verdict(SignatureState::kMalformed, std::move(reason)));
}

SignatureCheck SignatureCheck::FromBytes(std::string p7s_name, const std::string& bytes) {
  // PEM is refused rather than decoded: a signature has one form, the one
  // that the publisher's documented command writes and that Windows reads.
  if (bytes.compare(0, kAnyPemBegin.size(), kAnyPemBegin) == 0) {
    std::string reason = p7s_name + " is PEM text: a DER signature is needed (openssl cms -sign" +
                         " ... -outform DER)";
    return SignatureCheck(std::move(p7s_name),
                          Verdict(SignatureState::kMalformed, std::move(reason)));
  }
  std::string why = "is not a DER CMS structure";
  std::unique_ptr<DetachedSignature> signature =
      IsOneDerSequence(bytes) ? DetachedSignature::Decode(bytes, &why) : nullptr;
  if (signature == nullptr) {
    std::string reason =
        p7s_name + " is not a detached signature (it " + why + "): get it again from the publisher";
    return SignatureCheck(std::move(p7s_name),
                          Verdict(SignatureState::kMalformed, std::move(reason)));
  }
  SignatureCheck check(std::move(p7s_name), {});
  check.signature_ = std::move(signature);
  return check;
}

void SignatureCheck::Feed(const std::uint8_t* piece, std::size_t size) {
  if (signature_ != nullptr) signature_->Feed(piece, size);
}

SignatureVerdict SignatureCheck::Finish(const std::uint8_t* content, std::size_t size,
                                        const TrustFolder& trust) {
  if (signature_ == nullptr) return early_;
  const DetachedSignature& signature = *signature_;
  const std::size_t signers = signature.SignerCount();
  if (signers == 0) return Verdict(SignatureState::kMalformed, p7s_name_ + " has no signer");
  for (std::size_t i = 0; i < signers; ++i) {
    if (!signature.SignerUsesSha256(i)) {
      return Verdict(SignatureState::kMalformed,
                     p7s_name_ + " is not signed with SHA-256: sign again with -md sha256");
    }
  }
  if (!signature_->FinishContent(content, size)) {
    return Verdict(SignatureState::kMalformed,
                   "the image could not be checked against " + p7s_name_);
  }
  const std::vector<std::unique_ptr<Certificate>> carried_owned = signature.Certificates();
  std::vector<const Certificate*> carried;
  for (const auto& cert : carried_owned) carried.push_back(cert.get());
  std::vector<const Certificate*> candidates = carried;
  for (const TrustAnchor& anchor : trust.anchors) candidates.push_back(anchor.cert.get());

  SignatureVerdict verdict;
  verdict.state = SignatureState::kValid;
  for (std::size_t i = 0; i < signers; ++i) {
    const Certificate* cert = FindCertificate(candidates, signature, i);
    if (cert == nullptr) {
      return Verdict(SignatureState::kUntrusted, "the signer of " + p7s_name_ +
                                                     " is unknown: its certificate is neither in " +
                                                     "the signature nor in " + kTrustFolderName);
    }
    const std::string subject = SubjectText(*cert);
    if (i == 0) verdict.signer = subject;
    if (!signature.VerifySigner(i, *cert)) {
      return Verdict(SignatureState::kInvalid,
                     p7s_name_ + " does not match the image: the image or its signature was " +
                         "changed after signing",
                     verdict.signer);
    }
    if (!AcceptedKey(cert->Key())) {
      return Verdict(SignatureState::kUntrusted,
                     "signer " + Quoted(subject) +
                         " has a key that is neither RSA of 2048 bits or more nor ECDSA P-256",
                     verdict.signer);
    }
    const TrustAnchor* anchor = AnchorFor(*cert, carried, trust, 1);
    if (anchor == nullptr) {
      return Verdict(SignatureState::kUntrusted,
                     "signer " + Quoted(subject) + " is not vouched for by any certificate in " +
                         kTrustFolderName,
                     verdict.signer);
    }
    if (i == 0) verdict.anchor = anchor->file;
  }
  return verdict;
}
