// qxfwimage pack: wraps a payload in the header of an adapter firmware file.
#ifndef QXFW_QXFWIMAGE_PACK_H_
#define QXFW_QXFWIMAGE_PACK_H_

#include <cstdint>
#include <string>

#include "image/image_format.h"
#include "util/outcome.h"

/// The header of an adapter firmware file for `payload_size` bytes of
/// payload: the copyright text and CodeID padded with NUL bytes, the length,
/// and the LRC over the payload's whole words.
/// REQUIRES: code_id has 1 to 8 characters, copyright at most 251;
/// payload addresses payload_size readable bytes.
FirmwareHeader MakeFirmwareHeader(const std::string& code_id, const std::string& copyright,
                                  const std::uint8_t* payload, std::uint32_t payload_size);

/// Why pack could not finish.
enum class PackFailure { kNone, kPayload, kOutput };

/// Reads `payload_path` and writes the firmware file `output_path`; a partly
/// written output file is removed.
/// REQUIRES: as MakeFirmwareHeader for code_id and copyright.
Outcome<PackFailure> PackFirmwareFile(const std::string& code_id, const std::string& copyright,
                                      const std::string& payload_path,
                                      const std::string& output_path);

#endif  // QXFW_QXFWIMAGE_PACK_H_
