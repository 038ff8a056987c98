// End-to-end scenarios: a simulated machine file, an image file and a
// command line, run through the built qxfwload, with the transactions that
// reached the driver decoded from the trace.
#ifndef QXFW_TESTING_SCENARIO_H_
#define QXFW_TESTING_SCENARIO_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "testing/machine_builder.h"
#include "testing/run_process.h"
#include "testing/scratch_dir.h"

namespace testing_support {

/// The banner a verbose run of qxfwload starts with, as an operator sees it.
inline constexpr char kBanner[] =
    "\nOstrel Brivane Adapter Firmware Downloader for Windows, version 1.8\n\n";

/// An adapter firmware file: the 272-byte header (copyright text, big-endian
/// length and LRC, the 8-byte CodeID) and the payload.
std::string AdapterFirmwareFile(std::string_view payload, std::string_view code_id,
                                std::string_view copyright = "(c) test image");

/// `body` with the four words an AIF image must hold: the no-op at offsets 0,
/// 4 and 8 and the branch to itself at 16. REQUIRES: body holds 20 bytes.
std::string WithAifHeader(std::string body);

/// The check value of the payload's whole little-endian words.
std::uint32_t PayloadLrc(std::string_view payload);

/// A payload of `size` deterministic bytes.
std::string TestPayload(std::size_t size, unsigned seed = 1);

/// One transaction as the driver received it.
struct Transaction {
  std::string op;  // mode, read, read2, identify, download, pre_notice, post_notice, other
  std::uint32_t node = 0;
  std::uint32_t unit = 0;
  std::uint16_t code = 0;
  std::uint8_t tx_class = 0;
  int port = -1;
  std::string parm_out;  // the areas as sent
  std::string data_out;
  std::string data_in;
  std::string parm_in;
  std::int8_t status = 0;  // DPB_Status as answered
  bool delivered = false;  // DeviceIoControl answered nonzero
};

struct ScenarioResult {
  ProcessResult run;
  std::vector<Transaction> transactions;
  std::vector<std::string> trace;  // every trace line
};

/// A machine file and image files in a temporary directory, for runs of
/// qxfwload that the test starts itself.
class ScenarioFiles {
 public:
  /// Writes the machine and the files (name, contents).
  ScenarioFiles(const std::string& machine_json,
                const std::vector<std::pair<std::string, std::string>>& files);
  ScenarioFiles(const Machine& machine,
                const std::vector<std::pair<std::string, std::string>>& files)
      : ScenarioFiles(machine.Text(), files) {}

  /// `args` with every "@name" replaced by that file's path.
  std::vector<std::string> Args(const std::vector<std::string>& args) const;
  /// The environment of a run on the machine, with its trace.
  ProcessOptions Options() const;
  /// The run with its trace, decoded; the trace file is emptied for the next.
  ScenarioResult Result(ProcessResult run) const;
  const std::string& dir() const;

 private:
  TempDir dir_;
  std::string machine_;
  std::string trace_;
};

/// Runs `program` (qxfwload unless named) with `args` on the machine
/// `machine_json`. The image files named in `files` (name, contents) are
/// written to a temporary directory, and every argument "@name" stands for
/// that file's path.
ScenarioResult RunScenario(const std::string& machine_json,
                           const std::vector<std::pair<std::string, std::string>>& files,
                           const std::vector<std::string>& args, const std::string& input = "",
                           const std::string& program = "qxfwload");

/// RunScenario on a built machine.
inline ScenarioResult RunScenario(const Machine& machine,
                                  const std::vector<std::pair<std::string, std::string>>& files,
                                  const std::vector<std::string>& args,
                                  const std::string& input = "",
                                  const std::string& program = "qxfwload") {
  return RunScenario(machine.Text(), files, args, input, program);
}

/// The transactions of one operation.
std::vector<Transaction> OfOp(const std::vector<Transaction>& all, const std::string& op);

/// Decodes the transaction trace lines ("DeviceIoControl" with control code
/// 0x80000001) among `lines`.
std::vector<Transaction> DecodeTransactions(const std::vector<std::string>& lines);

}  // namespace testing_support

#endif  // QXFW_TESTING_SCENARIO_H_
