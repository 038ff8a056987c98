#include "qxfwscan/command.h"

#include <cstring>

namespace {

constexpr char kUsage[] =
    "usage: qxfwscan [--json] [--save-machine FILE [--redact]] [-a node] [-f] [-m]\n"
    "                [firmware.Lxx]\n"
    "Lists the ports and adapters that qxfwload would work with and, given a\n"
    "firmware file, what qxfwload with the same options would do to each\n"
    "adapter and why. It sends only read-only requests.\n"
    "flags: --json        one JSON document instead of the table\n"
    "       --save-machine FILE\n"
    "                     also write the machine as the scan saw it to FILE, a\n"
    "                     new file, for support to replay\n"
    "       --redact      with --save-machine: serial numbers replaced by tokens\n"
    "       -a node       look at that node only (default nodes 11 to 48)\n"
    "       -f            as qxfwload -f: no LL check; with -a, no probe\n"
    "       -m            read the file as an AIF image\n"
    "       -h, --help    this text\n";

/// The options of qxfwload that mean something to a scan.
bool IsSharedOption(char letter) { return std::strchr("aAnNfFmM", letter) != nullptr; }

bool IsHelp(const char* argument) {
  return std::strcmp(argument, "--help") == 0 || argument[1] == 'h' || argument[1] == 'H';
}

CommandLineOutcome Usage() { return {CommandLineFailure::kUsage, {}}; }

}  // namespace

CommandLineOutcome ParseScanCommand(int argc, char** argv, ScanCommand* command) {
  int index = 1;
  for (; index < argc && argv[index][0] == '-'; ++index) {
    const char* argument = argv[index];
    if (std::strcmp(argument, "--json") == 0) {
      command->json = true;
    } else if (std::strcmp(argument, "--save-machine") == 0) {
      if (++index == argc || argv[index][0] == '\0') return Usage();
      command->save_machine = argv[index];
    } else if (std::strcmp(argument, "--redact") == 0) {
      command->redact = true;
    } else if (IsHelp(argument)) {
      command->help = true;
      return {};
    } else if (IsSharedOption(argument[1])) {
      const CommandLineOutcome option = TakeOption(argc, argv, &index, &command->settings);
      if (!option.ok()) return option;
    } else {
      return Usage();
    }
  }
  if (command->redact && command->save_machine.empty()) return Usage();
  if (index == argc) return {};
  return TakeFirmwareArgument(argc, argv, index, &command->settings);
}

const char* ScanUsage() { return kUsage; }
