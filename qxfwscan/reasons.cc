#include "qxfwscan/reasons.h"

namespace {

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

}  // namespace

std::string AdapterReason(const AdapterReport& adapter, const ScanReport& report) {
  return report.image ? PlanReason(adapter, report) : ListReason(adapter);
}
