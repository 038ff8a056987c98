// Scan reports built by hand for the renderers' tests, with no machine
// behind them: the example machine's report, one adapter of each kind, and
// reports drawn at random.
#ifndef QXFW_QXFWSCAN_REPORT_SAMPLES_H_
#define QXFW_QXFWSCAN_REPORT_SAMPLES_H_

#include <cstdint>
#include <random>
#include <string>
#include <utility>

#include "qxfwscan/report.h"

namespace report_samples {

inline VpdKeyword Keyword(std::string name, std::string value) {
  VpdKeyword keyword;
  keyword.name = std::move(name);
  keyword.value = std::move(value);
  return keyword;
}

/// An adapter that answered a mode-0 probe with a class-3 read, routed by
/// its own node, identified as `partner` or not, with LL `ll`.
inline AdapterReport Adapter(std::uint32_t node, int slot, const char* ll, bool partner) {
  AdapterReport adapter;
  adapter.probed.node = node;
  adapter.probed.probed = true;
  adapter.probed.answered = true;
  adapter.probed.probe.mode_answered = true;
  adapter.probed.probe.vpd_read = VpdRead::kClass3;
  adapter.route = {AdapterRoute::kNode, slot};
  adapter.keywords = {Keyword("*PN", "QARMIX ADAPTER"), Keyword("*SN", "0000000000"),
                      Keyword("*LL", ll)};
  adapter.decided = true;
  adapter.decision.identified = true;
  adapter.decision.partner = partner;
  adapter.decision.ll_checked = true;
  adapter.decision.has_ll = true;
  adapter.decision.ll[0] = ll[0];
  adapter.decision.ll[1] = ll[1];
  adapter.decision.action = partner ? AdapterAction::kSkipPartner : AdapterAction::kDownload;
  return adapter;
}

inline PortReport Port(int port, bool opened, bool node_answered, std::int32_t node) {
  return {port, "\\\\.\\Scsi" + std::to_string(port) + ":", opened, node_answered, node};
}

/// The plan's counts, as the gathering makes them.
inline void Count(ScanReport* report) {
  report->downloads = report->skips = 0;
  for (const AdapterReport& adapter : report->adapters) {
    ++(adapter.decision.action == AdapterAction::kDownload ? report->downloads : report->skips);
  }
}

/// The example machine with the sample image: ports 1 and 2 for nodes 11
/// and 12, adapters 11 and 12 to download, the partner 21 to skip.
inline ScanReport ExampleReport() {
  ScanReport report;
  report.ports = {Port(1, true, true, 11), Port(2, true, true, 12)};
  report.adapters = {Adapter(11, 1, "1A", false), Adapter(12, 2, "1A", false),
                     Adapter(21, 1, "1A", true)};
  report.adapters[2].route.reason = AdapterRoute::kPartner;
  report.image = ImageSummary{"examples/firmware.L1A", "SAMPLE01", 4096, 0x3c1b9455, "1A"};
  Count(&report);
  return report;
}

/// A text of up to `max` bytes: printable ASCII, or with `any_bytes` any
/// byte at all.
inline std::string RandomText(std::mt19937& random, std::size_t max, bool any_bytes) {
  std::string text(std::uniform_int_distribution<std::size_t>(0, max)(random), ' ');
  for (char& c : text) {
    c = static_cast<char>(any_bytes ? std::uniform_int_distribution<int>(0, 255)(random)
                                    : std::uniform_int_distribution<int>(0x20, 0x7e)(random));
  }
  return text;
}

inline bool Coin(std::mt19937& random) { return std::bernoulli_distribution(0.5)(random); }

inline int Pick(std::mt19937& random, int from, int to) {
  return std::uniform_int_distribution<int>(from, to)(random);
}

/// One adapter as the gathering could leave it: a forced node that wasn't
/// probed, a given node that didn't answer, or one that answered, with any
/// route, probe, keywords and decision. Its LL bytes are any bytes with
/// `any_bytes`, else printable.
inline AdapterReport RandomAdapter(std::mt19937& random, std::uint32_t node, bool any_bytes) {
  AdapterReport adapter;
  adapter.probed.node = node;
  adapter.probed.probed = Pick(random, 0, 5) != 0;
  adapter.probed.answered = !adapter.probed.probed || Pick(random, 0, 5) != 0;
  ProbeReport& probe = adapter.probed.probe;
  probe.mode_answered = adapter.probed.probed && Coin(random);
  probe.mode = static_cast<std::uint8_t>(probe.mode_answered ? Pick(random, 0, 1) : 0);
  probe.vpd_read = adapter.probed.answered && adapter.probed.probed
                       ? static_cast<VpdRead>(Pick(random, 0, 2))
                       : VpdRead::kNone;
  const auto reason = static_cast<AdapterRoute::Reason>(Pick(random, 0, 3));
  adapter.route = {reason, reason == AdapterRoute::kNoSlot ? -1 : Pick(random, 0, 15)};
  if (adapter.probed.probed && adapter.probed.answered) {
    for (int k = Pick(random, 0, 3); k > 0; --k) {
      adapter.keywords.push_back(
          Keyword("*" + RandomText(random, 2, any_bytes), RandomText(random, 20, any_bytes)));
    }
  }
  AdapterDecision& decision = adapter.decision;
  adapter.decided = adapter.probed.answered;
  if (!adapter.decided) {
    decision.action = AdapterAction::kNoAdapter;
    return adapter;
  }
  decision.identified = Pick(random, 0, 4) != 0;
  decision.partner = decision.identified && Coin(random);
  decision.has_ll = Coin(random);
  decision.ll_checked = decision.has_ll && Coin(random);
  for (int i = 0; i < 2; ++i) {
    decision.ll[i] = any_bytes ? static_cast<char>(Pick(random, 0, 255))
                               : static_cast<char>(Pick(random, 0x21, 0x7e));
  }
  decision.action = static_cast<AdapterAction>(Pick(random, 0, 3));
  return adapter;
}

/// A report of 0 to 5 ports and 0 to 6 adapters, with or without an image.
inline ScanReport RandomReport(std::mt19937& random, bool any_bytes) {
  ScanReport report;
  for (int port = 0; port < 16; ++port) {
    if (Pick(random, 0, 4) != 0) continue;
    const bool opened = Pick(random, 0, 3) != 0;
    report.ports.push_back(Port(port, opened, opened && Coin(random), Pick(random, 0, 9999)));
  }
  std::uint32_t node = 0;
  for (int n = Pick(random, 0, 6); n > 0; --n) {
    node += static_cast<std::uint32_t>(Pick(random, 1, 1600));
    report.adapters.push_back(RandomAdapter(random, node, any_bytes));
  }
  report.force = Coin(random);
  if (Coin(random)) {
    ImageSummary image;
    image.path = RandomText(random, 40, any_bytes);
    image.code_id = RandomText(random, 8, any_bytes);
    image.length = static_cast<std::uint32_t>(Pick(random, 0, 0xFFFFF));
    image.lrc = static_cast<std::uint32_t>(random());
    if (Coin(random)) image.ll = std::string{static_cast<char>(Pick(random, 0x21, 0x7e)), 'A'};
    report.image = image;
  }
  Count(&report);
  return report;
}

}  // namespace report_samples

#endif  // QXFW_QXFWSCAN_REPORT_SAMPLES_H_
