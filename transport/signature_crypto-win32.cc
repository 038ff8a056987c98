// crypt32's answers. A detached message is decoded with CMSG_DETACHED_FLAG
// and its content given in one final CryptMsgUpdate: without stream
// callbacks crypt32 takes no partial update, so the content is hashed after
// the read rather than piece by piece. Each signer is verified with
// CMSG_CTRL_VERIFY_SIGNATURE_EX; where it has signed attributes, its
// messageDigest attribute is also compared with the digest crypt32 computed
// over the content (CMSG_COMPUTED_HASH_PARAM). Windows compares them inside
// the verification; Wine's crypt32 verifies the attributes' signature
// without that comparison, and would take any content for a signer with
// signed attributes.
//
// An ECDSA signer is verified with CNG instead: the digest that it signed
// (of the DER signed attributes, or crypt32's digest of the content), its
// signature decoded from DER (X509_ECC_SIGNATURE) and its key imported with
// CryptImportPublicKeyInfoEx2, for BCryptVerifySignature. Wine 8.0's
// CryptMsgControl imports every signer's key as a CAPI RSA key
// (CryptImportPublicKeyInfo), which fails for an EC key, so that no ECDSA
// signature would ever verify there; these calls are Windows' documented
// ones and give Windows the same verdict.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// clang-format off
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>
// clang-format on

#include <cstring>

#include "transport/signature_crypto.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct CertFree {
  void operator()(PCCERT_CONTEXT c) const { CertFreeCertificateContext(c); }
};
struct MsgClose {
  void operator()(void* m) const { CryptMsgClose(m); }
};
struct LocalFreer {
  void operator()(void* p) const { LocalFree(p); }
};

/// A decoded structure of CryptDecodeObjectEx, freed with LocalFree.
template <typename T>
std::unique_ptr<T, LocalFreer> DecodeObject(LPCSTR type, const BYTE* bytes, DWORD size) {
  void* decoded = nullptr;
  DWORD decoded_size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, type, bytes, size, CRYPT_DECODE_ALLOC_FLAG, nullptr,
                           &decoded, &decoded_size)) {
    return nullptr;
  }
  return std::unique_ptr<T, LocalFreer>(static_cast<T*>(decoded));
}

std::string Utf8(const wchar_t* text, int length) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return "";
  std::string utf8(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, utf8.data(), size, nullptr, nullptr);
  return utf8;
}

std::string RdnValueText(const CERT_RDN_ATTR& attribute) {
  const DWORD length = CertRDNValueToStrW(
      attribute.dwValueType, const_cast<CERT_RDN_VALUE_BLOB*>(&attribute.Value), nullptr, 0);
  if (length <= 1) return "";
  std::wstring text(length, L'\0');
  CertRDNValueToStrW(attribute.dwValueType, const_cast<CERT_RDN_VALUE_BLOB*>(&attribute.Value),
                     text.data(), length);
  return Utf8(text.c_str(), static_cast<int>(length - 1));
}

/// A message parameter's bytes, or empty when it can't be had.
std::string MessageParam(HCRYPTMSG message, DWORD type, DWORD index) {
  DWORD size = 0;
  if (!CryptMsgGetParam(message, type, index, nullptr, &size) || size == 0) return "";
  std::string bytes(size, '\0');
  if (!CryptMsgGetParam(message, type, index, bytes.data(), &size)) return "";
  bytes.resize(size);
  return bytes;
}

// The DER of the object identifier of the curve P-256, as an EC public key's
// algorithm parameters carry it.
constexpr BYTE kP256Parameters[] = {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};

}  // namespace

struct Certificate::Handle {
  std::unique_ptr<const CERT_CONTEXT, CertFree> context;
};

Certificate::Certificate(std::string der, std::unique_ptr<Handle> handle)
    : der_(std::move(der)), handle_(std::move(handle)) {}

Certificate::~Certificate() = default;

std::unique_ptr<Certificate> Certificate::FromDer(std::string_view der) {
  if (der.empty() || der.size() > 0xFFFFFFFFu) return nullptr;
  // CertCreateCertificateContext keeps bytes after the certificate as part
  // of it: the policy (publisher_signature.cc) refuses them before this.
  PCCERT_CONTEXT context = CertCreateCertificateContext(
      X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()));
  if (context == nullptr) return nullptr;
  auto handle = std::make_unique<Handle>();
  handle->context.reset(context);
  return std::unique_ptr<Certificate>(new Certificate(std::string(der), std::move(handle)));
}

