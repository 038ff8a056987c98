#include "tool/download.h"

#include "services/issuing.h"
#include "services/startup.h"
#include "tool/image.h"

std::int32_t DownloadMain(std::uint32_t /*a*/, std::uint32_t /*b*/) {
  FirmwareImage image = LoadFirmwareImage(ProgramSettings);
  DpbFree(image.Buffer);
  Terminate(kExitOk);
}
