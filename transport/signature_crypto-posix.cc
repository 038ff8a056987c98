// libcrypto's answers. The content is hashed piece by piece through the
// digest BIOs that CMS_dataInit sets up for the signers' digests, and each
// signer is then checked as CMS_verify checks it, signer by signer:
// CMS_SignerInfo_verify for the signed attributes' signature and
// CMS_SignerInfo_verify_content for the content's digest.
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <climits>

#include "transport/signature_crypto.h"

namespace {

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct CmsFree {
  void operator()(CMS_ContentInfo* c) const { CMS_ContentInfo_free(c); }
};
struct BioFreeAll {
  void operator()(BIO* b) const { BIO_free_all(b); }
};

std::string DottedOid(const ASN1_OBJECT* object) {
  char text[128];
  const int length = OBJ_obj2txt(text, sizeof text, object, 1);
  return length > 0 && static_cast<std::size_t>(length) < sizeof text ? std::string(text) : "";
}

std::string Utf8Value(const ASN1_STRING* value) {
  unsigned char* utf8 = nullptr;
  const int length = ASN1_STRING_to_UTF8(&utf8, value);
  if (length < 0) return "";
  std::string text(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
  OPENSSL_free(utf8);
  return text;
}

}  // namespace

struct Certificate::Handle {
  std::unique_ptr<X509, X509Free> x509;
};

Certificate::Certificate(std::string der, std::unique_ptr<Handle> handle)
    : der_(std::move(der)), handle_(std::move(handle)) {}

Certificate::~Certificate() = default;

std::unique_ptr<Certificate> Certificate::FromDer(std::string_view der) {
  if (der.size() > LONG_MAX) return nullptr;
  const auto* start = reinterpret_cast<const unsigned char*>(der.data());
  const unsigned char* at = start;
  std::unique_ptr<X509, X509Free> x509(d2i_X509(nullptr, &at, static_cast<long>(der.size())));
  // Trailing bytes would be a second thing in the file, unexamined.
  if (x509 == nullptr || at != start + der.size()) return nullptr;
  auto handle = std::make_unique<Handle>();
  handle->x509 = std::move(x509);
  return std::unique_ptr<Certificate>(new Certificate(std::string(der), std::move(handle)));
}

std::vector<NameAttribute> Certificate::Subject() const {
  std::vector<NameAttribute> attributes;
  const X509_NAME* name = X509_get_subject_name(handle_->x509.get());
  for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    attributes.push_back(
        {DottedOid(X509_NAME_ENTRY_get_object(entry)), Utf8Value(X509_NAME_ENTRY_get_data(entry))});
  }
  return attributes;
}

bool Certificate::NamesIssuer(const Certificate& issuer) const {
  return X509_NAME_cmp(X509_get_issuer_name(handle_->x509.get()),
                       X509_get_subject_name(issuer.handle_->x509.get())) == 0;
}

bool Certificate::IsCa() const { return X509_check_ca(handle_->x509.get()) == 1; }

PublicKeyFacts Certificate::Key() const {
  PublicKeyFacts facts;
  const EVP_PKEY* key = X509_get0_pubkey(handle_->x509.get());
  if (key == nullptr) return facts;
  facts.bits = static_cast<unsigned>(EVP_PKEY_get_bits(key));
  if (EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA) {
    facts.kind = PublicKeyFacts::kRsa;
  } else if (EVP_PKEY_get_base_id(key) == EVP_PKEY_EC) {
    char group[64];
    std::size_t length = 0;
    if (EVP_PKEY_get_utf8_string_param(key, "group", group, sizeof group, &length) == 1 &&
        std::string_view(group, length) == "prime256v1") {
      facts.kind = PublicKeyFacts::kEcP256;
    }
  }
  return facts;
}

bool Certificate::SignedBy(const Certificate& issuer) const {
  EVP_PKEY* key = X509_get0_pubkey(issuer.handle_->x509.get());
  return key != nullptr && X509_verify(handle_->x509.get(), key) == 1;
}

bool DecodeBase64(std::string_view text, std::string* der) {
  std::string compact;
  for (const char c : text) {
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') compact += c;
  }
  if (compact.empty() || compact.size() % 4 != 0 || compact.size() > INT_MAX) return false;
  std::string decoded(compact.size() / 4 * 3, '\0');
  const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                                     reinterpret_cast<const unsigned char*>(compact.data()),
                                     static_cast<int>(compact.size()));
  if (length < 0) return false;
  // EVP_DecodeBlock counts the padding's bytes as decoded zeros.
  std::size_t padding = 0;
  while (padding < 2 && compact[compact.size() - 1 - padding] == '=') ++padding;
  decoded.resize(static_cast<std::size_t>(length) - padding);
  *der = std::move(decoded);
  return true;
}

