// The option loop, the firmware argument with its name rule, and number
// parsing over arbitrary argument vectors: the input is split at NUL bytes
// into arguments (argv[0] is the program). Each argument lives in a heap
// block of exactly its length and NUL, so that ASan reports a read past an
// argument's end; the settings and outcomes must hold what the rules say.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "image/firmware_name.h"
#include "tool/command_line.h"
#include "tool/error_exit.h"

namespace {

constexpr int kMaxArguments = 24;

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

void CheckNumber(const char* text) {
  const NumberParse parse = ParseNumberText(text, "node");
  const bool decimal_start = text[0] >= '0' && text[0] <= '9';
  if (!decimal_start) FUZZ_CHECK(parse.outcome.message == "bad node argument");
  if (parse.outcome.ok()) {
    FUZZ_CHECK(decimal_start);
    // Plain decimal text converts to its value, which fits in 32 bits.
    if (text[1] != 'x' && text[1] != 'X') {
      std::uint64_t value = 0;
      for (const char* p = text; *p >= '0' && *p <= '9' && value <= UINT32_MAX; ++p) {
        value = value * 10 + static_cast<std::uint64_t>(*p - '0');
      }
      FUZZ_CHECK(value <= UINT32_MAX && static_cast<std::uint32_t>(parse.value) == value);
    }
  }
  const NumberParse non_negative = ParseNonNegativeText(text, "node");
  FUZZ_CHECK(!non_negative.outcome.ok() || non_negative.value >= 0);
  if (parse.outcome.ok() && parse.value < 0) {
    FUZZ_CHECK(non_negative.outcome.message == "node should not be negative");
  }
  FUZZ_CHECK(parse.outcome.message.size() < kErrorMessageSize);
}

void CheckName(const char* path, const char* ll) {
  const std::size_t length = std::strlen(path);
  if (ll == nullptr) return;
  // The two characters end the name, after ".L" or ".l", and no '.' follows.
  FUZZ_CHECK(length >= 4 && ll == path + length - 2);
  FUZZ_CHECK(ll[-2] == '.' && (ll[-1] == 'L' || ll[-1] == 'l'));
  FUZZ_CHECK(IsHexDigit(ll[0]) && IsHexDigit(ll[1]));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::unique_ptr<char[]>> storage;
  std::vector<char*> argv;
  const auto add = [&](const char* begin, std::size_t length) {
    auto argument = std::make_unique<char[]>(length + 1);
    std::memcpy(argument.get(), begin, length);
    argument[length] = '\0';
    argv.push_back(argument.get());
    storage.push_back(std::move(argument));
  };
  add("qxfwload", 8);
  const auto* text = reinterpret_cast<const char*>(data);
  std::size_t start = 0;
  for (std::size_t i = 0; i <= size && argv.size() < kMaxArguments; ++i) {
    if (i == size || text[i] == '\0') {
      if (i < size || start < size) add(text + start, i - start);
      start = i + 1;
    }
  }
  const int argc = static_cast<int>(argv.size());
  argv.push_back(nullptr);

  for (int i = 1; i < argc; ++i) {
    CheckNumber(argv[i]);
    CheckName(argv[i], FindFirmwareLL(argv[i]));
  }

  Settings settings;
  int index = 1;
  const CommandLineOutcome options = ParseOptions(argc, argv.data(), &index, &settings);
  if (!options.ok()) return 0;
  FUZZ_CHECK(index >= 1 && index <= argc);
  // The loop ends at the first argument that isn't an option.
  if (index < argc) FUZZ_CHECK(argv[index][0] != '-');
  FUZZ_CHECK(settings.SelectedNode == kAllAdapters || settings.SelectedNode <= 0x7FFFFFFFu);

  const CommandLineOutcome firmware = TakeFirmwareArgument(argc, argv.data(), index, &settings);
  if (index == argc) {
    FUZZ_CHECK(firmware.failure == CommandLineFailure::kUsage);
    return 0;
  }
  // The path is the argument itself, never a copy.
  FUZZ_CHECK(settings.FirmwarePath == argv[index]);
  FUZZ_CHECK(settings.FirmwareLL == FindFirmwareLL(argv[index]));
  if (firmware.ok()) {
    FUZZ_CHECK(index + 1 == argc);
    FUZZ_CHECK(settings.Force != 0 || settings.FirmwareLL != nullptr);
  } else if (settings.Force == 0 && settings.FirmwareLL == nullptr) {
    FUZZ_CHECK(firmware.failure == CommandLineFailure::kError);
  } else {
    FUZZ_CHECK(firmware.failure == CommandLineFailure::kUsage && index + 1 < argc);
  }
  return 0;
}
