#include "tool/command_line.h"

#include <cctype>
#include <cstring>
#include <utility>

#include "image/firmware_name.h"
#include "services/issuing.h"
#include "services/startup.h"
#include "tool/download.h"
#include "tool/error_exit.h"

Settings ProgramSettings;

namespace {

constexpr char kNodeName[] = "node";
constexpr char kPlatformWord[] = "Windows";
constexpr std::uint32_t kRunApplicationSize = 0xF000;

CommandLineOutcome Usage() { return {CommandLineFailure::kUsage, {}}; }

CommandLineOutcome Error(std::string message) {
  return {CommandLineFailure::kError, std::move(message)};
}

bool IsDecimalDigit(char c) { return c >= '0' && c <= '9'; }

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

/// Reads hexadecimal text the way "%lx" does: blanks, an optional sign, an
/// optional 0x prefix, then digits. Answers false when no digit follows.
/// A value past 64 bits saturates, as a 64-bit conversion does.
bool ReadHex(const char* p, std::uint64_t* value) {
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && HexDigitValue(p[2]) >= 0) p += 2;
  if (HexDigitValue(*p) < 0) return false;
  std::uint64_t v = 0;
  for (; HexDigitValue(*p) >= 0; ++p) {
    v = v > (UINT64_MAX >> 4) ? UINT64_MAX
                              : (v << 4) | static_cast<std::uint64_t>(HexDigitValue(*p));
  }
  *value = negative ? std::uint64_t{0} - v : v;
  return true;
}

/// Reads decimal digits the way atoi does, keeping the low 32 bits.
std::uint32_t ReadDecimal(const char* p) {
  std::uint32_t v = 0;
  for (; IsDecimalDigit(*p); ++p) v = v * 10 + static_cast<std::uint32_t>(*p - '0');
  return v;
}

CommandLineOutcome TakeNode(int argc, char** argv, int* index, Settings* settings) {
  if (*index + 1 >= argc) return Usage();
  const NumberParse node = ParseNonNegativeText(argv[*index + 1], kNodeName);
  if (!node.outcome.ok()) return node.outcome;
  settings->SelectedNode = static_cast<std::uint32_t>(node.value);
  ++*index;
  return {};
}

}  // namespace

NumberParse ParseNumberText(const char* text, const char* name) {
  NumberParse result;
  if (text == nullptr) {
    result.outcome = Error(FormatErrorMessage("missing %s argument", name));
  } else if (!IsDecimalDigit(text[0])) {
    result.outcome = Error(FormatErrorMessage("bad %s argument", name));
  } else if (text[0] == '0' && std::tolower(static_cast<unsigned char>(text[1])) == 'x') {
    std::uint64_t value = 0;
    if (ReadHex(text + 2, &value)) {
      result.value = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    } else {
      result.outcome = Error(FormatErrorMessage("bad %s argument", name));
    }
  } else {
    result.value = static_cast<std::int32_t>(ReadDecimal(text));
  }
  return result;
}

NumberParse ParseNonNegativeText(const char* text, const char* name) {
  NumberParse result = ParseNumberText(text, name);
  if (result.outcome.ok() && result.value < 0) {
    result.outcome = Error(FormatErrorMessage("%s should not be negative", name));
  }
  return result;
}

CommandLineOutcome TakeOption(int argc, char** argv, int* index, Settings* settings) {
  switch (argv[*index][1]) {
    case 'a':
    case 'A':
    case 'n':
    case 'N':
      return TakeNode(argc, argv, index, settings);
    case 'f':
    case 'F':
      settings->Force = 1;
      return {};
    case 'm':
    case 'M':
      settings->AifImage = 1;
      return {};
    case 'p':
    case 'P':
      settings->Pause = 1;
      return {};
    case 'q':
    case 'Q':
      settings->Verbose = 0;
      return {};
    default:
      return Usage();
  }
}

CommandLineOutcome ParseOptions(int argc, char** argv, int* index, Settings* settings) {
  for (; *index < argc && argv[*index][0] == '-'; ++*index) {
    const CommandLineOutcome option = TakeOption(argc, argv, index, settings);
    if (!option.ok()) return option;
  }
  return {};
}

CommandLineOutcome TakeFirmwareArgument(int argc, char** argv, int index, Settings* settings) {
  if (index >= argc) return Usage();
  settings->FirmwarePath = argv[index++];
  settings->FirmwareLL = FindFirmwareLL(settings->FirmwarePath);
  if (settings->Force == 0 && settings->FirmwareLL == nullptr) {
    return Error("firmware must be named name.Lxx where xx is the LL field");
  }
  if (index != argc) return Usage();
  return {};
}

void ExitOnFailure(const CommandLineOutcome& outcome) {
  if (outcome.failure == CommandLineFailure::kUsage) UsageExit();
  if (outcome.failure == CommandLineFailure::kError) ErrorExit("%s", outcome.message.c_str());
}

namespace {

void PrintBanner() {
  DpbPrint("\n");
  DpbPrint("Ostrel Brivane Adapter Firmware Downloader for %s, version 1.8\n", kPlatformWord);
  DpbPrint("\n");
}

}  // namespace

std::int32_t ParseNumberArg(const char* text, const char* name) {
  const NumberParse result = ParseNumberText(text, name);
  ExitOnFailure(result.outcome);
  return result.value;
}

std::int32_t ParseNonNegativeArg(const char* text, const char* name) {
  const NumberParse result = ParseNonNegativeText(text, name);
  ExitOnFailure(result.outcome);
  return result.value;
}

int AppMain(int argc, char** argv) {
  int index = 1;
  ExitOnFailure(ParseOptions(argc, argv, &index, &ProgramSettings));
  if (ProgramSettings.Verbose) PrintBanner();
  ExitOnFailure(TakeFirmwareArgument(argc, argv, index, &ProgramSettings));
  return RunApplication(DownloadMain, kRunApplicationSize, 0, 0);
}
