// The scan report as tables for people.
#ifndef QXFW_QXFWSCAN_REPORT_TEXT_H_
#define QXFW_QXFWSCAN_REPORT_TEXT_H_

#include <string>

#include "qxfwscan/report.h"

/// The report as a table for people: the ports, the adapters with their VPD
/// keywords, and the image with its plan when there is one. Control bytes
/// from the adapters and the file are shown as escapes.
std::string ScanReportText(const ScanReport& report);

#endif  // QXFW_QXFWSCAN_REPORT_TEXT_H_
