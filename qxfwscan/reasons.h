// The wording of why the scan report says what it does about an adapter.
#ifndef QXFW_QXFWSCAN_REASONS_H_
#define QXFW_QXFWSCAN_REASONS_H_

#include <string>

#include "qxfwscan/report.h"

/// Why `adapter` gets its action, when `report` carries a plan for an image;
/// else what the listing notes about it (partner or not, answered or not).
/// The LLs in it are the adapter's and the image's bytes as they stand: a
/// renderer makes them safe for its reader.
/// REQUIRES: `adapter` is one of `report.adapters`, or built like one.
std::string AdapterReason(const AdapterReport& adapter, const ScanReport& report);

#endif  // QXFW_QXFWSCAN_REASONS_H_
