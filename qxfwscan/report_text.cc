#include "qxfwscan/report_text.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>

#include "qxfwscan/reasons.h"
#include "util/printable_text.h"

namespace {

std::string Text(const char* format, ...) __attribute__((format(printf, 1, 2)));

/// The whole of the formatted text, however long: an image's path, escaped,
/// may run to many kilobytes, and a line cut short would misreport it.
std::string Text(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

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
  return row + PrintableText(AdapterReason(adapter, report), false) + "\n";
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
         (report.signature
              ? "Signature: " + PrintableText(SignatureLine(*report.signature), false) + "\n"
              : std::string()) +
         Text("Plan: %d download%s, %d skip%s\n", report.downloads,
              report.downloads == 1 ? "" : "s", report.skips, report.skips == 1 ? "" : "s");
}

}  // namespace

std::string ScanReportText(const ScanReport& report) {
  return PortsText(report) + "\n" + AdaptersText(report) + (report.image ? "\n" : "") +
         PlanText(report);
}
