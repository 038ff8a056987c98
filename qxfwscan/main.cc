// The program entry of qxfwscan, the companion that shows an operator the
// adapters of a machine and, for a firmware file, what qxfwload would do to
// each of them, before anything is written. It comes up as qxfwload does
// (discovery, then the service entry), loads the file with qxfwload's own
// code and decides with qxfwload's own functions; it sends only probes and
// identify requests.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>

#include "qxfwscan/command.h"
#include "qxfwscan/machine_capture.h"
#include "qxfwscan/new_file.h"
#include "qxfwscan/report.h"
#include "qxfwscan/report_json.h"
#include "qxfwscan/report_text.h"
#include "services/issuing.h"
#include "services/startup.h"
#include "tool/error_exit.h"
#include "tool/load_image.h"
#include "transport/keyed_hash.h"
#include "transport/observed_machine.h"
#include "util/exit_status.h"

namespace {

[[noreturn]] void ScanUsageExit() {
  std::fputs(ScanUsage(), stderr);
  Terminate(exit_status::kError);
}

/// The firmware file, read and validated as qxfwload does it, without the
/// pause and without its progress lines.
/// The signature is judged as qxfwload judges it: an image that qxfwload
/// would refuse is refused here, with its message.
FirmwareImage LoadQuietly(const Settings& settings, ImageSignatureReport* signature) {
  Settings quiet = settings;
  quiet.Verbose = 0;
  quiet.Pause = 0;
  return LoadFirmwareImage(quiet, signature);
}

/// A report that didn't reach its reader must not pass for a scan.
void Write(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) ErrorExit("can't write standard output");
}

/// The moment of the capture, UTC, to the second.
std::string CaptureTime() {
  const std::time_t now = std::time(nullptr);
  const std::tm* utc = std::gmtime(&now);
  char text[32] = "";
  if (utc == nullptr || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc) == 0) {
    return "";
  }
  return text;
}

/// Redacts under a key of this capture alone, forgotten once the tokens
/// are made, so that no one can make them again from a guessed serial.
void Redact(CapturedMachine* machine) {
  HashKey key;
  if (!RandomHashKey(&key)) ErrorExit("no random key for --redact: the system's generator failed");
  const std::string error = RedactSerials(
      machine,
      [&key](std::string_view message, KeyedHash* mac) { return KeyedHashOf(key, message, mac); });
  volatile std::uint8_t* forgotten = key.data();
  for (std::size_t i = 0; i < key.size(); ++i) forgotten[i] = 0;
  if (!error.empty()) ErrorExit("can't redact the machine: %s", error.c_str());
}

/// The machine as the scan saw it, written to the file --save-machine names.
void SaveMachine(const ScanCommand& command) {
  CapturedMachine machine = CaptureMachine(ObservedPorts(), ObservedRequests());
  if (command.redact) Redact(&machine);
  CaptureFacts facts;
  facts.program = std::string(kScanProgramName) + " " + QX_VERSION;
  facts.time = CaptureTime();
  facts.redacted = command.redact;
  const std::string error = WriteNewFile(command.save_machine, CaptureText(machine, facts));
  if (!error.empty()) {
    ErrorExit("can't write machine file %s: %s", command.save_machine.c_str(), error.c_str());
  }
}

int ScanMain(int argc, char** argv) {
  SetErrorProgramName(kScanProgramName);
  ScanCommand command;
  const CommandLineOutcome parsed = ParseScanCommand(argc, argv, &command);
  if (parsed.failure == CommandLineFailure::kUsage) ScanUsageExit();
  if (!parsed.ok()) ErrorExit("%s", parsed.message.c_str());
  if (command.help) {
    Write(ScanUsage());
    Terminate(exit_status::kOk);
  }
  // Refused before any adapter hears anything, and nothing is written over.
  if (!command.save_machine.empty() && PathIsTaken(command.save_machine)) {
    ErrorExit("machine file %s already exists", command.save_machine.c_str());
  }
  const Settings& settings = command.settings;
  FirmwareImage image;
  ImageSignatureReport signature;
  if (settings.FirmwarePath != nullptr) image = LoadQuietly(settings, &signature);
  if (!command.save_machine.empty()) StartObservingRequests();
  ScanReport report = ScanMachine(settings, settings.FirmwarePath != nullptr ? &image : nullptr);
  if (report.image) report.signature = signature;
  DpbFree(image.Buffer);
  Write(command.json ? ScanReportJson(report) : ScanReportText(report));
  if (!command.save_machine.empty()) SaveMachine(command);
  Terminate(exit_status::kOk);
}

}  // namespace

int main(int argc, char** argv) { RunProgram(kScanProgramName, argc, argv, ScanMain); }
