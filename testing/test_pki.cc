#include "testing/test_pki.h"

#include <atomic>

#include "testing/run_process.h"

namespace testing_support {
namespace {

constexpr char kOpenssl[] = "/usr/bin/openssl";

// The CA's configuration for `openssl ca`, which alone sets any dates.
constexpr char kCaConfig[] =
    "[ca]\ndefault_ca = test\n[test]\ndatabase = index.txt\nnew_certs_dir = .\n"
    "serial = serial\ndefault_md = sha256\npolicy = names\nunique_subject = no\n"
    "[names]\norganizationName = optional\ncommonName = supplied\n";

}  // namespace

TestPki::TestPki() {
  ok_ = !dir_.path().empty() && MakeCa() &&
        Issue("publisher", "rsa:2048", "20200101000000Z", "20991231235959Z") &&
        Issue("ec-publisher", "ec", "20200101000000Z", "20991231235959Z") &&
        Issue("weak-publisher", "rsa:1024", "20200101000000Z", "20991231235959Z") &&
        Issue("expired-publisher", "rsa:2048", "20000101000000Z", "20010101000000Z") &&
        Run({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", Key("rogue"), "-out",
             Certificate("rogue"), "-subj", "/O=Tests/CN=publisher", "-days", "3650"});
}

bool TestPki::Run(const std::vector<std::string>& args) const {
  // openssl ca writes its files in the folder it runs in.
  std::vector<std::string> command = {"-c", "cd \"$0\" && exec \"$@\"", dir(), kOpenssl};
  command.insert(command.end(), args.begin(), args.end());
  return RunProcess("/bin/sh", command).status == 0;
}

bool TestPki::MakeCa() {
  dir_.Write("ca.cnf", kCaConfig);
  dir_.Write("index.txt", "");
  dir_.Write("serial", "1000\n");
  return Run({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", Key("ca"), "-out",
              Certificate("ca"), "-subj", "/O=Tests/CN=Test CA", "-days", "36500", "-addext",
              "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=keyCertSign"});
}

bool TestPki::Issue(const std::string& party, const std::string& key_options,
                    const std::string& start, const std::string& end) {
  const std::string request = dir() + "/" + party + ".csr";
  std::vector<std::string> key = {"-newkey", key_options};
  if (key_options == "ec") key = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256"};
  std::vector<std::string> make_request = {"req"};
  make_request.insert(make_request.end(), key.begin(), key.end());
  const std::vector<std::string> rest = {
      "-nodes", "-keyout", Key(party), "-out", request, "-subj", "/O=Tests/CN=" + party};
  make_request.insert(make_request.end(), rest.begin(), rest.end());
  return Run(make_request) &&
         Run({"ca", "-batch", "-config", "ca.cnf", "-cert", Certificate("ca"), "-keyfile",
              Key("ca"), "-in", request, "-out", Certificate(party), "-startdate", start,
              "-enddate", end, "-notext"}) &&
         Run({"x509", "-in", Certificate(party), "-outform", "DER", "-out",
              dir() + "/" + party + ".der"});
}

std::string TestPki::Certificate(const std::string& party) const {
  return dir() + "/" + party + ".crt";
}

std::string TestPki::Key(const std::string& party) const { return dir() + "/" + party + ".key"; }

std::string TestPki::CertificateDer(const std::string& party) const {
  if (ReadFile(dir() + "/" + party + ".der").empty()) {
    Run({"x509", "-in", Certificate(party), "-outform", "DER", "-out",
         dir() + "/" + party + ".der"});
  }
  return ReadFile(dir() + "/" + party + ".der");
}

std::string TestPki::Sign(const std::string& content, const std::string& party,
                          const std::vector<std::string>& extra) const {
  static std::atomic<int> serial{0};
  const std::string name = "content-" + std::to_string(serial++);
  const std::string in = dir_.Write(name, content);
  const std::string out = in + ".p7s";
  std::vector<std::string> args = {
      "cms",    "-sign",    "-binary",  "-md", "sha256", "-in", in, "-signer", Certificate(party),
      "-inkey", Key(party), "-outform", "DER", "-out",   out};
  args.insert(args.end(), extra.begin(), extra.end());
  return Run(args) ? ReadFile(out) : "";
}

bool TestPki::OpensslAccepts(const std::string& content, const std::string& signature,
                             const std::string& anchor) const {
  static std::atomic<int> serial{0};
  const std::string name = "verify-" + std::to_string(serial++);
  const std::string in = dir_.Write(name, content);
  const std::string sig = dir_.Write(name + ".p7s", signature);
  return Run({"cms", "-verify", "-binary", "-inform", "DER", "-in", sig, "-content", in, "-CAfile",
              anchor, "-partial_chain", "-purpose", "any", "-no_check_time", "-out", "/dev/null"});
}

}  // namespace testing_support
