// Publisher signatures as an administrator and an operator meet them: copies
// of the built programs in a folder of the test's own with a
// trusted-publishers folder beside them, a throwaway CA made with openssl,
// and images signed as a publisher signs them. Every refusal must leave the
// trace without a single transaction; every verdict must be the one that
// `openssl cms -verify` reaches (and, run again under Wine, the one of
// crypt32).
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "testing/machine_builder.h"
#include "testing/program_copy.h"
#include "testing/run_process.h"
#include "testing/scenario.h"
#include "testing/scratch_dir.h"
#include "testing/test_pki.h"

namespace {

using testing_support::Adapter;
using testing_support::AdapterFirmwareFile;
using testing_support::CopyBuiltProgram;
using testing_support::Machine;
using testing_support::OfOp;
using testing_support::ProcessResult;
using testing_support::RunProcess;
using testing_support::ScenarioFiles;
using testing_support::ScenarioResult;
using testing_support::TempDir;
using testing_support::TestPayload;
using testing_support::TestPki;
using testing_support::UnderWine;

const TestPki& Pki() {
  static const TestPki pki;
  return pki;
}

const std::string& Image() {
  static const std::string image = AdapterFirmwareFile(TestPayload(5000, 29), "SIGNED01");
  return image;
}

/// The programs installed in a folder of their own, with the trust folder
/// beside them holding what a test puts there.
class Installation {
 public:
  Installation() {
    loader_ = CopyBuiltProgram("qxfwload", dir_.path());
    scanner_ = CopyBuiltProgram("qxfwscan", dir_.path());
    image_tool_ = CopyBuiltProgram("qxfwimage", dir_.path());
  }
  bool ok() const { return !loader_.empty() && !scanner_.empty() && !image_tool_.empty(); }
  std::string TrustFolder() const { return dir_.path() + "/trusted-publishers"; }
  void Trust(const std::string& name, const std::string& contents) const {
    std::filesystem::create_directories(TrustFolder());
    dir_.Write("trusted-publishers/" + name, contents);
  }
  const std::string& loader() const { return loader_; }
  const std::string& scanner() const { return scanner_; }
  const std::string& image_tool() const { return image_tool_; }

 private:
  TempDir dir_;
  std::string loader_, scanner_, image_tool_;
};

Machine TwoAdapters() {
  Machine machine = Machine::WithPortsFor({11, 12});
  machine.Add(Adapter(11).Ll("1A")).Add(Adapter(12).Ll("1A"));
  return machine;
}

/// `program` run with `args` ("@fw.L1A" for the image) on two adapters of
/// the image's LL; `signature`, when given, lies beside the image.
ScenarioResult RunOn(const std::string& program, const std::string& image,
                     const std::optional<std::string>& signature,
                     const std::vector<std::string>& args) {
  std::vector<std::pair<std::string, std::string>> files = {{"fw.L1A", image}};
  if (signature) files.emplace_back("fw.L1A.p7s", *signature);
  const ScenarioFiles scenario(TwoAdapters(), files);
  return scenario.Result(RunProcess(program, scenario.Args(args), scenario.Options()));
}

std::string WithLrcFixed(std::string image, std::size_t at) {
  image[at] = static_cast<char>(image[at] ^ 0x01);
  const std::string payload = image.substr(272);
  const std::uint32_t lrc = testing_support::PayloadLrc(payload);
  for (int i = 0; i < 4; ++i) image[256 + i] = static_cast<char>(lrc >> (24 - 8 * i));
  return image;
}

std::vector<std::string> SignOptions(bool attributes) {
  return attributes ? std::vector<std::string>{} : std::vector<std::string>{"-noattr"};
}

class Signatures : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Pki().ok()) << "openssl could not make the test CA in " << Pki().dir();
    ASSERT_TRUE(install_.ok());
  }
  Installation install_;
};

