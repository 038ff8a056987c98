// The image phase of the downloader: the pause for the operator, then the
// firmware file read and validated, with its summary on the console.
#ifndef QXFW_TOOL_LOAD_IMAGE_H_
#define QXFW_TOOL_LOAD_IMAGE_H_

#include "image/firmware_image.h"
#include "tool/settings.h"
#include "transport/publisher_signature.h"

/// What was found of the image's signature, for a report.
struct ImageSignatureReport {
  /// A trusted publisher is configured: only a valid signature is accepted.
  bool required = false;
  SignatureVerdict verdict;
};

/// Pauses if asked, reads and validates the file that `settings` names and
/// answers the filled image, its Buffer from DpbAllocate. Every failure ends
/// the process through ErrorExit before anything is sent to an adapter.
/// When the trust folder beside the program configures a publisher, the
/// image must also carry a valid signature of one (transport/
/// publisher_signature.h), checked after the header and the LRC, over the
/// very bytes read; a fault in the folder refuses every image. Without one,
/// nothing about signatures is read unless `signature` asks for a report.
FirmwareImage LoadFirmwareImage(const Settings& settings,
                                ImageSignatureReport* signature = nullptr);

/// LoadFirmwareImage with the trust folder given instead of read beside the
/// program, so that a measurement can set one up of its own.
FirmwareImage LoadFirmwareImageTrusting(const Settings& settings, const TrustFolder& trust,
                                        ImageSignatureReport* signature);

#endif  // QXFW_TOOL_LOAD_IMAGE_H_
