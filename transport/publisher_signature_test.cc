#include "transport/publisher_signature.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "testing/scratch_dir.h"

namespace {

// A self-signed ECDSA P-256 CA certificate, "O=Unit, CN=anchor".
constexpr char kBase64[] =
    "MIIBljCCAT2gAwIBAgIUAYwem8y7VTmRqh+eQ0jO00mw8RswCgYIKoZIzj0EAwIwIDENMAsGA1UE\n"
    "CgwEVW5pdDEPMA0GA1UEAwwGYW5jaG9yMCAXDTI2MTIxMTE3MjUzNloYDzIxMjYxMTE3MTcyNTM2\n"
    "WjAgMQ0wCwYDVQQKDARVbml0MQ8wDQYDVQQDDAZhbmNob3IwWTATBgcqhkjOPQIBBggqhkjOPQMB\n"
    "BwNCAATx96iQTLDugC0zH3l/5Ypkt7CY7UZn9fXS2/rnpetnZe+P64ty5YMetbEFqQv2g3rNw2TA\n"
    "H+URBnDBuNkWIQfWo1MwUTAdBgNVHQ4EFgQUYSZHKIRGkWFtHQeSVUD7rwXOoIQwHwYDVR0jBBgw\n"
    "FoAUYSZHKIRGkWFtHQeSVUD7rwXOoIQwDwYDVR0TAQH/BAUwAwEB/zAKBggqhkjOPQQDAgNHADBE\n"
    "AiAi/jALHMpkzboaHeUx7t3NT2WK5XfdH0ke6RGMe4r4AAIgZLVhpEIkw+lSitgLh8Tidr3IskVv\n"
    "RUZGXN4tVqvHevg=\n";

std::string Pem() {
  return std::string("-----BEGIN CERTIFICATE-----\n") + kBase64 + "-----END CERTIFICATE-----\n";
}

std::string Der() {
  std::string der;
  EXPECT_TRUE(DecodeBase64(kBase64, &der));
  return der;
}

TEST(TrustFolderTest, MissingOrEmptyConfiguresNothing) {
  const testing_support::TempDir dir;
  const TrustFolder missing = ReadTrustFolder(dir.path() + "/trusted-publishers");
  EXPECT_FALSE(missing.configured);
  EXPECT_EQ(missing.error, "");
  const TrustFolder empty = ReadTrustFolder(dir.path());
  EXPECT_FALSE(empty.configured);
  EXPECT_TRUE(empty.anchors.empty());
}

TEST(TrustFolderTest, DerAndPemCertificatesAreAnchorsInTheOrderOfTheirNames) {
  const testing_support::TempDir dir;
  dir.Write("b.CER", Der());
  dir.Write("a.pem", "a comment before the block\n" + Pem());
  const TrustFolder trust = ReadTrustFolder(dir.path());
  ASSERT_TRUE(trust.configured);
  EXPECT_EQ(trust.error, "");
  ASSERT_EQ(trust.anchors.size(), 2u);
  EXPECT_EQ(trust.anchors[0].file, "a.pem");
  EXPECT_EQ(trust.anchors[1].file, "b.CER");
  EXPECT_EQ(trust.anchors[0].cert->der(), trust.anchors[1].cert->der());
  const Certificate& cert = *trust.anchors[0].cert;
  EXPECT_EQ(SubjectText(cert), "O=Unit, CN=anchor");
  EXPECT_TRUE(cert.IsCa());
  EXPECT_EQ(cert.Key().kind, PublicKeyFacts::kEcP256);
  EXPECT_TRUE(cert.NamesIssuer(cert));
  EXPECT_TRUE(cert.SignedBy(cert));
}

// Each fault beside a sound anchor: the folder still configures the check,
// and its error names the faulty file.
TEST(TrustFolderTest, EveryFaultyFileRefusesEverythingAndIsNamed) {
  std::string changed = Der();
  changed[changed.size() - 10] = static_cast<char>(changed[changed.size() - 10] ^ 0x40);
  const struct {
    const char* name;
    std::string contents;
    const char* error;
  } faults[] = {
      {"c.txt", Pem(), "c.txt in trusted-publishers is not a certificate file"},
      {"c.cer", Der() + "x", "c.cer in trusted-publishers is not an X.509 certificate"},
      {"c.crt", "", "c.crt in trusted-publishers is not an X.509 certificate"},
      {"c.pem", Pem() + Pem(), "c.pem in trusted-publishers holds more than one PEM block"},
      {"c.pem", "-----BEGIN CERTIFICATE-----\n!!\n-----END CERTIFICATE-----\n",
       "c.pem in trusted-publishers is PEM, but not of an X.509 certificate"},
      {"c.pem", "-----BEGIN CERTIFICATE-----\n" + std::string(kBase64),
       "c.pem in trusted-publishers is PEM without its END CERTIFICATE line"},
  };
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.error);
    const testing_support::TempDir dir;
    dir.Write("anchor.cer", Der());
    dir.Write(fault.name, fault.contents);
    const TrustFolder trust = ReadTrustFolder(dir.path());
    EXPECT_TRUE(trust.configured);
    EXPECT_EQ(trust.error.rfind(fault.error, 0), 0u) << trust.error;
    EXPECT_EQ(trust.anchors.size(), 1u);
  }
  const testing_support::TempDir dir;
  std::filesystem::create_directory(dir.path() + "/sub.cer");
  const TrustFolder trust = ReadTrustFolder(dir.path());
  EXPECT_TRUE(trust.configured);
  EXPECT_EQ(trust.error,
            "sub.cer in trusted-publishers is not a certificate file (*.cer, *.crt "
            "or *.pem)");
  // A certificate whose signature bytes were changed still decodes, but no
  // longer verifies under its own key.
  const auto damaged = Certificate::FromDer(changed);
  ASSERT_NE(damaged, nullptr);
  EXPECT_FALSE(damaged->SignedBy(*damaged));
}

TEST(SignatureCheckTest, WhatIsKnownBeforeTheContentIsTheVerdict) {
  const TrustFolder none;
  const std::uint8_t content[] = {1, 2, 3};
  EXPECT_EQ(SignatureCheck::Missing("x.p7s").Finish(content, 3, none).state,
            SignatureState::kMissing);
  for (const std::string& bytes : {std::string(), std::string("\x30\x03\x02\x01", 4), Der(),
                                   std::string("-----BEGIN CMS-----\n")}) {
    SignatureCheck check = SignatureCheck::FromBytes("x.p7s", bytes);
    check.Feed(content, 3);
    const SignatureVerdict verdict = check.Finish(content, 3, none);
    EXPECT_EQ(verdict.state, SignatureState::kMalformed);
    EXPECT_EQ(verdict.reason.rfind("x.p7s is ", 0), 0u) << verdict.reason;
  }
}

}  // namespace
