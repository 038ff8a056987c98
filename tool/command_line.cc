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

/// Past this a number doesn't fit in 32 bits; readers stop counting there.
constexpr std::uint64_t kBeyond32Bits = std::uint64_t{1} << 32;
/// The largest magnitude of a negative number that fits: -0x80000000.
constexpr std::uint64_t kLargestNegative = std::uint64_t{1} << 31;

std::uint64_t AddDigit(std::uint64_t value, unsigned base, int digit) {
  const std::uint64_t next = value * base + static_cast<std::uint64_t>(digit);
  return next >= kBeyond32Bits ? kBeyond32Bits : next;
}

/// A number's text read: its magnitude, kBeyond32Bits when larger, and sign.
struct NumberText {
  std::uint64_t magnitude = 0;
  bool negative = false;
};

/// Reads hexadecimal text the way "%lx" does: blanks, an optional sign, an
/// optional 0x prefix, then digits. Answers false when no digit follows.
bool ReadHex(const char* p, NumberText* number) {
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  number->negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && HexDigitValue(p[2]) >= 0) p += 2;
  if (HexDigitValue(*p) < 0) return false;
  for (; HexDigitValue(*p) >= 0; ++p)
    number->magnitude = AddDigit(number->magnitude, 16, HexDigitValue(*p));
  return true;
}

/// Reads decimal digits the way atoi does.
NumberText ReadDecimal(const char* p) {
  NumberText number;
  for (; IsDecimalDigit(*p); ++p) number.magnitude = AddDigit(number.magnitude, 10, *p - '0');
  return number;
}

bool FitsIn32Bits(const NumberText& number) {
  return number.magnitude <= (number.negative ? kLargestNegative : kBeyond32Bits - 1);
}

std::int32_t ValueOf(const NumberText& number) {
  const auto bits = static_cast<std::uint32_t>(number.magnitude);
  return static_cast<std::int32_t>(number.negative ? 0u - bits : bits);
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
    return result;
  }
  NumberText number;
  bool read = IsDecimalDigit(text[0]);
  if (read && text[0] == '0' && std::tolower(static_cast<unsigned char>(text[1])) == 'x') {
    read = ReadHex(text + 2, &number);
  } else if (read) {
    number = ReadDecimal(text);
  }
  if (!read || !FitsIn32Bits(number)) {
    result.outcome = Error(FormatErrorMessage("bad %s argument", name));
  } else {
    result.value = ValueOf(number);
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
