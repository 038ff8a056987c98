// DownloadMain: the image phase, then the scan and download sequence.
#ifndef QXFW_TOOL_DOWNLOAD_H_
#define QXFW_TOOL_DOWNLOAD_H_

#include <cstdint>

/// Loads and validates the image, downloads it to the chosen adapters and
/// ends the process with status 0. The two words are not used.
std::int32_t DownloadMain(std::uint32_t a, std::uint32_t b);

#endif  // QXFW_TOOL_DOWNLOAD_H_