TEST_F(Signatures, SignedImagesDownloadAndEveryRefusalSendsNothing) {
  install_.Trust("ca.crt", testing_support::ReadFile(Pki().Certificate("ca")));
  const std::string image = Image();
  const std::string signature = Pki().Sign(image, "publisher");
  ASSERT_FALSE(signature.empty());

  for (const auto& [party, extra] :
       std::vector<std::pair<std::string, std::vector<std::string>>>{{"publisher", {}},
                                                                     {"publisher", {"-noattr"}},
                                                                     {"ec-publisher", {}},
                                                                     {"ec-publisher", {"-noattr"}},
                                                                     {"expired-publisher", {}}}) {
    SCOPED_TRACE(party + (extra.empty() ? "" : " " + extra[0]));
    const ScenarioResult r =
        RunOn(install_.loader(), image, Pki().Sign(image, party, extra), {"@fw.L1A"});
    EXPECT_EQ(r.run.status, 0) << r.run.err;
    EXPECT_NE(r.run.out.find("2 successful downloads performed"), std::string::npos) << r.run.out;
    const auto downloads = OfOp(r.transactions, "download");
    ASSERT_EQ(downloads.size(), 2u);
    for (const auto& t : downloads) EXPECT_TRUE(t.data_out == image.substr(272));
  }

  std::string changed_signature = signature;
  changed_signature.back() = static_cast<char>(changed_signature.back() ^ 0x01);
  struct Refusal {
    std::string what, image;
    std::optional<std::string> signature;
    std::string line;
  };
  const std::vector<Refusal> refusals = {
      {"no signature", image, std::nullopt,
       "fw.L1A: no signature file fw.L1A.p7s beside the image"},
      {"a changed image", WithLrcFixed(image, 1000), signature,
       "fw.L1A: fw.L1A.p7s does not match the image"},
      {"a changed signature", image, changed_signature,
       "fw.L1A: fw.L1A.p7s does not match the image"},
      {"a rogue publisher", image, Pki().Sign(image, "rogue"),
       "fw.L1A: signer \"O=Tests, CN=publisher\" is not vouched for"},
      {"a weak key", image, Pki().Sign(image, "weak-publisher"),
       "has a key that is neither RSA of 2048 bits or more nor ECDSA P-256"},
      {"a truncated signature", image, signature.substr(0, signature.size() / 2),
       "fw.L1A: fw.L1A.p7s is not a detached signature"},
      {"a signature with a byte after it", image, signature + "x",
       "fw.L1A: fw.L1A.p7s is not a detached signature"},
      {"an empty signature", image, std::string(),
       "fw.L1A: fw.L1A.p7s is not a detached signature"},
      {"a PEM signature", image, Pki().Sign(image, "publisher", {"-outform", "PEM"}),
       "fw.L1A: fw.L1A.p7s is PEM text"},
  };
  for (const Refusal& refusal : refusals) {
    for (const std::vector<std::string>& options :
         std::vector<std::vector<std::string>>{{}, {"-f"}, {"-f", "-a", "11"}, {"-a", "12"}}) {
      SCOPED_TRACE(refusal.what + " with " + std::to_string(options.size()) + " options");
      std::vector<std::string> args = options;
      args.push_back("@fw.L1A");
      const ScenarioResult r = RunOn(install_.loader(), refusal.image, refusal.signature, args);
      EXPECT_EQ(r.run.status, 1);
      EXPECT_NE(r.run.err.find("qxfwload: "), std::string::npos) << r.run.err;
      EXPECT_NE(r.run.err.find(refusal.line), std::string::npos) << r.run.err;
      EXPECT_TRUE(r.transactions.empty()) << "a refused image reached an adapter";
    }
  }
}

