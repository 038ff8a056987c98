// DownloadMain: the image phase, then the scan and download sequence.
#ifndef QXFW_TOOL_DOWNLOAD_H_
#define QXFW_TOOL_DOWNLOAD_H_

#include <cstdint>

#include "tool/scan.h"

/// Loads and validates the image, downloads it to the chosen adapters and
/// ends the process with status 0 whatever the downloads' outcomes. An
/// interrupt during an adapter's download sequence stops the run once that
/// sequence is out: no later adapter is touched, the final report is
/// printed, and the run ends through ErrorExit naming that adapter's node.
/// The two words are not used.
std::int32_t DownloadMain(std::uint32_t a, std::uint32_t b);

/// The whole sequence for one adapter: skipped when it is a partner adapter
/// or (unless forced) carries another LL or none; otherwise notices to every
/// other node of the range, the download and its outcome line, notices again,
/// with interrupts held from the first notice to the last.
void DownloadToAdapter(std::uint32_t node, const std::uint8_t* data, std::uint32_t length,
                       std::uint32_t lrc, const char* code_id, const std::uint8_t vpd[kVpdSize]);

#endif  // QXFW_TOOL_DOWNLOAD_H_
