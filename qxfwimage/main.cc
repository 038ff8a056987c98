// The program entry of qxfwimage, the companion program for the people who
// build and check firmware images. It runs without the adapters: it shares
// the downloader's loading, checks and name rule, and nothing else.
#include <cstdio>

#include "image/firmware_name.h"
#include "qxfwimage/command.h"
#include "qxfwimage/info.h"
#include "qxfwimage/pack.h"
#include "util/exit_status.h"
#include "util/printable_text.h"

namespace {

/// An error line. Its message may quote what the operator gave (a path, an
/// option): a control byte in it is shown, never sent to the terminal.
void PrintError(const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", kImageToolName, PrintableText(message, false).c_str());
}

int Fail(const std::string& message) {
  PrintError(message);
  return exit_status::kError;
}

/// Output that did not reach its destination must not pass for success.
int FinishOutput(int status) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) return Fail("can't write standard output");
  return status;
}

int RunInfo(const ImageToolCommand& command) {
  const ImageFormat format = command.aif ? ImageFormat::kAif : ImageFormat::kAdapterFirmware;
  const ImageReport report = InspectImageFile(
      command.file, format, FindFirmwareLL(command.file.c_str()), ReadProgramTrustFolder());
  const std::string text = command.json ? FormatReportJson(report) : FormatReportText(report);
  std::fwrite(text.data(), 1, text.size(), stdout);
  return FinishOutput(report.check.ok() ? exit_status::kOk : exit_status::kError);
}

int RunPack(const ImageToolCommand& command) {
  const Outcome<PackFailure> packed =
      PackFirmwareFile(command.code_id, command.copyright, command.payload, command.output);
  return packed.ok() ? exit_status::kOk : Fail(packed.message);
}

}  // namespace

int main(int argc, char** argv) {
  const ImageToolCommand command = ParseImageToolCommand(argc, argv);
  switch (command.kind) {
    case ImageToolCommand::kHelp:
      std::fputs(ImageToolUsage(), stdout);
      return FinishOutput(exit_status::kOk);
    case ImageToolCommand::kPack:
      return RunPack(command);
    case ImageToolCommand::kInfo:
      return RunInfo(command);
    case ImageToolCommand::kUsageError:
      break;
  }
  PrintError(command.error);
  std::fputs(ImageToolUsage(), stderr);
  return exit_status::kImageToolUsage;
}