TEST_F(Signatures, AnEmptyOrMissingTrustFolderChangesNothing) {
  const ScenarioFiles scenario(TwoAdapters(), {{"fw.L1A", Image()}});
  const auto run = [&] {
    return scenario.Result(
        RunProcess(install_.loader(), scenario.Args({"@fw.L1A"}), scenario.Options()));
  };
  const ScenarioResult before = run();
  std::filesystem::create_directories(install_.TrustFolder());
  const ScenarioResult empty = run();
  // A broken signature is no one's business while no publisher is trusted.
  testing_support::TempDir unused;
  std::filesystem::copy_file(unused.Write("fw.L1A.p7s", "garbage"), scenario.dir() + "/fw.L1A.p7s");
  const ScenarioResult ignored = run();
  EXPECT_EQ(before.run.status, 0);
  for (const ScenarioResult* r : {&empty, &ignored}) {
    EXPECT_EQ(r->run.out, before.run.out);
    EXPECT_EQ(r->run.err, before.run.err);
    EXPECT_EQ(r->run.status, before.run.status);
    ASSERT_EQ(r->transactions.size(), before.transactions.size());
    for (std::size_t i = 0; i < r->transactions.size(); ++i) {
      EXPECT_EQ(r->transactions[i].op, before.transactions[i].op);
      EXPECT_TRUE(r->transactions[i].data_out == before.transactions[i].data_out);
    }
  }
}

TEST_F(Signatures, AFaultyTrustFolderRefusesEveryImageNamingTheFile) {
  const std::string image = Image();
  const std::string signature = Pki().Sign(image, "publisher");
  install_.Trust("ca.crt", testing_support::ReadFile(Pki().Certificate("ca")));
  install_.Trust("junk.cer", "not a certificate");
  for (const auto& args : std::vector<std::vector<std::string>>{{"@fw.L1A"}, {"-f", "@fw.L1A"}}) {
    const ScenarioResult r = RunOn(install_.loader(), image, signature, args);
    EXPECT_EQ(r.run.status, 1);
    EXPECT_NE(r.run.err.find("qxfwload: junk.cer in trusted-publishers is not an X.509"),
              std::string::npos)
        << r.run.err;
    EXPECT_TRUE(r.transactions.empty());
  }
  // A folder of nothing but faults doesn't leave the check off either.
  std::filesystem::remove(install_.TrustFolder() + "/ca.crt");
  install_.Trust("notes.txt", "the publisher's certificate goes here");
  const ScenarioResult r = RunOn(install_.loader(), image, signature, {"@fw.L1A"});
  EXPECT_EQ(r.run.status, 1);
  EXPECT_NE(r.run.err.find("junk.cer in trusted-publishers"), std::string::npos) << r.run.err;
  EXPECT_TRUE(r.transactions.empty());
}

TEST_F(Signatures, APublishersOwnCertificateIsAnAnchorInDerOrPem) {
  const std::string image = Image();
  for (const bool der : {true, false}) {
    Installation install;
    install.Trust(der ? "publisher.cer" : "publisher.pem",
                  der ? Pki().CertificateDer("publisher")
                      : testing_support::ReadFile(Pki().Certificate("publisher")));
    // Without the certificates in it, the signature names its signer only.
    const std::string signature = Pki().Sign(image, "publisher", {"-nocerts"});
    const ScenarioResult r = RunOn(install.scanner(), image, signature, {"--json", "@fw.L1A"});
    ASSERT_EQ(r.run.status, 0) << r.run.err;
    const nlohmann::json report = nlohmann::json::parse(r.run.out);
    EXPECT_EQ(report["image"]["signature"],
              nlohmann::json::parse(std::string(R"({"required": true, "state": "valid",
                  "signer": "O=Tests, CN=publisher", "anchor": ")") +
                                    (der ? "publisher.cer" : "publisher.pem") + "\"}"));
    EXPECT_EQ(report["plan"]["downloads"], 2);
  }
}

TEST_F(Signatures, ScanRefusesWhatTheLoaderRefuses) {
  install_.Trust("ca.crt", testing_support::ReadFile(Pki().Certificate("ca")));
  const std::string image = Image();
  const ScenarioResult r =
      RunOn(install_.scanner(), image, Pki().Sign(image, "rogue"), {"--json", "@fw.L1A"});
  EXPECT_EQ(r.run.status, 1);
  EXPECT_NE(r.run.err.find("qxfwscan: "), std::string::npos);
  EXPECT_NE(r.run.err.find("is not vouched for by any certificate in trusted-publishers"),
            std::string::npos)
      << r.run.err;
  EXPECT_EQ(r.run.out, "");
  EXPECT_TRUE(r.transactions.empty()) << "the scan went on to probe";
}

