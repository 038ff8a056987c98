#include "qxfwscan/report.h"

#include <cstdarg>
#include <cstdio>
#include <utility>

#include "util/json_text.h"
#include "util/printable_text.h"

namespace {

using Json = nlohmann::ordered_json;

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

std::string Text(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Text(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

std::string LLText(const AdapterDecision& decision) { return std::string(decision.ll, 2); }

/// Why identify leaves the adapter in the run, when it failed.
const char* IdentifyNote(const AdapterReport& adapter) {
  return adapter.decision.identified ? ""
                                     : "; identify failed, which qxfwload counts as not a partner";
}

std::string PlanReason(const AdapterReport& adapter, const ScanReport& report) {
  const AdapterDecision& d = adapter.decision;
  switch (d.action) {
    case AdapterAction::kNoAdapter:
      return "no adapter answers the probe at this node";
    case AdapterAction::kSkipPartner:
      return "identify shows a partner adapter";
    case AdapterAction::kNoLL:
      return "its VPD record has no LL: qxfwload says it is unable to determine the LL";
    case AdapterAction::kSkipLL:
      return "its LL " + LLText(d) + " is not the image's LL " + report.image->ll.value_or("");
    case AdapterAction::kDownload:
      break;
  }
  std::string reason;
  if (!adapter.probed.probed) {
    reason = "forced to this node: not probed";
  } else if (d.ll_checked) {
    reason = "its LL " + LLText(d) + " is the image's";
  } else {
    reason = "forced: the LL is not compared";
  }
  reason += IdentifyNote(adapter);
  if (adapter.route.slot < 0) reason += "; no open port carries it, so the download fails unsent";
  return reason;
}

std::string ListReason(const AdapterReport& adapter) {
  if (!adapter.decided) return "no adapter answers the probe at this node";
  if (adapter.decision.partner) return "a partner adapter: a download skips it";
  if (!adapter.decision.identified) {
    return "identify failed, which qxfwload counts as not a partner";
  }
  return adapter.probed.probed ? "not a partner adapter" : "not probed (forced); not a partner";
}

std::string Reason(const AdapterReport& adapter, const ScanReport& report) {
  return report.image ? PlanReason(adapter, report) : ListReason(adapter);
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

// ---- JSON

Json OrNull(bool known, Json value) { return known ? std::move(value) : Json(); }

Json NameOrNull(const char* name) { return name != nullptr ? Json(name) : Json(); }

Json PortJson(const PortReport& port) {
  Json json;
  json["port"] = port.port;
  json["device"] = port.device;
  json["opened"] = port.opened;
  json["node"] = OrNull(port.node_answered, port.node);
  json["node_query"] = !port.opened ? "not sent" : port.node_answered ? "answered" : "failed";
  return json;
}

Json KeywordsJson(const std::vector<VpdKeyword>& keywords) {
  Json list = Json::array();
  for (const VpdKeyword& keyword : keywords) {
    Json entry;
    entry["name"] = JsonText(keyword.name);
    entry["value"] = JsonText(keyword.value);
    list.push_back(std::move(entry));
  }
  return list;
}

Json PartnerJson(const AdapterReport& adapter) {
  if (!adapter.decided || !adapter.decision.identified) return Json();
  return adapter.decision.partner;
}

Json AdapterJson(const AdapterReport& adapter, const ScanReport& report) {
  const ProbeReport& probe = adapter.probed.probe;
  const bool read = adapter.probed.probed && adapter.probed.answered;
  Json json;
  json["node"] = adapter.probed.node;
  json["port"] = OrNull(adapter.route.slot >= 0, adapter.route.slot);
  json["route"] = NameOrNull(RouteName(adapter.route.reason));
  json["probed"] = adapter.probed.probed;
  json["answered"] = adapter.probed.answered;
  json["mode"] = OrNull(probe.mode_answered, probe.mode);
  json["vpd_read"] = NameOrNull(VpdReadName(probe.vpd_read));
  json["keywords"] = KeywordsJson(adapter.keywords);
  json["ll"] = OrNull(read && adapter.decision.has_ll, JsonText(LLText(adapter.decision)));
  json["partner"] = PartnerJson(adapter);
  json["action"] = OrNull(report.image.has_value(), ActionName(adapter.decision.action));
  json["reason"] = JsonText(Reason(adapter, report));
  return json;
}

Json ImageJson(const ImageSummary& image) {
  Json json;
  json["file"] = JsonText(image.path);
  json["code_id"] = JsonText(image.code_id);
  json["length"] = image.length;
  json["lrc"] = image.lrc;
  json["ll"] = image.ll ? JsonText(*image.ll) : Json();
  return json;
}

// ---- Text

std::string PortsText(const ScanReport& report) {
  if (report.ports.empty()) return "No port is served by the driver qarmix.\n";
  std::string out = "Ports of the driver qarmix:\n  port  device        opened  node\n";
  for (const PortReport& port : report.ports) {
    const std::string node = !port.opened         ? "-"
                             : port.node_answered ? std::to_string(port.node)
                                                  : "(node query failed)";
    out += Text("  %4d  %-12s  %-6s  %s\n", port.port, port.device.c_str(),
                port.opened ? "yes" : "no", node.c_str());
  }
  return out;
}

std::string Cell(const char* text) { return text != nullptr ? text : "-"; }

std::string PartnerCell(const AdapterReport& adapter) {
  if (!adapter.decided) return "-";
  if (!adapter.decision.identified) return "unknown";
  return adapter.decision.partner ? "yes" : "no";
}

std::string AdapterRow(const AdapterReport& adapter, const ScanReport& report) {
  const ProbeReport& probe = adapter.probed.probe;
  const bool read = adapter.probed.probed && adapter.probed.answered;
  const std::string port = adapter.route.slot >= 0 ? std::to_string(adapter.route.slot) : "-";
  const std::string mode = probe.mode_answered ? std::to_string(probe.mode) : "-";
  const std::string ll =
      read && adapter.decision.has_ll ? PrintableText(LLText(adapter.decision), false) : "-";
  std::string row =
      Text("  %4lu  %4s  %-10s  %4s  %-6s  %-2s  %-7s  ",
           static_cast<unsigned long>(adapter.probed.node), port.c_str(),
           Cell(RouteName(adapter.route.reason)).c_str(), mode.c_str(),
           Cell(VpdReadName(probe.vpd_read)).c_str(), ll.c_str(), PartnerCell(adapter).c_str());
  if (report.image) row += Text("%-12s  ", ActionName(adapter.decision.action));
  return row + PrintableText(Reason(adapter, report), false) + "\n";
}

std::string KeywordsText(const std::vector<VpdKeyword>& keywords) {
  if (keywords.empty()) return "";
  std::string line = "        VPD:";
  for (const VpdKeyword& keyword : keywords) {
    // Appended piece by piece: g++ 12 warns falsely (-Wrestrict) about " " + a string.
    line.append(" ").append(PrintableText(keyword.name, false));
    line.append("=\"").append(PrintableText(keyword.value, false)).append("\"");
  }
  return line + "\n";
}

std::string AdaptersText(const ScanReport& report) {
  if (report.adapters.empty()) return "No adapter answers the probe at nodes 11 to 48.\n";
  std::string out = "Adapters:\n  node  port  route       mode  VPD     LL  partner  ";
  out += report.image ? "action        reason\n" : "note\n";
  for (const AdapterReport& adapter : report.adapters) {
    out += AdapterRow(adapter, report) + KeywordsText(adapter.keywords);
  }
  return out;
}

std::string PlanText(const ScanReport& report) {
  if (!report.image) return "";
  const ImageSummary& image = *report.image;
  return Text("Image %s: CodeID %s, length %lu (0x%05lx), LRC 0x%08lx, LL %s\n",
              PrintableText(image.path, false).c_str(), PrintableText(image.code_id, false).c_str(),
              static_cast<unsigned long>(image.length), static_cast<unsigned long>(image.length),
              static_cast<unsigned long>(image.lrc),
              image.ll ? PrintableText(*image.ll, false).c_str() : "none") +
         Text("Plan: %d download%s, %d skip%s\n", report.downloads,
              report.downloads == 1 ? "" : "s", report.skips, report.skips == 1 ? "" : "s");
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

std::string ScanReportText(const ScanReport& report) {
  return PortsText(report) + "\n" + AdaptersText(report) + (report.image ? "\n" : "") +
         PlanText(report);
}

std::string ScanReportJson(const ScanReport& report) {
  Json json;
  json["ports"] = Json::array();
  for (const PortReport& port : report.ports) json["ports"].push_back(PortJson(port));
  json["adapters"] = Json::array();
  for (const AdapterReport& adapter : report.adapters) {
    json["adapters"].push_back(AdapterJson(adapter, report));
  }
  json["image"] = report.image ? ImageJson(*report.image) : Json();
  json["plan"] = Json();
  if (report.image) json["plan"] = {{"downloads", report.downloads}, {"skips", report.skips}};
  return json.dump(2, ' ', true) + "\n";
}
