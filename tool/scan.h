// The deciding part of the scan and download sequence: which nodes a run
// looks at, what the probe finds at each, and what the run does with each
// adapter. qxfwload sends its downloads by these decisions and qxfwscan
// reports them, so that the plan a scan shows is the run that follows.
// Only read-only requests go out from here: probes and identify requests.
#ifndef QXFW_TOOL_SCAN_H_
#define QXFW_TOOL_SCAN_H_

#include <cstdint>
#include <functional>

#include "tool/requests.h"
#include "tool/settings.h"

/// The node range of the scan and of the notices.
inline constexpr std::uint32_t kFirstScanNode = 11;
inline constexpr std::uint32_t kLastScanNode = 48;

/// One node as the probe pass left it.
struct ProbedNode {
  std::uint32_t node = 0;
  /// False for a node given with Force: the run goes to it unprobed.
  bool probed = false;
  /// It answered the probe, or it wasn't probed.
  bool answered = false;
  ProbeReport probe;
};

/// Called with each node of the probe pass and the VPD record its probe
/// read: zeros where none was read. The record lives for the call only.
using ProbedNodeSink = std::function<void(const ProbedNode& node, const std::uint8_t* vpd)>;

/// The probe pass for `settings`: with no node given, every node 11 to 48 in
/// ascending order; else the given node alone, also outside that range,
/// which under Force is not probed. Each probe's record starts as zeros, so
/// nothing of an earlier one travels to the adapter with the read.
void RunProbePass(const Settings& settings, const ProbedNodeSink& found);

/// What a run does with an adapter.
enum class AdapterAction {
  kDownload,     // notices, the download, notices
  kSkipPartner,  // identify shows a partner adapter
  kSkipLL,       // its LL is not the firmware's
  kNoLL,         // its VPD record has no LL
  kNoAdapter,    // the given node didn't answer the probe
};

/// What deciding about one adapter found.
struct AdapterDecision {
  AdapterAction action = AdapterAction::kDownload;
  /// Identify answered 0; a failed identify counts as "no partner".
  bool identified = false;
  bool partner = false;
  /// Whether the run compared the adapter's LL with FirmwareLL (not under
  /// Force, nor for a name without one).
  bool ll_checked = false;
  /// The LL that the VPD record carries, looked up whether or not it is
  /// compared.
  bool has_ll = false;
  char ll[2] = {};
};

/// Decides for an adapter that answered the probe (or that Force sends to
/// unprobed): identify, and a partner is skipped; then, unless Force is set
/// or the firmware name has no LL, the LL of `vpd` must be FirmwareLL.
/// Sends the identify request only.
AdapterDecision DecideDownload(std::uint32_t node, const std::uint8_t vpd[kVpdSize],
                               const Settings& settings);

#endif  // QXFW_TOOL_SCAN_H_
