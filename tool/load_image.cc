#include "tool/load_image.h"

#include <cstring>

#include "image/image_file.h"
#include "image/image_format.h"
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

}  // namespace

FirmwareImage LoadFirmwareImage(const Settings& settings) {
  if (settings.Pause) PauseForOperator();
  if (settings.Verbose) {
    DpbPrint("Loading firmware file: %s\n", PrintableText(settings.FirmwarePath, false).c_str());
  }
  const ImageFormat format = settings.AifImage ? ImageFormat::kAif : ImageFormat::kAdapterFirmware;
  // A file whose image no download could carry is refused before it is read.
  const ImageFileRead file =
      ReadImageFile(settings.FirmwarePath, kServiceAllocator, LargestImageFile(format));
  if (!file.ok()) ErrorExit("%s", file.message.c_str());
  const ImageCheck check =
      CheckImageBytes(file.buffer, file.size, format, settings.FirmwarePath, file.whole_file_lrc);
  if (settings.Verbose && check.has_header) PrintHeaderSummary(check.header);
  if (!check.ok()) ErrorExit("%s", check.message.c_str());
  FirmwareImage image = check.image;
  image.Buffer = file.buffer;
  return image;
}