std::vector<NameAttribute> Certificate::Subject() const {
  std::vector<NameAttribute> attributes;
  const CERT_NAME_BLOB& name = handle_->context->pCertInfo->Subject;
  const auto info = DecodeObject<CERT_NAME_INFO>(X509_NAME, name.pbData, name.cbData);
  if (info == nullptr) return attributes;
  for (DWORD r = 0; r < info->cRDN; ++r) {
    const CERT_RDN& rdn = info->rgRDN[r];
    for (DWORD a = 0; a < rdn.cRDNAttr; ++a) {
      attributes.push_back({rdn.rgRDNAttr[a].pszObjId, RdnValueText(rdn.rgRDNAttr[a])});
    }
  }
  return attributes;
}

bool Certificate::NamesIssuer(const Certificate& issuer) const {
  return CertCompareCertificateName(X509_ASN_ENCODING, &handle_->context->pCertInfo->Issuer,
                                    &issuer.handle_->context->pCertInfo->Subject) != FALSE;
}

bool Certificate::IsCa() const {
  const CERT_INFO* info = handle_->context->pCertInfo;
  const CERT_EXTENSION* extension =
      CertFindExtension(szOID_BASIC_CONSTRAINTS2, info->cExtension, info->rgExtension);
  if (extension == nullptr) return false;
  const auto constraints = DecodeObject<CERT_BASIC_CONSTRAINTS2_INFO>(
      X509_BASIC_CONSTRAINTS2, extension->Value.pbData, extension->Value.cbData);
  return constraints != nullptr && constraints->fCA;
}

PublicKeyFacts Certificate::Key() const {
  PublicKeyFacts facts;
  const CERT_PUBLIC_KEY_INFO& key = handle_->context->pCertInfo->SubjectPublicKeyInfo;
  const char* algorithm = key.Algorithm.pszObjId;
  if (algorithm == nullptr) return facts;
  if (std::strcmp(algorithm, szOID_RSA_RSA) == 0) {
    facts.kind = PublicKeyFacts::kRsa;
    facts.bits = CertGetPublicKeyLength(X509_ASN_ENCODING, const_cast<CERT_PUBLIC_KEY_INFO*>(&key));
  } else if (std::strcmp(algorithm, szOID_ECC_PUBLIC_KEY) == 0 &&
             key.Algorithm.Parameters.cbData == sizeof kP256Parameters &&
             std::memcmp(key.Algorithm.Parameters.pbData, kP256Parameters,
                         sizeof kP256Parameters) == 0) {
    facts.kind = PublicKeyFacts::kEcP256;
    facts.bits = 256;
  }
  return facts;
}

bool Certificate::SignedBy(const Certificate& issuer) const {
  return CryptVerifyCertificateSignatureEx(
             0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_CERT,
             const_cast<CERT_CONTEXT*>(handle_->context.get()), CRYPT_VERIFY_CERT_SIGN_ISSUER_CERT,
             const_cast<CERT_CONTEXT*>(issuer.handle_->context.get()), 0, nullptr) != FALSE;
}

bool DecodeBase64(std::string_view text, std::string* der) {
  if (text.empty() || text.size() > 0x7FFFFFFF) return false;
  DWORD size = 0;
  if (!CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                            nullptr, &size, nullptr, nullptr) ||
      size == 0) {
    return false;
  }
  std::string decoded(size, '\0');
  if (!CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                            reinterpret_cast<BYTE*>(decoded.data()), &size, nullptr, nullptr)) {
    return false;
  }
  decoded.resize(size);
  *der = std::move(decoded);
  return true;
}

struct DetachedSignature::Handle {
  std::unique_ptr<void, MsgClose> message;
};

DetachedSignature::DetachedSignature(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}

DetachedSignature::~DetachedSignature() = default;

std::unique_ptr<DetachedSignature> DetachedSignature::Decode(std::string_view der,
                                                             std::string* why) {
  auto handle = std::make_unique<Handle>();
  handle->message.reset(
      CryptMsgOpenToDecode(kEncoding, CMSG_DETACHED_FLAG, 0, 0, nullptr, nullptr));
  if (handle->message == nullptr || der.empty() || der.size() > 0xFFFFFFFFu ||
      !CryptMsgUpdate(handle->message.get(), reinterpret_cast<const BYTE*>(der.data()),
                      static_cast<DWORD>(der.size()), TRUE)) {
    *why = "is not a DER CMS structure";
    return nullptr;
  }
  DWORD type = 0;
  DWORD size = sizeof type;
  if (!CryptMsgGetParam(handle->message.get(), CMSG_TYPE_PARAM, 0, &type, &size) ||
      type != CMSG_SIGNED) {
    *why = "is not CMS SignedData";
    return nullptr;
  }
  // A detached message has no content of its own to give.
  DWORD content_size = 0;
  if (CryptMsgGetParam(handle->message.get(), CMSG_CONTENT_PARAM, 0, nullptr, &content_size) &&
      content_size != 0) {
    *why = "holds its content instead of being detached from the image";
    return nullptr;
  }
  return std::unique_ptr<DetachedSignature>(new DetachedSignature(std::move(handle)));
}

