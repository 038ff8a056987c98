#include "tool/scan.h"

namespace {

void ProbeOneNode(std::uint32_t node, const ProbedNodeSink& found) {
  // The record's buffer travels to the adapter with the read: zeros, not
  // what the stack or the previous node's record left there.
  std::uint8_t vpd[kVpdSize] = {};
  ProbedNode probed;
  probed.node = node;
  probed.probed = true;
  probed.answered = ProbeAdapter(node, vpd, &probed.probe);
  found(probed, vpd);
}

bool IdentifiesAsPartner(std::uint32_t node, AdapterDecision* decision) {
  std::uint8_t answer[kIdentifyAnswerSize] = {};
  decision->identified = IdentifyAdapter(node, answer) == 0;
  decision->partner = decision->identified && answer[kPartnerMarkerAt] != kNotAPartner;
  return decision->partner;
}

}  // namespace

void RunProbePass(const Settings& settings, const ProbedNodeSink& found) {
  if (settings.SelectedNode == kAllAdapters) {
    for (std::uint32_t node = kFirstScanNode; node <= kLastScanNode; ++node) {
      ProbeOneNode(node, found);
    }
  } else if (settings.Force) {
    const std::uint8_t unread[kVpdSize] = {};
    ProbedNode given;
    given.node = settings.SelectedNode;
    given.answered = true;
    found(given, unread);
  } else {
    ProbeOneNode(settings.SelectedNode, found);
  }
}

AdapterDecision DecideDownload(std::uint32_t node, const std::uint8_t vpd[kVpdSize],
                               const Settings& settings) {
  AdapterDecision decision;
  decision.has_ll = FindVpdLL(vpd, decision.ll);
  if (IdentifiesAsPartner(node, &decision)) {
    decision.action = AdapterAction::kSkipPartner;
    return decision;
  }
  decision.ll_checked = !settings.Force && settings.FirmwareLL != nullptr;
  if (!decision.ll_checked) return decision;
  if (!decision.has_ll) {
    decision.action = AdapterAction::kNoLL;
  } else if (decision.ll[0] != settings.FirmwareLL[0] || decision.ll[1] != settings.FirmwareLL[1]) {
    decision.action = AdapterAction::kSkipLL;
  }
  return decision;
}
