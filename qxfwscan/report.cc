#include "qxfwscan/report.h"

namespace {

std::vector<PortReport> DriversPorts() {
  std::vector<PortReport> ports;
  const auto& findings = DiscoveredPorts();
  for (int port = 0; port < kPortCount; ++port) {
    if (!findings[port].drivers) continue;
    ports.push_back({port, PortDeviceName(port), findings[port].opened,
                     findings[port].node_answered, CurrentNodeTable()[port].NodeNumber});
  }
  return ports;
}

/// The route of a node's requests, when an open port is at its end.
AdapterRoute OpenRoute(std::uint32_t node) {
  const AdapterRoute route = RouteForNode(node);
  if (route.slot < 0 || CurrentNodeTable()[route.slot].Handle == kInvalidAdapterHandle) return {};
  return route;
}

AdapterReport ReportNode(const ProbedNode& probed, const std::uint8_t* vpd,
                         const Settings& settings) {
  AdapterReport adapter;
  adapter.probed = probed;
  adapter.route = OpenRoute(probed.node);
  if (probed.probed && probed.answered) adapter.keywords = VpdKeywords(vpd);
  if (probed.answered) {
    adapter.decided = true;
    adapter.decision = DecideDownload(probed.node, vpd, settings);
  } else {
    adapter.decision.action = AdapterAction::kNoAdapter;
  }
  return adapter;
}

ImageSummary Summarise(const Settings& settings, const FirmwareImage& image) {
  ImageSummary summary;
  summary.path = settings.FirmwarePath;
  summary.code_id = image.CodeID;
  summary.length = image.Length;
  summary.lrc = image.LRC;
  if (settings.FirmwareLL != nullptr) summary.ll = std::string(settings.FirmwareLL, 2);
  return summary;
}

}  // namespace

ScanReport ScanMachine(const Settings& settings, const FirmwareImage* image) {
  ScanReport report;
  report.ports = DriversPorts();
  report.force = settings.Force != 0;
  if (image != nullptr) report.image = Summarise(settings, *image);
  const bool given_node = settings.SelectedNode != kAllAdapters;
  RunProbePass(settings, [&](const ProbedNode& probed, const std::uint8_t* vpd) {
    if (probed.answered || given_node) report.adapters.push_back(ReportNode(probed, vpd, settings));
  });
  for (const AdapterReport& adapter : report.adapters) {
    ++(adapter.decision.action == AdapterAction::kDownload ? report.downloads : report.skips);
  }
  return report;
}

const char* ActionName(AdapterAction action) {
  switch (action) {
    case AdapterAction::kDownload:
      return "download";
    case AdapterAction::kSkipPartner:
      return "skip-partner";
    case AdapterAction::kSkipLL:
      return "skip-ll";
    case AdapterAction::kNoLL:
      return "no-ll";
    case AdapterAction::kNoAdapter:
      return "no-adapter";
  }
  return "?";
}

const char* RouteName(AdapterRoute::Reason reason) {
  switch (reason) {
    case AdapterRoute::kNode:
      return "node";
    case AdapterRoute::kPartner:
      return "partner";
    case AdapterRoute::kFirstPort:
      return "first-port";
    case AdapterRoute::kNoSlot:
      break;
  }
  return nullptr;
}

const char* VpdReadName(VpdRead read) {
  switch (read) {
    case VpdRead::kClass3:
      return "class3";
    case VpdRead::kClass2:
      return "class2";
    case VpdRead::kNone:
      break;
  }
  return nullptr;
}

std::string LLText(const AdapterDecision& decision) { return std::string(decision.ll, 2); }

std::string SignatureLine(const ImageSignatureReport& signature) {
  const SignatureVerdict& verdict = signature.verdict;
  std::string line = SignatureStateName(verdict.state);
  if (!verdict.signer.empty()) line += ", signer \"" + verdict.signer + "\"";
  if (!verdict.anchor.empty()) line += ", anchor " + verdict.anchor;
  return line + (signature.required ? ", required by trusted-publishers" : ", not required");
}
