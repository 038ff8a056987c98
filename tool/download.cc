#include "tool/download.h"

#include <array>
#include <cstring>

#include "services/issuing.h"
#include "services/startup.h"
#include "tool/error_exit.h"
#include "tool/load_image.h"
#include "util/exit_status.h"

namespace {

constexpr std::int16_t kUseOtherDownloader = -30;
constexpr std::uint32_t kScanNodes = kLastScanNode - kFirstScanNode + 1;

/// What the run has counted so far; only ever raised.
struct DownloadRun {
  std::int32_t DownloadCount = 0;
  int UseOtherDownloader = 0;
};

DownloadRun run;

/// One VPD copy per node of the range, taken in the probe pass.
using VpdCopies = std::array<std::uint8_t*, kScanNodes>;

bool IsPartnerAdapter(std::uint32_t node) {
  std::uint8_t answer[kIdentifyAnswerSize] = {};
  // A failed identify counts as an answer that the node is no partner.
  return IdentifyAdapter(node, answer) == 0 && answer[kPartnerMarkerAt] != kNotAPartner;
}

/// True when the adapter's LL is the firmware's; says why not otherwise.
bool AdapterLLMatches(std::uint32_t node, const std::uint8_t vpd[kVpdSize]) {
  char ll[2];
  if (!FindVpdLL(vpd, ll)) {
    DpbPrint("Unable to determine LL of adapter, node=%lu\n", node);
    return false;
  }
  const char* wanted = ProgramSettings.FirmwareLL;
  if (ll[0] == wanted[0] && ll[1] == wanted[1]) return true;
  if (ProgramSettings.Verbose) {
    const char shown[3] = {ll[0], ll[1], '\0'};
    DpbPrint("Skipping adapter with LL=%2s, node=%lu\n", shown, node);
  }
  return false;
}

void SendNoticesToOtherNodes(std::uint32_t node, std::int16_t (*notice)(std::uint32_t)) {
  for (std::uint32_t n = kFirstScanNode; n <= kLastScanNode; ++n) {
    if (n != node) notice(n);  // results are not looked at
  }
}

void ReportDownload(std::uint32_t node, const char* code_id, std::int16_t rc) {
  if (rc == 0) {
    if (ProgramSettings.Verbose) DpbPrint("done\n");
    ++run.DownloadCount;
    return;
  }
  if (!ProgramSettings.Verbose) DpbPrint("Download %8s to adapter, node=%lu ", code_id, node);
  if (rc == kUseOtherDownloader) {
    run.UseOtherDownloader = 1;
    DpbPrint("failed, use other downloader\n");
  } else if (rc == kRequestFailed) {
    DpbPrint("failed\n");
  } else {
    DpbPrint("failed: rc=%d\n", rc);
  }
}

/// The probe pass: every node of the range, before any download.
VpdCopies ProbeAllNodes() {
  VpdCopies copies{};
  for (std::uint32_t node = kFirstScanNode; node <= kLastScanNode; ++node) {
    // The record's buffer travels to the adapter with the read: zeros, not
    // what the stack or the previous node's record left there.
    std::uint8_t scratch[kVpdSize] = {};
    if (!ProbeAdapter(node, scratch)) continue;
    auto* copy = static_cast<std::uint8_t*>(DpbAllocate(kVpdSize, 0));
    if (copy == nullptr) ErrorExit("out of memory");
    CopyBytes(copy, scratch, kVpdSize);
    copies[node - kFirstScanNode] = copy;
  }
  return copies;
}

void DownloadToAllAdapters(const FirmwareImage& image) {
  VpdCopies copies = ProbeAllNodes();
  for (std::uint32_t node = kFirstScanNode; node <= kLastScanNode; ++node) {
    std::uint8_t* vpd = copies[node - kFirstScanNode];
    if (vpd == nullptr) continue;
    DownloadToAdapter(node, image.Data, image.Length, image.LRC, image.CodeID, vpd);
    DpbFree(vpd);
  }
}

void DownloadToGivenNode(const FirmwareImage& image, std::uint32_t node) {
  std::uint8_t vpd[kVpdSize] = {};
  // Forced, the node gets the image without a probe, and its VPD is not read.
  if (!ProgramSettings.Force && !ProbeAdapter(node, vpd)) {
    DpbPrint("No adapter at node %lu\n", node);
    return;
  }
  DownloadToAdapter(node, image.Data, image.Length, image.LRC, image.CodeID, vpd);
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
  if (IsPartnerAdapter(node)) {
    if (ProgramSettings.Verbose) DpbPrint("Skipping partner adapter, node=%lu\n", node);
    return;
  }
  if (!ProgramSettings.Force && ProgramSettings.FirmwareLL != nullptr &&
      !AdapterLLMatches(node, vpd)) {
    return;
  }
  SendNoticesToOtherNodes(node, SendPreDownloadNotice);
  if (ProgramSettings.Verbose) DpbPrint("Downloading %8s to adapter, node=%lu ... ", code_id, node);
  ReportDownload(node, code_id, DownloadFirmware(node, data, length, lrc, code_id));
  SendNoticesToOtherNodes(node, SendPostDownloadNotice);
}

std::int32_t DownloadMain(std::uint32_t /*a*/, std::uint32_t /*b*/) {
  const FirmwareImage image = LoadFirmwareImage(ProgramSettings);
  if (ProgramSettings.SelectedNode == kAllAdapters) {
    DownloadToAllAdapters(image);
  } else {
    DownloadToGivenNode(image, ProgramSettings.SelectedNode);
  }
  DpbFree(image.Buffer);
  PrintFinalReport();
  Terminate(exit_status::kOk);
}
