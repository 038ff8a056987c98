// The command line of qxfwscan: qxfwload's options a (or n), f and m, read by
// the very code qxfwload reads them with, and the scan's own --json and help.
#ifndef QXFW_QXFWSCAN_COMMAND_H_
#define QXFW_QXFWSCAN_COMMAND_H_

#include <string>

#include "tool/command_line.h"
#include "tool/settings.h"

inline constexpr char kScanProgramName[] = "qxfwscan";

/// One run of qxfwscan, as its command line asks for it.
struct ScanCommand {
  bool help = false;  // -h or --help: print the usage and stop
  bool json = false;  // --json
  /// --save-machine FILE: the machine as the scan saw it is written to FILE.
  std::string save_machine;
  bool redact = false;  // --redact: serial numbers in it are replaced by tokens
  /// The options as qxfwload takes them; FirmwarePath is null when the
  /// command line names no firmware file (list only).
  Settings settings;
};

/// Reads argv[1] onwards into `command`. Options come first, up to the first
/// argument that doesn't begin with '-': "--json", "--save-machine FILE",
/// "--redact" (only with --save-machine), "-h" or "--help", and -a
/// or -n (with a node), -f and -m as qxfwload reads them. An optional firmware
/// file follows, under qxfwload's name rule. A wrong option or a surplus
/// argument asks for the usage lines; a bad node or name is an error line.
CommandLineOutcome ParseScanCommand(int argc, char** argv, ScanCommand* command);

/// The usage text, ending in a newline.
const char* ScanUsage();

#endif  // QXFW_QXFWSCAN_COMMAND_H_
