// A signed load against the same read plus SHA-256 of the file through the
// same library (libcrypto): what checking a publisher's signature costs
// beyond the hash that no check can do without.
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "bench/bench_support.h"
#include "bench/cases.h"
#include "image/image_format.h"
#include "qxfwimage/pack.h"
#include "record/platform_memory.h"
#include "services/inject.h"
#include "services/issuing.h"
#include "tool/load_image.h"

namespace bench {
namespace {

constexpr char kCodeId[] = "BENCHSIG";

/// A firmware file, its signature by a throwaway publisher made with the
/// openssl command, and the trust folder that holds the publisher's
/// certificate; removed when the program exits.
class SignedFile {
 public:
  explicit SignedFile(std::uint32_t file_size) {
    const std::uint32_t payload_size = file_size - kFirmwareHeaderSize;
    const std::vector<std::uint8_t>& payload = PatternBytes(payload_size);
    const FirmwareHeader header =
        MakeFirmwareHeader(kCodeId, "(c) signed benchmark image", payload.data(), payload_size);
    std::uint8_t encoded[kFirmwareHeaderSize];
    EncodeFirmwareHeader(header, encoded);
    file_ = std::make_unique<ScratchFile>(std::vector<std::pair<const void*, std::size_t>>{
        {encoded, sizeof encoded}, {payload.data(), payload.size()}});
    folder_ = file_->path() + ".trust";
    const std::string& f = file_->path();
    const std::string command =
        "mkdir -p '" + folder_ + "' && cd '" + folder_ + "' && " +
        "openssl req -x509 -newkey rsa:3072 -nodes -keyout key.pem -out publisher.crt " +
        "-subj /CN=bench -days 30 2>/dev/null && openssl cms -sign -binary -md sha256 -in '" + f +
        "' -signer publisher.crt -inkey key.pem -outform DER -out '" + f + ".p7s' && rm key.pem";
    ok_ = !f.empty() && std::system(command.c_str()) == 0;
  }
  ~SignedFile() {
    std::error_code error;
    std::filesystem::remove_all(folder_, error);
    std::filesystem::remove(file_->path() + ".p7s", error);
  }
  bool ok() const { return ok_; }
  const std::string& path() const { return file_->path(); }
  const std::string& trust_folder() const { return folder_; }

 private:
  std::unique_ptr<ScratchFile> file_;
  std::string folder_;
  bool ok_ = false;
};

const SignedFile& File(std::uint32_t file_size) {
  static const SignedFile file(file_size);
  return file;
}

// The downloader's image phase with a publisher trusted: the trust folder
// read, the signature read and decoded, the file read in pieces that are
// summed and hashed while cached, the header and LRC checked, the signature
// verified against the hash and the signer found among the anchors.
void SignedLoadCase(benchmark::State& state, std::uint32_t file_size) {
  const SignedFile& file = File(file_size);
  if (!file.ok()) return FailCase(state, "the signed file could not be made (openssl)");
  SetInjectEntry(Inject);
  Settings settings;
  settings.Verbose = 0;
  settings.FirmwarePath = file.path().c_str();
  RunWarmedUp(state, [&] {
    const TrustFolder trust = ReadTrustFolder(file.trust_folder());
    if (!trust.configured) FailCase(state, "the trust folder holds nothing");
    ImageSignatureReport report;
    const FirmwareImage image = LoadFirmwareImageTrusting(settings, trust, &report);
    benchmark::DoNotOptimize(image.LRC);
    DpbFree(image.Buffer);
    if (report.verdict.state == SignatureState::kValid) return true;
    FailCase(state, "the signature was not found valid: " + report.verdict.reason);
    return false;
  });
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * file_size);
}

// The least a signed load must do: the file read whole into a block of its
// size, then its SHA-256 computed by the same library in one call.
void FreadSha256Case(benchmark::State& state, std::uint32_t file_size) {
  const SignedFile& file = File(file_size);
  if (!file.ok()) return FailCase(state, "the signed file could not be made (openssl)");
  RunWarmedUp(state, [&] {
    std::FILE* stream = std::fopen(file.path().c_str(), "rb");
    void* block = PlatformAllocate(file_size);
    const std::size_t got =
        stream != nullptr && block != nullptr ? std::fread(block, 1, file_size, stream) : 0;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_size = 0;
    const bool hashed = got == file_size &&
                        EVP_Digest(block, got, digest, &digest_size, EVP_sha256(), nullptr) == 1;
    benchmark::DoNotOptimize(digest);
    PlatformFree(block);
    if (stream != nullptr) std::fclose(stream);
    if (hashed) return true;
    FailCase(state, "the file could not be read and hashed");
    return false;
  });
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * file_size);
}

}  // namespace

void RegisterSignatureCases(std::uint32_t file_size, int iterations) {
  const std::string group = "SignedLoad_" + SizeName(file_size);
  RegisterCase(group + "/LoadFirmwareImage", iterations,
               [file_size](benchmark::State& state) { SignedLoadCase(state, file_size); });
  RegisterCase(group + "/fread_sha256", iterations,
               [file_size](benchmark::State& state) { FreadSha256Case(state, file_size); });
}

}  // namespace bench
