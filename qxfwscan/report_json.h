// The scan report as JSON for programs.
#ifndef QXFW_QXFWSCAN_REPORT_JSON_H_
#define QXFW_QXFWSCAN_REPORT_JSON_H_

#include <string>

#include "qxfwscan/report.h"

/// The report as one JSON document and a newline. Texts from the adapters
/// and the file are JSON strings whatever their bytes: each byte one
/// character (U+0000 to U+00FF).
std::string ScanReportJson(const ScanReport& report);

#endif  // QXFW_QXFWSCAN_REPORT_JSON_H_
