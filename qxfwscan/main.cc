// The program entry of qxfwscan, the companion that shows an operator the
// adapters of a machine and, for a firmware file, what qxfwload would do to
// each of them, before anything is written. It comes up as qxfwload does
// (discovery, then the service entry), loads the file with qxfwload's own
// code and decides with qxfwload's own functions; it sends only probes and
// identify requests.
#include <cstdio>
#include <string>

#include "qxfwscan/command.h"
#include "qxfwscan/report.h"
#include "qxfwscan/report_json.h"
#include "qxfwscan/report_text.h"
#include "services/issuing.h"
#include "services/startup.h"
#include "tool/error_exit.h"
#include "tool/load_image.h"
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
  const Settings& settings = command.settings;
  FirmwareImage image;
  ImageSignatureReport signature;
  if (settings.FirmwarePath != nullptr) image = LoadQuietly(settings, &signature);
  ScanReport report = ScanMachine(settings, settings.FirmwarePath != nullptr ? &image : nullptr);
  if (report.image) report.signature = signature;
  DpbFree(image.Buffer);
  Write(command.json ? ScanReportJson(report) : ScanReportText(report));
  Terminate(exit_status::kOk);
}

}  // namespace

int main(int argc, char** argv) { RunProgram(kScanProgramName, argc, argv, ScanMain); }
