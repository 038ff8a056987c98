// The image phase of the downloader: the pause for the operator, then the
// firmware file read and validated, with its summary on the console.
#ifndef QXFW_TOOL_LOAD_IMAGE_H_
#define QXFW_TOOL_LOAD_IMAGE_H_

#include "image/firmware_image.h"
#include "tool/settings.h"

/// Pauses if asked, reads and validates the file that `settings` names and
/// answers the filled image, its Buffer from DpbAllocate. Every failure ends
/// the process through ErrorExit before anything is sent to an adapter.
FirmwareImage LoadFirmwareImage(const Settings& settings);

#endif  // QXFW_TOOL_LOAD_IMAGE_H_
