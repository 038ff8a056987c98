#include "qxfwscan/report_json.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "qxfwscan/reasons.h"
#include "qxfwscan/report_samples.h"

namespace {

using namespace report_samples;
using Json = nlohmann::json;

Json Parsed(const ScanReport& report) {
  const std::string text = ScanReportJson(report);
  EXPECT_EQ(text.back(), '\n');
  for (const char c : text) EXPECT_LT(static_cast<unsigned char>(c), 0x80) << "not ASCII";
  return Json::parse(text);
}

/// The bytes a JSON string carries, each character one byte (U+0000 to
/// U+00FF); a character above U+00FF fails the test.
std::string Bytes(const Json& value) {
  const std::string utf8 = value.get<std::string>();
  std::string bytes;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    if (lead < 0x80) {
      bytes.push_back(static_cast<char>(lead));
    } else {
      EXPECT_TRUE((lead == 0xC2 || lead == 0xC3) && i + 1 < utf8.size()) << "lead " << +lead;
      bytes.push_back(static_cast<char>((lead & 0x03) << 6 | (utf8[++i] & 0x3F)));
    }
  }
  return bytes;
}

TEST(ScanReportJsonTest, TheExampleMachineAsADocument) {
  const Json vpd = Json::parse(R"([{"name": "*PN", "value": "QARMIX ADAPTER"},
      {"name": "*SN", "value": "0000000000"}, {"name": "*LL", "value": "1A"}])");
  const auto adapter = [&](int node, int port, const char* route, bool partner, const char* action,
                           const char* reason) {
    return Json{{"node", node},         {"port", port},     {"route", route},
                {"probed", true},       {"answered", true}, {"mode", 0},
                {"vpd_read", "class3"}, {"keywords", vpd},  {"ll", "1A"},
                {"partner", partner},   {"action", action}, {"reason", reason}};
  };
  const Json expected = {
      {"ports",
       {{{"port", 1},
         {"device", "\\\\.\\Scsi1:"},
         {"opened", true},
         {"node", 11},
         {"node_query", "answered"}},
        {{"port", 2},
         {"device", "\\\\.\\Scsi2:"},
         {"opened", true},
         {"node", 12},
         {"node_query", "answered"}}}},
      {"adapters",
       {adapter(11, 1, "node", false, "download", "its LL 1A is the image's"),
        adapter(12, 2, "node", false, "download", "its LL 1A is the image's"),
        adapter(21, 1, "partner", true, "skip-partner", "identify shows a partner adapter")}},
      {"image",
       {{"file", "examples/firmware.L1A"},
        {"code_id", "SAMPLE01"},
        {"length", 4096},
        {"lrc", 0x3c1b9455},
        {"ll", "1A"}}},
      {"plan", {{"downloads", 2}, {"skips", 1}}}};
  EXPECT_EQ(Parsed(ExampleReport()), expected);
}

TEST(ScanReportJsonTest, TheKeysComeInTheDocumentedOrder) {
  const std::string text = ScanReportJson(ExampleReport());
  std::size_t at = 0;
  for (const char* key :
       {"\"ports\"",      "\"port\"",     "\"device\"", "\"opened\"",    "\"node\"",
        "\"node_query\"", "\"adapters\"", "\"node\"",   "\"port\"",      "\"route\"",
        "\"probed\"",     "\"answered\"", "\"mode\"",   "\"vpd_read\"",  "\"keywords\"",
        "\"name\"",       "\"value\"",    "\"ll\"",     "\"partner\"",   "\"action\"",
        "\"reason\"",     "\"image\"",    "\"file\"",   "\"code_id\"",   "\"length\"",
        "\"lrc\"",        "\"ll\"",       "\"plan\"",   "\"downloads\"", "\"skips\""}) {
    at = text.find(key, at);
    ASSERT_NE(at, std::string::npos) << key;
  }
}

