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

/// What the run has counted so far; only ever raised.
struct DownloadRun {
  std::int32_t DownloadCount = 0;
  int UseOtherDownloader = 0;
  /// The machine is kept awake: from the first pre-download notice on.
  bool kept_awake = false;
  /// An interrupt came during the download sequence of `last_node`: no
  /// adapter after it is touched, and the run ends with an error line.
  bool interrupted = false;
  std::uint32_t last_node = 0;
};

DownloadRun run;

/// One VPD copy per node of the range, taken in the probe pass.
using VpdCopies = std::array<std::uint8_t*, kScanNodes>;

/// Says why an adapter gets no download, in the messages of the mode.
void ReportSkip(std::uint32_t node, const AdapterDecision& decision) {
  switch (decision.action) {
    case AdapterAction::kSkipPartner:
      if (ProgramSettings.Verbose) DpbPrint("Skipping partner adapter, node=%lu\n", node);
      break;
    case AdapterAction::kNoLL:
      DpbPrint("Unable to determine LL of adapter, node=%lu\n", node);
      break;
    case AdapterAction::kSkipLL:
      if (ProgramSettings.Verbose) {
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

void ReportDownload(std::uint32_t node, const char* code_id, std::int16_t rc) {
  if (rc == 0) {
    if (ProgramSettings.Verbose) DpbPrint("done\n");
    ++run.DownloadCount;
    return;
  }
  if (!ProgramSettings.Verbose) {
    DpbPrint("Download %8s to adapter, node=%lu ", ShownCodeId(code_id).c_str(), node);
  }
  if (rc == kUseOtherDownloader) {
    run.UseOtherDownloader = 1;
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
void SendDownloadSequence(std::uint32_t node, const std::uint8_t* data, std::uint32_t length,
                          std::uint32_t lrc, const char* code_id) {
  if (!run.kept_awake) {
    KeepMachineAwake();
    run.kept_awake = true;
  }
  HoldInterrupts(InterruptNotice(node).c_str());
  SendNoticesToOtherNodes(node, SendPreDownloadNotice);
  if (ProgramSettings.Verbose) {
    DpbPrint("Downloading %8s to adapter, node=%lu ... ", ShownCodeId(code_id).c_str(), node);
  }
  ReportDownload(node, code_id, DownloadFirmware(node, data, length, lrc, code_id));
  SendNoticesToOtherNodes(node, SendPostDownloadNotice);
  if (ReleaseInterrupts()) {
    run.interrupted = true;
    run.last_node = node;
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
void DownloadToAllAdapters(const FirmwareImage& image) {
  VpdCopies copies{};
  RunProbePass(ProgramSettings, [&copies](const ProbedNode& probed, const std::uint8_t* vpd) {
    if (probed.answered) copies[probed.node - kFirstScanNode] = CopyOfRecord(vpd);
  });
  for (std::uint32_t node = kFirstScanNode; node <= kLastScanNode; ++node) {
    std::uint8_t* vpd = copies[node - kFirstScanNode];
    if (vpd == nullptr) continue;
    if (!run.interrupted) {
      DownloadToAdapter(node, image.Data, image.Length, image.LRC, image.CodeID, vpd);
    }
    DpbFree(vpd);
  }
}

/// The given node: probed (unless forced), then its download or why not.
void DownloadToGivenNode(const FirmwareImage& image) {
  RunProbePass(ProgramSettings, [&image](const ProbedNode& probed, const std::uint8_t* vpd) {
    if (!probed.answered) {
      ReportSkip(probed.node, {AdapterAction::kNoAdapter});
      return;
    }
    DownloadToAdapter(probed.node, image.Data, image.Length, image.LRC, image.CodeID, vpd);
  });
}

void PrintFinalReport() {
  if (ProgramSettings.Verbose) {
    DpbPrint("%d successful download%s performed\n", run.DownloadCount,
             run.DownloadCount == 1 ? "" : "s");
  } else if (run.DownloadCount == 0) {
    DpbPrint("Warning: didn't do any downloads\n");
  }
}

}  // namespace

void DownloadToAdapter(std::uint32_t node, const std::uint8_t* data, std::uint32_t length,
                       std::uint32_t lrc, const char* code_id, const std::uint8_t vpd[kVpdSize]) {
  const AdapterDecision decision = DecideDownload(node, vpd, ProgramSettings);
  if (decision.action != AdapterAction::kDownload) {
    ReportSkip(node, decision);
    return;
  }
  SendDownloadSequence(node, data, length, lrc, code_id);
}

std::int32_t DownloadMain(std::uint32_t /*a*/, std::uint32_t /*b*/) {
  const FirmwareImage image = LoadFirmwareImage(ProgramSettings);
  if (ProgramSettings.SelectedNode == kAllAdapters) {
    DownloadToAllAdapters(image);
  } else {
    DownloadToGivenNode(image);
  }
  DpbFree(image.Buffer);
  PrintFinalReport();
  if (run.kept_awake) LetMachineSleep();
  if (run.interrupted) {
    ErrorExit("interrupted after the download sequence of node %lu",
              static_cast<unsigned long>(run.last_node));
  }
  Terminate(exit_status::kOk);
}
