// DownloadMain: the image phase, then the scan and download sequence.
#ifndef QXFW_TOOL_DOWNLOAD_H_
#define QXFW_TOOL_DOWNLOAD_H_

#include <cstdint>

#include "tool/scan.h"
#include "tool/settings.h"

/// Loads and validates the image, downloads it to the chosen adapters and
/// ends the process with status 0 whatever the downloads' outcomes. An
/// interrupt during an adapter's download sequence stops the run once that
/// sequence is out: no later adapter is touched, the final report is
/// printed, and the run ends through ErrorExit naming that adapter's node.
/// The two words are not used.
std::int32_t DownloadMain(std::uint32_t a, std::uint32_t b);

/// What a run has counted and learnt so far; only ever raised. The first
/// two are the run's outcome: the downloads that succeeded, which the final
/// report prints, and whether an adapter asked for another downloader. They
/// are named like the program's other shared state (Settings,
/// FirmwareImage); the rest is this file's own bookkeeping.
struct DownloadRun {
  /// Downloads answered with result 0.
  std::int32_t DownloadCount = 0;
  /// The machine is kept awake: from the first pre-download notice on.
  bool kept_awake = false;
  /// An interrupt came during the download sequence of `last_node`: no
  /// adapter after it is touched, and the run ends with an error line.
  bool interrupted = false;
  std::uint32_t last_node = 0;
};

/// The whole sequence for one adapter, by `settings`: skipped when it is a
/// partner adapter or (unless forced) carries another LL or none; otherwise
/// notices to every other node of the range, the download and its outcome
/// line, notices again, with interrupts held from the first notice to the
/// last. Counts the outcome in `run`; the first sequence of a run keeps the
/// machine awake, which the caller ends with LetMachineSleep.
/// REQUIRES: the adapters were discovered and Inject registered; no
/// interrupt hold in force.
void DownloadToAdapter(const Settings& settings, std::uint32_t node, const std::uint8_t* data,
                       std::uint32_t length, std::uint32_t lrc, const char* code_id,
                       const std::uint8_t vpd[kVpdSize], DownloadRun* run);

#endif  // QXFW_TOOL_DOWNLOAD_H_