TEST(ScanReportJsonTest, EmptyListsAreEmptyArraysAndNoImageIsNull) {
  EXPECT_EQ(Parsed(ScanReport{}),
            Json::parse(R"({"ports": [], "adapters": [], "image": null, "plan": null})"));
  ScanReport report;
  report.image = ImageSummary{"fw", "", 0, 0, std::nullopt};
  const Json json = Parsed(report);
  EXPECT_EQ(json["image"]["ll"], nullptr);
  EXPECT_EQ(json["plan"], Json::parse(R"({"downloads": 0, "skips": 0})"));
  report.adapters = {Adapter(11, 0, "1A", false)};
  report.adapters[0].keywords.clear();
  EXPECT_EQ(Parsed(report)["adapters"][0]["keywords"], Json::array());
}

TEST(ScanReportJsonTest, EveryActionByName) {
  ScanReport report = ExampleReport();
  report.adapters.resize(1);
  const std::pair<AdapterAction, const char*> actions[] = {
      {AdapterAction::kDownload, "download"},
      {AdapterAction::kSkipPartner, "skip-partner"},
      {AdapterAction::kSkipLL, "skip-ll"},
      {AdapterAction::kNoLL, "no-ll"},
      {AdapterAction::kNoAdapter, "no-adapter"}};
  for (const auto& [action, name] : actions) {
    report.adapters[0].decision.action = action;
    const Json adapter = Parsed(report)["adapters"][0];
    EXPECT_EQ(adapter["action"], name);
    EXPECT_EQ(Bytes(adapter["reason"]), AdapterReason(report.adapters[0], report));
  }
  report.image.reset();
  EXPECT_EQ(Parsed(report)["adapters"][0]["action"], nullptr);
}

TEST(ScanReportJsonTest, WhatIsUnknownIsNull) {
  ScanReport report;
  PortReport closed = Port(4, false, false, 77);
  PortReport silent = Port(5, true, false, 77);
  report.ports = {closed, silent};
  AdapterReport absent;
  absent.probed.node = 40;
  absent.probed.probed = true;
  absent.decision.action = AdapterAction::kNoAdapter;
  AdapterReport unidentified = Adapter(11, 0, "1A", false);
  unidentified.decision.identified = false;
  unidentified.probed.probe.mode_answered = false;
  report.adapters = {unidentified, absent};
  const Json json = Parsed(report);
  EXPECT_EQ(json["ports"][0]["node"], nullptr);
  EXPECT_EQ(json["ports"][0]["node_query"], "not sent");
  EXPECT_EQ(json["ports"][1]["node"], nullptr);
  EXPECT_EQ(json["ports"][1]["node_query"], "failed");
  EXPECT_EQ(json["adapters"][0]["partner"], nullptr);
  EXPECT_EQ(json["adapters"][0]["mode"], nullptr);
  EXPECT_EQ(json["adapters"][0]["ll"], "1A");
  const Json expected_absent = Json::parse(R"({"node": 40, "port": null, "route": null,
      "probed": true, "answered": false, "mode": null, "vpd_read": null, "keywords": [],
      "ll": null, "partner": null, "action": null,
      "reason": "no adapter answers the probe at this node"})");
  EXPECT_EQ(json["adapters"][1], expected_absent);
}

TEST(ScanReportJsonTest, EveryByteOfTheAdapterAndTheFileComesBack) {
  std::string all(256, '\0');
  for (int i = 0; i < 256; ++i) all[i] = static_cast<char>(i);
  ScanReport report = ExampleReport();
  report.adapters.resize(1);
  report.adapters[0].keywords = {Keyword(all.substr(0, 3), all)};
  report.adapters[0].decision.ll[0] = '\0';
  report.adapters[0].decision.ll[1] = '\xff';
  report.image->path = all;
  report.image->code_id = "\"\\\x7f";
  const Json json = Parsed(report);
  EXPECT_EQ(Bytes(json["adapters"][0]["keywords"][0]["name"]), all.substr(0, 3));
  EXPECT_EQ(Bytes(json["adapters"][0]["keywords"][0]["value"]), all);
  EXPECT_EQ(Bytes(json["adapters"][0]["ll"]), std::string("\0\xff", 2));
  EXPECT_EQ(Bytes(json["image"]["file"]), all);
  EXPECT_EQ(Bytes(json["image"]["code_id"]), "\"\\\x7f");
}

