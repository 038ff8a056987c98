#include "tool/load_image.h"

#include <cstring>
#include <optional>
#include <string>

#include "image/image_file.h"
#include "image/image_format.h"
#include "image/signature_file.h"
#include "services/issuing.h"
#include "tool/error_exit.h"
#include "tool/operator_input.h"
#include "util/printable_text.h"

namespace {

constexpr std::uint8_t kAllocationSelector = 0;

void* AllocateBlock(std::uint32_t size) { return DpbAllocate(size, kAllocationSelector); }

void FreeBlock(void* block) { DpbFree(block); }

constexpr ImageBlockAllocator kServiceAllocator{AllocateBlock, FreeBlock};

/// Waits for one line (of any length) on standard input; a true end of
/// input also ends the wait. Input that can't be read ends the run before
/// the file is opened: no read error is taken for the operator's go-ahead.
void PauseForOperator() {
  DpbPrint("Ready to load firmware, press Enter when ready ... ");
  const OperatorAnswer answer = WaitForOperatorLine();
  if (answer.kind == OperatorAnswer::kReadError) {
    ErrorExit("can't read standard input: %s", std::strerror(answer.error));
  }
}

/// The header's own values, printed before they are checked so that an
/// operator sees what a refused file claims. Its texts are shown, not sent:
/// no file controls the console.
void PrintHeaderSummary(const FirmwareHeader& header) {
  DpbPrint("Loaded firmware file, CodeID=%8s, length=%lu (0x%05lx), LRC=0x%08lx\n",
           PrintableText(header.CodeID, false).c_str(), header.DataLength, header.DataLength,
           header.LRC);
  DpbPrint("Copyright message :-\n---\n%s\n---\n",
           PrintableText(header.CopyrightText, true).c_str());
}

/// The last part of a path, as the signature's reasons name it.
std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

/// Reads the image's signature file, before the image, so that the image
/// can be hashed while it is read.
SignatureCheck StartSignatureCheck(const char* image_path) {
  SignatureFileRead file = ReadSignatureFile(image_path);
  std::string name = BaseName(file.path);
  switch (file.outcome) {
    case SignatureFileRead::kMissing:
      return SignatureCheck::Missing(std::move(name));
    case SignatureFileRead::kUnreadable:
      return SignatureCheck::Unreadable(std::move(name));
    case SignatureFileRead::kRead:
      break;
  }
  return SignatureCheck::FromBytes(std::move(name), file.bytes);
}

/// Ends the run when the trust folder is faulty or doesn't accept the
/// image's signature; fills `report` when asked for.
void JudgeSignature(const Settings& settings, const TrustFolder& trust, const ImageFileRead& file,
                    SignatureCheck* signature, ImageSignatureReport* report) {
  if (!trust.error.empty()) ErrorExit("%s", trust.error.c_str());
  const SignatureVerdict verdict = signature->Finish(file.buffer, file.size, trust);
  if (trust.configured && verdict.state != SignatureState::kValid) {
    const bool missing = verdict.state == SignatureState::kMissing;
    ErrorExit("%s: %s%s", settings.FirmwarePath, verdict.reason.c_str(),
              missing ? ": only images signed by a trusted publisher are loaded here" : "");
  }
  if (report != nullptr) *report = {trust.configured, verdict};
}

}  // namespace

FirmwareImage LoadFirmwareImage(const Settings& settings, ImageSignatureReport* report) {
  return LoadFirmwareImageTrusting(settings, ReadProgramTrustFolder(), report);
}

FirmwareImage LoadFirmwareImageTrusting(const Settings& settings, const TrustFolder& trust,
                                        ImageSignatureReport* report) {
  if (settings.Pause) PauseForOperator();
  if (settings.Verbose) {
    DpbPrint("Loading firmware file: %s\n", PrintableText(settings.FirmwarePath, false).c_str());
  }
  const ImageFormat format = settings.AifImage ? ImageFormat::kAif : ImageFormat::kAdapterFirmware;
  std::optional<SignatureCheck> signature;
  ImagePieceObserver hash_piece;
  if (trust.configured || report != nullptr) {
    signature.emplace(StartSignatureCheck(settings.FirmwarePath));
    hash_piece = [&signature](const std::uint8_t* piece, std::uint32_t size) {
      signature->Feed(piece, size);
    };
  }
  // A file whose image no download could carry is refused before it is read.
  const ImageFileRead file =
      ReadImageFile(settings.FirmwarePath, kServiceAllocator, LargestImageFile(format), hash_piece);
  if (!file.ok()) ErrorExit("%s", file.message.c_str());
  const ImageCheck check =
      CheckImageBytes(file.buffer, file.size, format, settings.FirmwarePath, file.whole_file_lrc);
  if (settings.Verbose && check.has_header) PrintHeaderSummary(check.header);
  if (!check.ok()) ErrorExit("%s", check.message.c_str());
  // After the format's own checks, so that each keeps its message.
  if (signature) JudgeSignature(settings, trust, file, &*signature, report);
  FirmwareImage image = check.image;
  image.Buffer = file.buffer;
  return image;
}
