#include "tool/download.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "services/issuing.h"
#include "services/safeguards.h"
#include "services/startup.h"
#include "tool/error_exit.h"
#include "tool/load_image.h"
#include "util/exit_status.h"
#include "util/printable_text.h"

namespace {

constexpr std::int16_t kUseOtherDownloader = -30;
constexpr std::uint32_t kScanNodes = kLastScanNode - kFirstScanNode + 1;

/// One VPD copy per node of the range, taken in the probe pass.
using VpdCopies = std::array<std::uint8_t*, kScanNodes>;

/// Says why an adapter gets no download, in the messages of the mode.
void ReportSkip(const Settings& settings, std::uint32_t node, const AdapterDecision& decision) {
  switch (decision.action) {
    case AdapterAction::kSkipPartner:
      if (settings.Verbose) DpbPrint("Skipping partner adapter, node=%lu\n", node);
      break;
    case AdapterAction::kNoLL:
      DpbPrint("Unable to determine LL of adapter, node=%lu\n", node);
      break;
    case AdapterAction::kSkipLL:
      if (settings.Verbose) {
        // The two bytes come from the adapter: shown, not sent, up to a NUL.
        const std::string shown = PrintableText(
            std::string_view(decision.ll, strnlen(decision.ll, sizeof decision.ll)), false);
        DpbPrint("Skipping adapter with LL=%2s, node=%lu\n", shown.c_str(), node);
      }
      break;
    case AdapterAction::kNoAdapter:
      DpbPrint("No adapter at node %lu\n", node);
      break;
    case AdapterAction::kDownload:
      break;
  }
}

void SendNoticesToOtherNodes(std::uint32_t node, std::int16_t (*notice)(std::uint32_t)) {
  for (std::uint32_t n = kFirstScanNode; n <= kLastScanNode; ++n) {
    if (n != node) notice(n);  // results are not looked at
  }
}

/// The CodeID as the console may show it: it comes from the file, and no
/// line end of it splits the line it is part of.
std::string ShownCodeId(const char* code_id) {
  return PrintableText(std::string_view(code_id, strnlen(code_id, kCodeIdSize)), false);
}

void ReportDownload(const Settings& settings, std::uint32_t node, const char* code_id,
                    std::int16_t rc, DownloadRun* run) {
  if (rc == 0) {
    if (settings.Verbose) DpbPrint("done\n");
    ++run->DownloadCount;
    return;
  }
  if (!settings.Verbose) {
    DpbPrint("Download %8s to adapter, node=%lu ", ShownCodeId(code_id).c_str(), node);
  }
  if (rc == kUseOtherDownloader) {
    DpbPrint("failed, use other downloader\n");
  } else if (rc == kRequestFailed) {
    DpbPrint("failed\n");
  } else {
    DpbPrint("failed: rc=%d\n", rc);
  }
}

/// The line that an interrupt during `node`'s download sequence writes at once.
std::string InterruptNotice(std::uint32_t node) {
  char notice[kErrorMessageSize];
  std::snprintf(notice, sizeof notice,
                "%s: interrupt: the run stops when the download sequence of node %lu is complete\n",
                kProgramName, static_cast<unsigned long>(node));
  return notice;
}

/// The pre-download notices, the download and the post-download notices:
/// the adapters rely on the notices coming in pairs, so an interrupt that
/// arrives meanwhile only stops the run once the sequence is out.
void SendDownloadSequence(const Settings& settings, std::uint32_t node, const std::uint8_t* data,
                          std::uint32_t length, std::uint32_t lrc, const char* code_id,
                          DownloadRun* run) {
  if (!run->kept_awake) {
    KeepMachineAwake();
    run->kept_awake = true;
  }
  HoldInterrupts(InterruptNotice(node).c_str());
  SendNoticesToOtherNodes(node, SendPreDownloadNotice);
  if (settings.Verbose) {
    DpbPrint("Downloading %8s to adapter, node=%lu ... ", ShownCodeId(code_id).c_str(), node);
  }
  ReportDownload(settings, node, code_id, DownloadFirmware(node, data, length, lrc, code_id), run);
  SendNoticesToOtherNodes(node, SendPostDownloadNotice);
  if (ReleaseInterrupts()) {
    run->interrupted = true;
    run->last_node = node;
  }
}

/// Keeps a copy of a probed node's record until its download.
std::uint8_t* CopyOfRecord(const std::uint8_t* vpd) {
  auto* copy = static_cast<std::uint8_t*>(DpbAllocate(kVpdSize, 0));
  if (copy == nullptr) ErrorExit("out of memory");
  CopyBytes(copy, vpd, kVpdSize);
  return copy;
}

/// With no node given, every probe comes before the first download, and
/// each adapter's LL check uses the copy of its record taken in the probe.
void DownloadToAllAdapters(const Settings& settings, const FirmwareImage& image, DownloadRun* run) {
  VpdCopies copies{};
  RunProbePass(settings, [&copies](const ProbedNode& probed, const std::uint8_t* vpd) {
    if (probed.answered) copies[probed.node - kFirstScanNode] = CopyOfRecord(vpd);
  });
  for (std::uint32_t node = kFirstScanNode; node <= kLastScanNode; ++node) {
    std::uint8_t* vpd = copies[node - kFirstScanNode];
    if (vpd == nullptr) continue;
    if (!run->interrupted) {
      DownloadToAdapter(settings, node, image.Data, image.Length, image.LRC, image.CodeID, vpd,
                        run);
    }
    DpbFree(vpd);
  }
}

/// The given node: probed (unless forced), then its download or why not.
void DownloadToGivenNode(const Settings& settings, const FirmwareImage& image, DownloadRun* run) {
  RunProbePass(settings, [&](const ProbedNode& probed, const std::uint8_t* vpd) {
    if (!probed.answered) {
      ReportSkip(settings, probed.node, {AdapterAction::kNoAdapter});
      return;
    }
    DownloadToAdapter(settings, probed.node, image.Data, image.Length, image.LRC, image.CodeID, vpd,
                      run);
  });
}

void PrintFinalReport(const Settings& settings, const DownloadRun& run) {
  if (settings.Verbose) {
    DpbPrint("%d successful download%s performed\n", run.DownloadCount,
             run.DownloadCount == 1 ? "" : "s");
  } else if (run.DownloadCount == 0) {
    DpbPrint("Warning: didn't do any downloads\n");
  }
}

}  // namespace

void DownloadToAdapter(const Settings& settings, std::uint32_t node, const std::uint8_t* data,
                       std::uint32_t length, std::uint32_t lrc, const char* code_id,
                       const std::uint8_t vpd[kVpdSize], DownloadRun* run) {
  const AdapterDecision decision = DecideDownload(node, vpd, settings);
  if (decision.action != AdapterAction::kDownload) {
    ReportSkip(settings, node, decision);
    return;
  }
  SendDownloadSequence(settings, node, data, length, lrc, code_id, run);
}

std::int32_t DownloadMain(std::uint32_t /*a*/, std::uint32_t /*b*/) {
  const Settings& settings = ProgramSettings;
  DownloadRun run;
  const FirmwareImage image = LoadFirmwareImage(settings);
  if (settings.SelectedNode == kAllAdapters) {
    DownloadToAllAdapters(settings, image, &run);
  } else {
    DownloadToGivenNode(settings, image, &run);
  }
  DpbFree(image.Buffer);
  PrintFinalReport(settings, run);
  if (run.kept_awake) LetMachineSleep();
  if (run.interrupted) {
    ErrorExit("interrupted after the download sequence of node %lu",
              static_cast<unsigned long>(run.last_node));
  }
  Terminate(exit_status::kOk);
}