struct DetachedSignature::Handle {
  std::unique_ptr<CMS_ContentInfo, CmsFree> cms;
  /// The signers' digest BIOs in front of a sink: what is written is hashed.
  std::unique_ptr<BIO, BioFreeAll> digests;
  std::size_t fed = 0;
  bool feed_failed = false;
};

DetachedSignature::DetachedSignature(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}

DetachedSignature::~DetachedSignature() = default;

std::unique_ptr<DetachedSignature> DetachedSignature::Decode(std::string_view der,
                                                             std::string* why) {
  if (der.size() > LONG_MAX) return nullptr;
  const auto* start = reinterpret_cast<const unsigned char*>(der.data());
  const unsigned char* at = start;
  auto handle = std::make_unique<Handle>();
  handle->cms.reset(d2i_CMS_ContentInfo(nullptr, &at, static_cast<long>(der.size())));
  if (handle->cms == nullptr || at != start + der.size()) {
    *why = "is not a DER CMS structure";
    return nullptr;
  }
  if (OBJ_obj2nid(CMS_get0_type(handle->cms.get())) != NID_pkcs7_signed) {
    *why = "is not CMS SignedData";
    return nullptr;
  }
  if (CMS_is_detached(handle->cms.get()) != 1) {
    *why = "holds its content instead of being detached from the image";
    return nullptr;
  }
  BIO* sink = BIO_new(BIO_s_null());
  BIO* chain = sink != nullptr ? CMS_dataInit(handle->cms.get(), sink) : nullptr;
  if (chain == nullptr) {
    BIO_free(sink);
    *why = "names a digest that can't be computed";
    return nullptr;
  }
  handle->digests.reset(chain);
  return std::unique_ptr<DetachedSignature>(new DetachedSignature(std::move(handle)));
}

void DetachedSignature::Feed(const std::uint8_t* piece, std::size_t size) {
  while (size > 0 && !handle_->feed_failed) {
    const int chunk = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    if (BIO_write(handle_->digests.get(), piece, chunk) != chunk) handle_->feed_failed = true;
    piece += chunk;
    size -= static_cast<std::size_t>(chunk);
    handle_->fed += static_cast<std::size_t>(chunk);
  }
}

bool DetachedSignature::FinishContent(const std::uint8_t* /*content*/, std::size_t size) {
  // The content was hashed as it was fed: all that is left is to make sure
  // that it was all of it.
  return !handle_->feed_failed && handle_->fed == size;
}

namespace {

CMS_SignerInfo* SignerAt(CMS_ContentInfo* cms, std::size_t index) {
  STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms);
  return sk_CMS_SignerInfo_value(signers, static_cast<int>(index));
}

}  // namespace

std::size_t DetachedSignature::SignerCount() const {
  const int count = sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(handle_->cms.get()));
  return count > 0 ? static_cast<std::size_t>(count) : 0;
}

bool DetachedSignature::SignerUsesSha256(std::size_t index) const {
  X509_ALGOR* digest = nullptr;
  CMS_SignerInfo_get0_algs(SignerAt(handle_->cms.get(), index), nullptr, nullptr, &digest, nullptr);
  const ASN1_OBJECT* object = nullptr;
  X509_ALGOR_get0(&object, nullptr, nullptr, digest);
  return object != nullptr && OBJ_obj2nid(object) == NID_sha256;
}

bool DetachedSignature::SignerIs(std::size_t index, const Certificate& cert) const {
  return CMS_SignerInfo_cert_cmp(SignerAt(handle_->cms.get(), index), cert.handle().x509.get()) ==
         0;
}

bool DetachedSignature::VerifySigner(std::size_t index, const Certificate& cert) const {
  CMS_SignerInfo* signer = SignerAt(handle_->cms.get(), index);
  CMS_SignerInfo_set1_signer_cert(signer, cert.handle().x509.get());
  // With signed attributes the key signs them, and they carry the content's
  // digest; without them it signs the content's digest itself.
  const bool attributes = CMS_signed_get_attr_count(signer) >= 0;
  const bool ok = (!attributes || CMS_SignerInfo_verify(signer) == 1) &&
                  CMS_SignerInfo_verify_content(signer, handle_->digests.get()) == 1;
  CMS_SignerInfo_set1_signer_cert(signer, nullptr);
  return ok;
}

std::vector<std::unique_ptr<Certificate>> DetachedSignature::Certificates() const {
  std::vector<std::unique_ptr<Certificate>> certificates;
  STACK_OF(X509)* carried = CMS_get1_certs(handle_->cms.get());
  for (int i = 0; i < sk_X509_num(carried); ++i) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(sk_X509_value(carried, i), &der);
    if (length <= 0) continue;
    auto cert = Certificate::FromDer(
        std::string_view(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length)));
    OPENSSL_free(der);
    if (cert != nullptr) certificates.push_back(std::move(cert));
  }
  sk_X509_pop_free(carried, X509_free);
  return certificates;
}
