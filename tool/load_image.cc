#include "tool/load_image.h"

#include <cstdio>

#include "image/image_file.h"
#include "image/image_format.h"
#include "services/issuing.h"
#include "tool/error_exit.h"

namespace {

constexpr std::uint8_t kAllocationSelector = 0;

void* AllocateBlock(std::uint32_t size) { return DpbAllocate(size, kAllocationSelector); }

void FreeBlock(void* block) { DpbFree(block); }

constexpr ImageBlockAllocator kServiceAllocator{AllocateBlock, FreeBlock};

/// Waits for one line (of any length) on standard input; end of input also
/// ends the wait.
void PauseForOperator() {
  DpbPrint("Ready to load firmware, press Enter when ready ... ");
  for (int c = std::getchar(); c != '\n' && c != EOF; c = std::getchar()) {
  }
}

/// The header's own values, printed before they are checked so that an
/// operator sees what a refused file claims.
void PrintHeaderSummary(const FirmwareHeader& header) {
  DpbPrint("Loaded firmware file, CodeID=%8s, length=%lu (0x%05lx), LRC=0x%08lx\n", header.CodeID,
           header.DataLength, header.DataLength, header.LRC);
  DpbPrint("Copyright message :-\n---\n%s\n---\n", header.CopyrightText);
}

}  // namespace

FirmwareImage LoadFirmwareImage(const Settings& settings) {
  if (settings.Pause) PauseForOperator();
  if (settings.Verbose) DpbPrint("Loading firmware file: %s\n", settings.FirmwarePath);
  const ImageFileRead file = ReadImageFile(settings.FirmwarePath, kServiceAllocator);
  if (!file.ok()) ErrorExit("%s", file.message.c_str());
  const ImageFormat format = settings.AifImage ? ImageFormat::kAif : ImageFormat::kAdapterFirmware;
  const ImageCheck check =
      CheckImageBytes(file.buffer, file.size, format, settings.FirmwarePath, file.whole_file_lrc);
  if (settings.Verbose && check.has_header) PrintHeaderSummary(check.header);
  if (!check.ok()) ErrorExit("%s", check.message.c_str());
  FirmwareImage image = check.image;
  image.Buffer = file.buffer;
  return image;
}