// Random damage to the signature and the image, judged by qxfwimage info
// and by `openssl cms -verify` with the same anchor: they must agree on
// every case, and name it the same way under Wine.
TEST_F(Signatures, VerdictsAgreeWithOpensslOnGeneratedDamage) {
  install_.Trust("ca.crt", testing_support::ReadFile(Pki().Certificate("ca")));
  const std::string image = Image();
  std::mt19937 random(20240529);
  const std::vector<std::string> parties = {"publisher", "ec-publisher", "rogue"};
  const int cases = UnderWine() ? 24 : 60;
  int accepted = 0;
  for (int i = 0; i < cases; ++i) {
    const std::string party = parties[random() % parties.size()];
    const bool attributes = random() % 2 == 0;
    std::string content = image;
    std::string signature = Pki().Sign(content, party, SignOptions(attributes));
    ASSERT_FALSE(signature.empty());
    switch (random() % 3) {
      case 0:
        break;
      case 1: {
        const std::size_t at = random() % signature.size();
        signature[at] = static_cast<char>(signature[at] ^ (1 << (random() % 8)));
        break;
      }
      case 2:
        content = WithLrcFixed(content, 272 + random() % (content.size() - 272));
        break;
    }
    SCOPED_TRACE("case " + std::to_string(i) + ": " + party);
    const TempDir files;
    const std::string path = files.Write("fw.L1A", content);
    files.Write("fw.L1A.p7s", signature);
    const ProcessResult info = RunProcess(install_.image_tool(), {"info", "--json", path});
    const nlohmann::json report = nlohmann::json::parse(info.out, nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << info.out << info.err;
    const bool ours = report["signature"]["state"] == "valid";
    const bool openssl = Pki().OpensslAccepts(content, signature, Pki().Certificate("ca"));
    EXPECT_EQ(ours, openssl) << report.dump();
    accepted += ours;
  }
  EXPECT_GT(accepted, 0);
}

TEST_F(Signatures, AQuarterGigabyteSignedImageLoads) {
  if (testing_support::UnderWrapper()) GTEST_SKIP() << "too slow under the wrapper";
  install_.Trust("ca.crt", testing_support::ReadFile(Pki().Certificate("ca")));
  const std::string image = AdapterFirmwareFile(TestPayload((256u << 20) - 272, 7), "BIGIMAGE");
  Machine machine = Machine::WithPortsFor({11});
  machine.Add(Adapter(11).Ll("1A"));
  const ScenarioFiles scenario(machine, {{"fw.L1A", image},
                                         {"fw.L1A.p7s", Pki().Sign(image, "ec-publisher")},
                                         {"changed.L1A", WithLrcFixed(image, 200u << 20)}});
  std::filesystem::copy_file(scenario.dir() + "/fw.L1A.p7s", scenario.dir() + "/changed.L1A.p7s");
  // No trace: a quarter gigabyte of image in hexadecimal would cost more
  // than the run.
  testing_support::ProcessOptions options;
  options.env = {"QXFW_MACHINE=" + scenario.dir() + "/machine.json"};
  options.unset = {"QXFW_TRACE"};
  const ProcessResult loaded = RunProcess(install_.loader(), scenario.Args({"@fw.L1A"}), options);
  EXPECT_EQ(loaded.status, 0) << loaded.err;
  EXPECT_NE(loaded.out.find("Downloading BIGIMAGE to adapter, node=11 ... done\n"
                            "1 successful download performed\n"),
            std::string::npos)
      << loaded.out;
  const ProcessResult changed =
      RunProcess(install_.loader(), scenario.Args({"@changed.L1A"}), options);
  EXPECT_EQ(changed.status, 1);
  EXPECT_NE(changed.err.find("changed.L1A.p7s does not match the image"), std::string::npos)
      << changed.err;
  EXPECT_EQ(changed.out.find("Downloading"), std::string::npos) << changed.out;
}

}  // namespace
