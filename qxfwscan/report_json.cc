#include "qxfwscan/report_json.h"

#include <nlohmann/json.hpp>
#include <utility>

#include "qxfwscan/reasons.h"
#include "util/json_text.h"

namespace {

using Json = nlohmann::ordered_json;

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
  json["reason"] = JsonText(AdapterReason(adapter, report));
  return json;
}

Json SignatureJson(const ImageSignatureReport& signature) {
  const SignatureVerdict& verdict = signature.verdict;
  Json json;
  json["required"] = signature.required;
  json["state"] = SignatureStateName(verdict.state);
  json["signer"] = OrNull(!verdict.signer.empty(), JsonText(verdict.signer));
  json["anchor"] = OrNull(!verdict.anchor.empty(), JsonText(verdict.anchor));
  return json;
}

Json ImageJson(const ImageSummary& image, const ScanReport& report) {
  Json json;
  json["file"] = JsonText(image.path);
  json["code_id"] = JsonText(image.code_id);
  json["length"] = image.length;
  json["lrc"] = image.lrc;
  json["ll"] = image.ll ? JsonText(*image.ll) : Json();
  if (report.signature) json["signature"] = SignatureJson(*report.signature);
  return json;
}

}  // namespace

std::string ScanReportJson(const ScanReport& report) {
  Json json;
  json["ports"] = Json::array();
  for (const PortReport& port : report.ports) json["ports"].push_back(PortJson(port));
  json["adapters"] = Json::array();
  for (const AdapterReport& adapter : report.adapters) {
    json["adapters"].push_back(AdapterJson(adapter, report));
  }
  json["image"] = report.image ? ImageJson(*report.image, report) : Json();
  json["plan"] = Json();
  if (report.image) json["plan"] = {{"downloads", report.downloads}, {"skips", report.skips}};
  return json.dump(2, ' ', true) + "\n";
}