/// A JSON value or null, as the document gives a field that may be unknown.
template <typename T>
Json OrNull(bool known, T value) {
  return known ? Json(value) : Json();
}

Json NameOrNull(const char* name) { return name != nullptr ? Json(name) : Json(); }

/// One adapter of a random report checked against the report's fields, as
/// the document's description of each key has it.
void ExpectAdapter(const Json& json, const AdapterReport& a, const ScanReport& report) {
  const bool read = a.probed.probed && a.probed.answered;
  EXPECT_EQ(json["node"], a.probed.node);
  EXPECT_EQ(json["port"], OrNull(a.route.slot >= 0, a.route.slot));
  EXPECT_EQ(json["route"], NameOrNull(RouteName(a.route.reason)));
  EXPECT_EQ(json["probed"], a.probed.probed);
  EXPECT_EQ(json["answered"], a.probed.answered);
  EXPECT_EQ(json["mode"], OrNull(a.probed.probe.mode_answered, a.probed.probe.mode));
  EXPECT_EQ(json["vpd_read"], NameOrNull(VpdReadName(a.probed.probe.vpd_read)));
  ASSERT_EQ(json["keywords"].size(), a.keywords.size());
  for (std::size_t k = 0; k < a.keywords.size(); ++k) {
    EXPECT_EQ(Bytes(json["keywords"][k]["name"]), a.keywords[k].name);
    EXPECT_EQ(Bytes(json["keywords"][k]["value"]), a.keywords[k].value);
  }
  if (read && a.decision.has_ll) {
    EXPECT_EQ(Bytes(json["ll"]), std::string(a.decision.ll, 2));
  } else {
    EXPECT_EQ(json["ll"], nullptr);
  }
  EXPECT_EQ(json["partner"], OrNull(a.decided && a.decision.identified, a.decision.partner));
  EXPECT_EQ(json["action"], NameOrNull(report.image ? ActionName(a.decision.action) : nullptr));
  EXPECT_EQ(Bytes(json["reason"]), AdapterReason(a, report));
  EXPECT_EQ(json.size(), 12u);
}

TEST(ScanReportJsonTest, RandomReportsCarryEveryFieldWhateverTheirBytes) {
  std::mt19937 random(23);
  for (int round = 0; round < 400; ++round) {
    const ScanReport report = RandomReport(random, round % 2 == 0);
    const Json json = Parsed(report);
    ASSERT_EQ(json.size(), 4u);
    ASSERT_EQ(json["ports"].size(), report.ports.size());
    for (std::size_t i = 0; i < report.ports.size(); ++i) {
      const PortReport& port = report.ports[i];
      EXPECT_EQ(json["ports"][i]["port"], port.port);
      EXPECT_EQ(json["ports"][i]["device"], port.device);
      EXPECT_EQ(json["ports"][i]["opened"], port.opened);
      EXPECT_EQ(json["ports"][i]["node"], OrNull(port.node_answered, port.node));
    }
    ASSERT_EQ(json["adapters"].size(), report.adapters.size());
    for (std::size_t i = 0; i < report.adapters.size(); ++i) {
      ExpectAdapter(json["adapters"][i], report.adapters[i], report);
    }
    if (!report.image) {
      EXPECT_EQ(json["image"], nullptr);
      EXPECT_EQ(json["plan"], nullptr);
      continue;
    }
    EXPECT_EQ(Bytes(json["image"]["file"]), report.image->path);
    EXPECT_EQ(Bytes(json["image"]["code_id"]), report.image->code_id);
    EXPECT_EQ(json["image"]["length"], report.image->length);
    EXPECT_EQ(json["image"]["lrc"], report.image->lrc);
    EXPECT_EQ(json["image"]["ll"],
              OrNull(report.image->ll.has_value(), report.image->ll.value_or("")));
    EXPECT_EQ(json["plan"]["downloads"], report.downloads);
    EXPECT_EQ(json["plan"]["skips"], report.skips);
  }
}

}  // namespace
