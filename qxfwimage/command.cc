#include "qxfwimage/command.h"

#include <string_view>
#include <vector>

#include "image/firmware_image.h"

namespace {

constexpr char kUsage[] =
    "usage: qxfwimage pack --code-id ID [--copyright TEXT] PAYLOAD OUTPUT\n"
    "       qxfwimage info [-m] [--json] FILE\n"
    "       qxfwimage --help\n"
    "\n"
    "pack  writes PAYLOAD as an adapter firmware file OUTPUT: a 272-byte header\n"
    "      with the copyright text (at most 251 characters), the data length and\n"
    "      the LRC of the data (both big-endian) and the CodeID (1 to 8\n"
    "      characters), then the payload.\n"
    "info  prints the header fields of FILE, its computed LRC, the LL that\n"
    "      qxfwload takes from its name, and whether qxfwload accepts it, with\n"
    "      qxfwload's own message for the first failure. -m reads FILE as an AIF\n"
    "      image, --json prints one JSON object. Exit status 0 when FILE is\n"
    "      valid, 1 when it is not.\n"
    "\n"
    "Exit status 2 for a usage error.\n";

ImageToolCommand UsageError(std::string error) {
  ImageToolCommand command;
  command.kind = ImageToolCommand::kUsageError;
  command.error = std::move(error);
  return command;
}

/// The arguments after the command word, split into options (with their
/// values) and operands.
struct SplitArguments {
  std::vector<std::string_view> options;
  std::vector<std::string_view> values;  // beside each option; empty for a flag
  std::vector<std::string_view> operands;
  std::string error;
};

bool TakesValue(std::string_view option) {
  return option == "--code-id" || option == "--copyright";
}

SplitArguments Split(int argc, const char* const* argv, int first) {
  SplitArguments split;
  bool options_ended = false;
  for (int i = first; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (options_ended || argument.size() < 2 || argument[0] != '-') {
      split.operands.push_back(argument);
    } else if (argument == "--") {
      options_ended = true;
    } else if (TakesValue(argument)) {
      if (i + 1 >= argc) {
        split.error = std::string(argument) + " needs a value";
        return split;
      }
      split.options.push_back(argument);
      split.values.push_back(argv[++i]);
    } else {
      split.options.push_back(argument);
      split.values.emplace_back();
    }
  }
  return split;
}

bool AsksForHelp(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--") return false;
    if (argument == "--help" || argument == "-h") return true;
  }
  return false;
}

ImageToolCommand ParsePack(const SplitArguments& split) {
  ImageToolCommand command;
  command.kind = ImageToolCommand::kPack;
  bool has_code_id = false;
  for (std::size_t i = 0; i < split.options.size(); ++i) {
    if (split.options[i] == "--code-id") {
      command.code_id = split.values[i];
      has_code_id = true;
    } else if (split.options[i] == "--copyright") {
      command.copyright = split.values[i];
    } else {
      return UsageError("unknown option for pack: " + std::string(split.options[i]));
    }
  }
  if (!has_code_id) return UsageError("pack needs --code-id");
  if (command.code_id.empty() || command.code_id.size() > kCodeIdSize) {
    return UsageError("--code-id takes 1 to 8 characters");
  }
  if (command.copyright.size() > kLongestCopyright) {
    return UsageError("--copyright takes at most 251 characters");
  }
  if (split.operands.size() != 2) return UsageError("pack takes a PAYLOAD and an OUTPUT file");
  command.payload = split.operands[0];
  command.output = split.operands[1];
  return command;
}

ImageToolCommand ParseInfo(const SplitArguments& split) {
  ImageToolCommand command;
  command.kind = ImageToolCommand::kInfo;
  for (std::string_view option : split.options) {
    if (option == "-m") {
      command.aif = true;
    } else if (option == "--json") {
      command.json = true;
    } else {
      return UsageError("unknown option for info: " + std::string(option));
    }
  }
  if (split.operands.size() != 1) return UsageError("info takes one FILE");
  command.file = split.operands[0];
  return command;
}

}  // namespace

ImageToolCommand ParseImageToolCommand(int argc, const char* const* argv) {
  if (AsksForHelp(argc, argv)) {
    ImageToolCommand help;
    help.kind = ImageToolCommand::kHelp;
    return help;
  }
  if (argc < 2) return UsageError("no command given");
  const std::string_view verb = argv[1];
  if (verb != "pack" && verb != "info") return UsageError("unknown command: " + std::string(verb));
  const SplitArguments split = Split(argc, argv, 2);
  if (!split.error.empty()) return UsageError(split.error);
  return verb == "pack" ? ParsePack(split) : ParseInfo(split);
}

const char* ImageToolUsage() { return kUsage; }
