#include "qxfwscan/report_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "qxfwscan/reasons.h"
#include "qxfwscan/report_samples.h"
#include "util/printable_text.h"

namespace {

using namespace report_samples;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(ScanReportTextTest, TheExampleMachineLinesUpUnderItsHeadings) {
  EXPECT_EQ(ScanReportText(ExampleReport()),
            "Ports of the driver qarmix:\n"
            "  port  device        opened  node\n"
            "     1  \\\\.\\Scsi1:    yes     11\n"
            "     2  \\\\.\\Scsi2:    yes     12\n"
            "\n"
            "Adapters:\n"
            "  node  port  route       mode  VPD     LL  partner  action        reason\n"
            "    11     1  node           0  class3  1A  no       download      its LL 1A is the "
            "image's\n"
            "        VPD: *PN=\"QARMIX ADAPTER\" *SN=\"0000000000\" *LL=\"1A\"\n"
            "    12     2  node           0  class3  1A  no       download      its LL 1A is the "
            "image's\n"
            "        VPD: *PN=\"QARMIX ADAPTER\" *SN=\"0000000000\" *LL=\"1A\"\n"
            "    21     1  partner        0  class3  1A  yes      skip-partner  identify shows a "
            "partner adapter\n"
            "        VPD: *PN=\"QARMIX ADAPTER\" *SN=\"0000000000\" *LL=\"1A\"\n"
            "\n"
            "Image examples/firmware.L1A: CodeID SAMPLE01, length 4096 (0x01000), LRC 0x3c1b9455, "
            "LL 1A\n"
            "Plan: 2 downloads, 1 skip\n");
}

TEST(ScanReportTextTest, EmptyListsSaySoWithAndWithoutAnImage) {
  ScanReport report;
  EXPECT_EQ(ScanReportText(report),
            "No port is served by the driver qarmix.\n\n"
            "No adapter answers the probe at nodes 11 to 48.\n");
  report.image = ImageSummary{"fw.L1A", "", 0, 0, std::nullopt};
  EXPECT_EQ(ScanReportText(report),
            "No port is served by the driver qarmix.\n\n"
            "No adapter answers the probe at nodes 11 to 48.\n\n"
            "Image fw.L1A: CodeID , length 0 (0x00000), LRC 0x00000000, LL none\n"
            "Plan: 0 downloads, 0 skips\n");
}

TEST(ScanReportTextTest, PortsThatDidNotOpenOrAnswerShowWhy) {
  ScanReport report;
  report.ports = {Port(0, false, false, 0), Port(15, true, false, 0), Port(3, true, true, 1234)};
  EXPECT_EQ(
      Lines(ScanReportText(report)),
      (std::vector<std::string>{"Ports of the driver qarmix:", "  port  device        opened  node",
                                "     0  \\\\.\\Scsi0:    no      -",
                                "    15  \\\\.\\Scsi15:   yes     (node query failed)",
                                "     3  \\\\.\\Scsi3:    yes     1234", "",
                                "No adapter answers the probe at nodes 11 to 48."}));
}

/// The adapter's row of the report that holds it alone, without its VPD line.
std::string RowOf(const AdapterReport& adapter, bool with_image) {
  ScanReport report;
  report.adapters = {adapter};
  if (with_image) report.image = ImageSummary{"fw.L1A", "CODE", 1, 2, "1A"};
  Count(&report);
  return Lines(ScanReportText(report)).at(4);
}

TEST(ScanReportTextTest, EveryActionHasItsNameAndReason) {
  AdapterReport download = Adapter(11, 0, "1A", false);
  AdapterReport partner = Adapter(21, 0, "1A", true);
  AdapterReport other_ll = Adapter(12, 1, "2B", false);
  other_ll.decision.action = AdapterAction::kSkipLL;
  AdapterReport no_ll = Adapter(13, 1, "1A", false);
  no_ll.decision.has_ll = false;
  no_ll.decision.action = AdapterAction::kNoLL;
  AdapterReport absent;
  absent.probed.node = 40;
  absent.probed.probed = true;
  absent.decision.action = AdapterAction::kNoAdapter;
  EXPECT_EQ(RowOf(download, true),
            "    11     0  node           0  class3  1A  no       download      "
            "its LL 1A is the image's");
  EXPECT_EQ(RowOf(partner, true),
            "    21     0  node           0  class3  1A  yes      skip-partner  "
            "identify shows a partner adapter");
  EXPECT_EQ(RowOf(other_ll, true),
            "    12     1  node           0  class3  2B  no       skip-ll       "
            "its LL 2B is not the image's LL 1A");
  EXPECT_EQ(RowOf(no_ll, true),
            "    13     1  node           0  class3  -   no       no-ll         its VPD record "
            "has no LL: qxfwload says it is unable to determine the LL");
  EXPECT_EQ(RowOf(absent, true),
            "    40     -  -              -  -       -   -        no-adapter    "
            "no adapter answers the probe at this node");
}

TEST(ScanReportTextTest, ForcedDownloadsSayWhatIsNotCheckedAndWhatWillFail) {
  AdapterReport unprobed;
  unprobed.probed = {7, false, true, {}};
  unprobed.decided = true;
  unprobed.decision.identified = true;
  unprobed.route = {AdapterRoute::kFirstPort, 2};
  EXPECT_EQ(RowOf(unprobed, true),
            "     7     2  first-port     -  -       -   no       download      forced to this "
            "node: not probed");
  AdapterReport unsent = Adapter(30, -1, "1A", false);
  unsent.route = {};
  unsent.decision.ll_checked = false;
  unsent.decision.identified = false;
  EXPECT_EQ(RowOf(unsent, true),
            "    30     -  -              0  class3  1A  unknown  download      forced: the LL is "
            "not compared; identify failed, which qxfwload counts as not a partner; no open port "
            "carries it, so the download fails unsent");
}

TEST(ScanReportTextTest, WithoutAnImageTheLastColumnIsANote) {
  AdapterReport failed = Adapter(11, 0, "1A", false);
  failed.decision.identified = false;
  AdapterReport unprobed = Adapter(12, 0, "1A", false);
  unprobed.probed.probed = false;
  AdapterReport absent;
  absent.probed.node = 13;
  EXPECT_EQ(RowOf(Adapter(11, 0, "1A", true), false),
            "    11     0  node           0  class3  1A  yes      a partner adapter: a download "
            "skips it");
  EXPECT_EQ(RowOf(Adapter(11, 0, "1A", false), false),
            "    11     0  node           0  class3  1A  no       not a partner adapter");
  EXPECT_EQ(RowOf(failed, false),
            "    11     0  node           0  class3  1A  unknown  identify failed, which "
            "qxfwload counts as not a partner");
  EXPECT_EQ(RowOf(unprobed, false),
            "    12     0  node           0  class3  -   no       not probed (forced); not a "
            "partner");
  EXPECT_EQ(RowOf(absent, false),
            "    13     -  -              -  -       -   -        no adapter answers the probe "
            "at this node");
}

TEST(ScanReportTextTest, ControlBytesFromTheAdapterAndTheFileAreShownAsEscapes) {
  ScanReport report = ExampleReport();
  report.adapters.resize(1);
  report.adapters[0].keywords = {Keyword("*P\x1b", "a\nb\r\x7f\x80z"), Keyword("*LL", "1A")};
  report.image->path = std::string("evil\r\x1b[2Jname\0", 14);
  report.image->code_id = "C\tD";
  report.image->ll =
      "\x01"
      "A";
  report.adapters[0].decision.action = AdapterAction::kSkipLL;
  const std::vector<std::string> lines = Lines(ScanReportText(report));
  EXPECT_EQ(lines.at(7),
            "    11     1  node           0  class3  1A  no       skip-ll       "
            "its LL 1A is not the image's LL \\x01A");
  // A lone 0x80 is a C1 control byte, not part of a character.
  EXPECT_EQ(lines.at(8), "        VPD: *P\\x1b=\"a\\x0ab\\x0d\\x7f\\x80z\" *LL=\"1A\"");
  EXPECT_EQ(lines.at(10),
            "Image evil\\x0d\\x1b[2Jname\\x00: CodeID C\\x09D, length 4096 (0x01000), LRC "
            "0x3c1b9455, LL \\x01A");
}

TEST(ScanReportTextTest, ALongPathIsShownWhole) {
  ScanReport report = ExampleReport();
  report.image->path = std::string(3000, 'p') + "/fw.L1A";
  const std::string text = ScanReportText(report);
  EXPECT_NE(text.find("Image " + report.image->path + ": CodeID SAMPLE01, length 4096"),
            std::string::npos);
  EXPECT_NE(text.find("Plan: 2 downloads, 1 skip\n"), std::string::npos);
}

/// A heading's columns: where each starts and ends, and which side its
/// values keep to.
struct Column {
  std::size_t start, end;
  bool right;
};

/// The columns of a heading line such as "  node  port  route ...", whose
/// first `right` columns and those named in `right_names` align right.
std::vector<Column> ColumnsOf(const std::string& heading, const std::vector<std::string>& rights) {
  std::vector<Column> columns;
  for (std::size_t at = heading.find_first_not_of(' '); at != std::string::npos;) {
    const std::size_t word_end = std::min(heading.find(' ', at), heading.size());
    const std::string word = heading.substr(at, word_end - at);
    const std::size_t next = heading.find_first_not_of(' ', word_end);
    const bool right = std::find(rights.begin(), rights.end(), word) != rights.end();
    // A right-aligned column's values end under its name; a left-aligned
    // one's start under it and may run up to two spaces before the next.
    columns.push_back({right ? word_end - 4 : at, right ? word_end : next - 2, right});
    at = next;
  }
  return columns;
}

/// The cells of `row` under `columns`, each checked to be framed by spaces
/// as its side demands; the last cell is the rest of the row.
std::vector<std::string> CellsOf(const std::string& row, const std::vector<Column>& columns) {
  std::vector<std::string> cells;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const Column& c = columns[i];
    const bool last = i + 1 == columns.size();
    std::string cell =
        last ? row.substr(std::min(c.start, row.size())) : row.substr(c.start, c.end - c.start);
    EXPECT_TRUE(i == 0 || row.substr(c.start - 2, 2) == "  ") << row << " at " << c.start;
    const std::size_t first = cell.find_first_not_of(' ');
    const std::size_t past = cell.find_last_not_of(' ');
    if (!last && !cell.empty()) {
      EXPECT_TRUE(c.right ? past == cell.size() - 1 : first == 0) << "'" << cell << "' in " << row;
    }
    if (last) {
      cells.push_back(cell);  // as it stands, to the end of the row
    } else {
      cells.push_back(first == std::string::npos ? "" : cell.substr(first, past - first + 1));
    }
  }
  return cells;
}