void DetachedSignature::Feed(const std::uint8_t* /*piece*/, std::size_t /*size*/) {}

bool DetachedSignature::FinishContent(const std::uint8_t* content, std::size_t size) {
  if (size > 0xFFFFFFFFu) return false;
  // crypt32 needs a non-null pointer even for no content.
  static const BYTE kNothing = 0;
  return CryptMsgUpdate(handle_->message.get(), size != 0 ? content : &kNothing,
                        static_cast<DWORD>(size), TRUE) != FALSE;
}

std::size_t DetachedSignature::SignerCount() const {
  DWORD count = 0;
  DWORD size = sizeof count;
  if (!CryptMsgGetParam(handle_->message.get(), CMSG_SIGNER_COUNT_PARAM, 0, &count, &size)) {
    return 0;
  }
  return count;
}

bool DetachedSignature::SignerUsesSha256(std::size_t index) const {
  const std::string bytes =
      MessageParam(handle_->message.get(), CMSG_SIGNER_INFO_PARAM, static_cast<DWORD>(index));
  if (bytes.size() < sizeof(CMSG_SIGNER_INFO)) return false;
  const auto* info = reinterpret_cast<const CMSG_SIGNER_INFO*>(bytes.data());
  return info->HashAlgorithm.pszObjId != nullptr &&
         std::strcmp(info->HashAlgorithm.pszObjId, szOID_NIST_sha256) == 0;
}

bool DetachedSignature::SignerIs(std::size_t index, const Certificate& cert) const {
  const std::string bytes =
      MessageParam(handle_->message.get(), CMSG_SIGNER_CERT_INFO_PARAM, static_cast<DWORD>(index));
  if (bytes.size() < sizeof(CERT_INFO)) return false;
  const auto* signer = reinterpret_cast<const CERT_INFO*>(bytes.data());
  CERT_INFO* info = cert.handle().context->pCertInfo;
  return CertCompareCertificateName(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(&signer->Issuer),
                                    &info->Issuer) &&
         CertCompareIntegerBlob(const_cast<CRYPT_INTEGER_BLOB*>(&signer->SerialNumber),
                                &info->SerialNumber);
}

namespace {

/// The value of signer `index`'s messageDigest attribute; empty when it has
/// no signed attributes. `present` says whether it has any.
bool SignedDigest(HCRYPTMSG message, DWORD index, bool* present, std::string* digest) {
  const std::string bytes = MessageParam(message, CMSG_SIGNER_AUTH_ATTR_PARAM, index);
  *present = bytes.size() >= sizeof(CRYPT_ATTRIBUTES) &&
             reinterpret_cast<const CRYPT_ATTRIBUTES*>(bytes.data())->cAttr > 0;
  if (!*present) return true;
  const auto* attributes = reinterpret_cast<const CRYPT_ATTRIBUTES*>(bytes.data());
  for (DWORD a = 0; a < attributes->cAttr; ++a) {
    const CRYPT_ATTRIBUTE& attribute = attributes->rgAttr[a];
    if (std::strcmp(attribute.pszObjId, szOID_RSA_messageDigest) != 0) continue;
    if (attribute.cValue != 1) return false;
    const auto octets = DecodeObject<CRYPT_DATA_BLOB>(
        X509_OCTET_STRING, attribute.rgValue[0].pbData, attribute.rgValue[0].cbData);
    if (octets == nullptr) return false;
    digest->assign(reinterpret_cast<const char*>(octets->pbData), octets->cbData);
    return true;
  }
  return false;  // signed attributes without the content's digest cover nothing
}

}  // namespace

namespace {

struct KeyDestroyer {
  void operator()(void* key) const { BCryptDestroyKey(key); }
};

/// SHA-256 of `bytes` through CNG.
std::string Sha256(const std::string& bytes) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
    return "";
  }
  std::string digest(32, '\0');
  BCRYPT_HASH_HANDLE hash = nullptr;
  const bool ok = BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0 &&
                  BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                                 static_cast<ULONG>(bytes.size()), 0) == 0 &&
                  BCryptFinishHash(hash, reinterpret_cast<PUCHAR>(digest.data()), 32, 0) == 0;
  if (hash != nullptr) BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return ok ? digest : "";
}

