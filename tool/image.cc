#include "tool/image.h"

#include "tool/error_exit.h"

std::uint32_t ComputeLRC(const void* /*words*/, std::uint32_t /*count*/) { return 0; }

std::uint32_t SwapBytes32(std::uint32_t value) { return value; }

FirmwareImage LoadFirmwareImage(const Settings& settings) {
  ErrorExit("can't open firmware file: %s", settings.FirmwarePath);
}