std::string OrDash(const char* name) { return name != nullptr ? name : "-"; }

/// What each cell of an adapter's row must hold, from the report's fields
/// as the README describes them.
std::vector<std::string> ExpectedCells(const AdapterReport& a, const ScanReport& report) {
  const bool read = a.probed.probed && a.probed.answered;
  std::vector<std::string> cells{
      std::to_string(a.probed.node),
      a.route.slot >= 0 ? std::to_string(a.route.slot) : "-",
      OrDash(RouteName(a.route.reason)),
      a.probed.probe.mode_answered ? std::to_string(a.probed.probe.mode) : "-",
      OrDash(VpdReadName(a.probed.probe.vpd_read)),
      read && a.decision.has_ll ? std::string(a.decision.ll, 2) : "-",
      !a.decided               ? "-"
      : !a.decision.identified ? "unknown"
      : a.decision.partner     ? "yes"
                               : "no"};
  if (report.image) cells.push_back(ActionName(a.decision.action));
  cells.push_back(PrintableText(AdapterReason(a, report), false));
  return cells;
}

TEST(ScanReportTextTest, RandomReportsKeepTheirColumnsAndEveryFieldInIt) {
  std::mt19937 random(23);
  for (int round = 0; round < 400; ++round) {
    const ScanReport report = RandomReport(random, false);
    const std::vector<std::string> lines = Lines(ScanReportText(report));
    std::size_t at = 0;
    if (report.ports.empty()) {
      ASSERT_EQ(lines.at(at++), "No port is served by the driver qarmix.");
    } else {
      ASSERT_EQ(lines.at(at++), "Ports of the driver qarmix:");
      const auto columns = ColumnsOf(lines.at(at++), {"port"});
      for (const PortReport& port : report.ports) {
        const std::string node = !port.opened         ? "-"
                                 : port.node_answered ? std::to_string(port.node)
                                                      : "(node query failed)";
        EXPECT_EQ(CellsOf(lines.at(at++), columns),
                  (std::vector<std::string>{std::to_string(port.port), port.device,
                                            port.opened ? "yes" : "no", node}));
      }
    }
    ASSERT_EQ(lines.at(at++), "");
    if (report.adapters.empty()) {
      ASSERT_EQ(lines.at(at++), "No adapter answers the probe at nodes 11 to 48.");
    } else {
      ASSERT_EQ(lines.at(at++), "Adapters:");
      const auto columns = ColumnsOf(lines.at(at++), {"node", "port", "mode"});
      ASSERT_EQ(columns.size(), report.image ? 9u : 8u);
      for (const AdapterReport& adapter : report.adapters) {
        EXPECT_EQ(CellsOf(lines.at(at++), columns), ExpectedCells(adapter, report));
        if (adapter.keywords.empty()) continue;
        std::string vpd = "        VPD:";
        for (const VpdKeyword& k : adapter.keywords) vpd += " " + k.name + "=\"" + k.value + "\"";
        EXPECT_EQ(lines.at(at++), vpd);
      }
    }
    if (report.image) {
      ASSERT_EQ(lines.at(at++), "");
      EXPECT_EQ(lines.at(at++).rfind("Image " + report.image->path + ": CodeID ", 0), 0u);
      const auto plural = [](int n) { return n == 1 ? "" : "s"; };
      EXPECT_EQ(lines.at(at++), "Plan: " + std::to_string(report.downloads) + " download" +
                                    plural(report.downloads) + ", " + std::to_string(report.skips) +
                                    " skip" + plural(report.skips));
    }
    EXPECT_EQ(at, lines.size());
  }
}

TEST(ScanReportTextTest, RandomBytesNeverReachTheConsoleRaw) {
  std::mt19937 random(2323);
  for (int round = 0; round < 400; ++round) {
    const std::string text = ScanReportText(RandomReport(random, true));
    for (const char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      ASSERT_TRUE(byte == '\n' || (byte >= 0x20 && byte != 0x7f)) << static_cast<int>(byte);
    }
  }
}

}  // namespace