/// The digest that signer `index` signed: of its signed attributes as DER,
/// or of the content when it has none.
std::string SignedHash(HCRYPTMSG message, DWORD index) {
  const std::string attributes = MessageParam(message, CMSG_SIGNER_AUTH_ATTR_PARAM, index);
  if (attributes.size() < sizeof(CRYPT_ATTRIBUTES) ||
      reinterpret_cast<const CRYPT_ATTRIBUTES*>(attributes.data())->cAttr == 0) {
    return MessageParam(message, CMSG_COMPUTED_HASH_PARAM, index);
  }
  void* encoded = nullptr;
  DWORD size = 0;
  if (!CryptEncodeObjectEx(X509_ASN_ENCODING, PKCS_ATTRIBUTES, attributes.data(),
                           CRYPT_ENCODE_ALLOC_FLAG, nullptr, &encoded, &size)) {
    return "";
  }
  const std::string der(static_cast<const char*>(encoded), size);
  LocalFree(encoded);
  return Sha256(der);
}

/// The P-256 signature r || s, 32 big-endian bytes each, from its DER form.
std::string RawEcdsaSignature(const CRYPT_DATA_BLOB& der) {
  const auto decoded = DecodeObject<CERT_ECC_SIGNATURE>(X509_ECC_SIGNATURE, der.pbData, der.cbData);
  if (decoded == nullptr || decoded->r.cbData > 32 || decoded->s.cbData > 32) return "";
  std::string raw(64, '\0');
  // The decoded integers are little-endian.
  for (DWORD i = 0; i < decoded->r.cbData; ++i)
    raw[31 - i] = static_cast<char>(decoded->r.pbData[i]);
  for (DWORD i = 0; i < decoded->s.cbData; ++i)
    raw[63 - i] = static_cast<char>(decoded->s.pbData[i]);
  return raw;
}

bool VerifyEcdsaSigner(HCRYPTMSG message, DWORD index, PCCERT_CONTEXT cert) {
  const std::string info = MessageParam(message, CMSG_SIGNER_INFO_PARAM, index);
  if (info.size() < sizeof(CMSG_SIGNER_INFO)) return false;
  const std::string signature =
      RawEcdsaSignature(reinterpret_cast<const CMSG_SIGNER_INFO*>(info.data())->EncryptedHash);
  const std::string hash = SignedHash(message, index);
  BCRYPT_KEY_HANDLE key = nullptr;
  if (signature.empty() || hash.empty() ||
      !CryptImportPublicKeyInfoEx2(X509_ASN_ENCODING, &cert->pCertInfo->SubjectPublicKeyInfo, 0,
                                   nullptr, &key)) {
    return false;
  }
  const std::unique_ptr<void, KeyDestroyer> owned_key(key);
  return BCryptVerifySignature(key, nullptr,
                               reinterpret_cast<PUCHAR>(const_cast<char*>(hash.data())),
                               static_cast<ULONG>(hash.size()),
                               reinterpret_cast<PUCHAR>(const_cast<char*>(signature.data())),
                               static_cast<ULONG>(signature.size()), 0) == 0;
}

bool VerifyWithCrypt32(HCRYPTMSG message, std::size_t index, PCCERT_CONTEXT cert) {
  CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para = {};
  para.cbSize = sizeof para;
  para.dwSignerIndex = static_cast<DWORD>(index);
  para.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
  para.pvSigner = const_cast<CERT_CONTEXT*>(cert);
  return CryptMsgControl(message, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &para) != FALSE;
}

bool IsEcKey(PCCERT_CONTEXT cert) {
  const char* algorithm = cert->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId;
  return algorithm != nullptr && std::strcmp(algorithm, szOID_ECC_PUBLIC_KEY) == 0;
}

}  // namespace

bool DetachedSignature::VerifySigner(std::size_t index, const Certificate& cert) const {
  HCRYPTMSG message = handle_->message.get();
  PCCERT_CONTEXT context = cert.handle().context.get();
  if (IsEcKey(context)) {
    if (!VerifyEcdsaSigner(message, static_cast<DWORD>(index), context)) return false;
  } else if (!VerifyWithCrypt32(message, index, context)) {
    return false;
  }
  bool attributes = false;
  std::string signed_digest;
  if (!SignedDigest(message, static_cast<DWORD>(index), &attributes, &signed_digest)) return false;
  if (!attributes) return true;
  const std::string computed =
      MessageParam(message, CMSG_COMPUTED_HASH_PARAM, static_cast<DWORD>(index));
  return !computed.empty() && computed == signed_digest;
}

std::vector<std::unique_ptr<Certificate>> DetachedSignature::Certificates() const {
  std::vector<std::unique_ptr<Certificate>> certificates;
  DWORD count = 0;
  DWORD size = sizeof count;
  if (!CryptMsgGetParam(handle_->message.get(), CMSG_CERT_COUNT_PARAM, 0, &count, &size)) {
    return certificates;
  }
  for (DWORD i = 0; i < count; ++i) {
    auto cert = Certificate::FromDer(MessageParam(handle_->message.get(), CMSG_CERT_PARAM, i));
    if (cert != nullptr) certificates.push_back(std::move(cert));
  }
  return certificates;
}
