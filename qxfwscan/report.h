// What qxfwscan reports: the ports of the adapter driver, every adapter that
// the probe finds with what a download run would do to it, and the plan for
// an image. The findings come from the very functions qxfwload decides by.
// The report is plain data, so that its wording (qxfwscan/reasons.h) and its
// forms (qxfwscan/report_text.h, qxfwscan/report_json.h) can be tried on
// reports built by hand.
#ifndef QXFW_QXFWSCAN_REPORT_H_
#define QXFW_QXFWSCAN_REPORT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image/firmware_image.h"
#include "tool/load_image.h"
#include "tool/scan.h"
#include "tool/settings.h"
#include "tool/vpd.h"
#include "transport/adapters.h"

/// One port of the driver, as discovery left it.
struct PortReport {
  int port = 0;
  std::string device;
  bool opened = false;
  bool node_answered = false;
  std::int32_t node = 0;
};

/// One node of the probe pass and what the run would do with it.
struct AdapterReport {
  ProbedNode probed;
  /// Which port carries the node's requests and why; none (kNoSlot) when no
  /// open port does, and every request to the node fails unsent.
  AdapterRoute route;
  std::vector<VpdKeyword> keywords;
  /// Decided: the node answered the probe (or Force sends to it unprobed),
  /// and identify was asked.
  bool decided = false;
  AdapterDecision decision;
};

/// The image the plan is for.
struct ImageSummary {
  std::string path;
  std::string code_id;  // up to its first NUL, as "%8s" prints it
  std::uint32_t length = 0;
  std::uint32_t lrc = 0;
  std::optional<std::string> ll;  // the LL of the file's name
};

struct ScanReport {
  std::vector<PortReport> ports;
  /// Ascending by node: those that answered the probe, and a given node also
  /// when it didn't.
  std::vector<AdapterReport> adapters;
  std::optional<ImageSummary> image;  // set: the report carries a plan
  /// What was found of the image's signature; set with the image.
  std::optional<ImageSignatureReport> signature;
  bool force = false;
  int downloads = 0;
  int skips = 0;
};

/// Looks at the machine as qxfwload with `settings` would before it writes
/// anything: the ports from discovery, the probe pass, the decision for each
/// adapter. Sends only probes and identify requests. `image` is the loaded
/// image the plan is for, or null to list only.
/// REQUIRES: the adapters were discovered and Inject registered.
ScanReport ScanMachine(const Settings& settings, const FirmwareImage* image);

/// The name of an action in the report: "download", "skip-partner",
/// "skip-ll", "no-ll", "no-adapter".
const char* ActionName(AdapterAction action);

/// The name of a route in the report: "node", "partner", "first-port"; null
/// for kNoSlot, which has none.
const char* RouteName(AdapterRoute::Reason reason);

/// The name of the read that got a VPD record: "class3", "class2"; null for
/// kNone, when none was read.
const char* VpdReadName(VpdRead read);

/// The signature's state with its signer and anchor, and whether it is
/// required, as the text's line and the JSON's object show them.
std::string SignatureLine(const ImageSignatureReport& signature);

/// The two bytes of the LL that `decision` found, as they stand.
std::string LLText(const AdapterDecision& decision);

#endif  // QXFW_QXFWSCAN_REPORT_H_
