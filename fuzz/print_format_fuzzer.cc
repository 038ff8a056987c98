// The print service's formatting over the system's own format texts with
// arbitrary argument words and texts, and over arbitrary format texts. For
// the system's texts the output must be what the C library prints with each
// argument given the type its conversion names (32-bit numbers whatever the
// length modifier says); for any text the output must stay bounded and no
// argument may be read or written beyond the four words.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "services/print_format.h"

namespace {

/// Every format text that the system hands to the print service
/// (scripts/fuzz checks that none is missing from this list).
constexpr const char* kSystemFormats[] = {
    "\n",
    "Ostrel Brivane Adapter Firmware Downloader for %s, version 1.8\n",
    "Ready to load firmware, press Enter when ready ... ",
    "Loading firmware file: %s\n",
    "Loaded firmware file, CodeID=%8s, length=%lu (0x%05lx), LRC=0x%08lx\n",
    "Copyright message :-\n---\n%s\n---\n",
    "No adapter at node %lu\n",
    "Skipping partner adapter, node=%lu\n",
    "Unable to determine LL of adapter, node=%lu\n",
    "Skipping adapter with LL=%2s, node=%lu\n",
    "Downloading %8s to adapter, node=%lu ... ",
    "Download %8s to adapter, node=%lu ",
    "done\n",
    "failed, use other downloader\n",
    "failed\n",
    "failed: rc=%d\n",
    "%d successful download%s performed\n",
    "Warning: didn't do any downloads\n",
    "Assert %s(%d): %s\n",
};
constexpr std::size_t kSystemFormatCount = sizeof kSystemFormats / sizeof kSystemFormats[0];

constexpr std::size_t kMaxText = 300;
// Widths and precisions are held to 4096 each; a double prints ~310 digits.
constexpr std::size_t kMostPerConversion = 4096 + 4096 + 512;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
template <typename T>
std::string Printed(const std::string& directive, T value) {
  char out[1024];
  std::snprintf(out, sizeof out, directive.c_str(), value);
  return out;
}
#pragma GCC diagnostic pop

/// The system's texts use only flags, a width, 'l' and one of d, u, x, s:
/// printed here one conversion at a time with the C library.
std::string Expected(const char* format, const PrintWords& words) {
  std::string out;
  std::size_t next = 0;
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    std::string directive = "%";
    for (++p; std::strchr("0123456789", *p) != nullptr && *p != '\0'; ++p) directive += *p;
    if (*p == 'l') ++p;
    const std::size_t slot = next++;
    switch (*p) {
      case 'd':
        out +=
            Printed(directive + 'd', static_cast<int>(static_cast<std::int32_t>(words.word[slot])));
        break;
      case 's': {
        const auto* text = static_cast<const char*>(words.pointer[slot]);
        out += Printed(directive + 's', text != nullptr ? text : "(null)");
        break;
      }
      default:  // u, x
        out += Printed(directive + *p, static_cast<unsigned>(words.word[slot]));
        break;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool system_format = in.ConsumeIntegralInRange<int>(0, 3) != 0;
  const std::size_t which = in.ConsumeIntegralInRange<std::size_t>(0, kSystemFormatCount - 1);
  std::vector<std::string> texts;
  PrintWords words;
  for (std::size_t i = 0; i < kPrintWords; ++i) {
    words.word[i] = in.ConsumeIntegral<std::uint32_t>();
    texts.push_back(in.ConsumeRandomLengthString(kMaxText));
  }
  // Pointers only once the texts stay where they are.
  for (std::size_t i = 0; i < kPrintWords; ++i) {
    words.pointer[i] = in.ConsumeBool() ? texts[i].c_str() : nullptr;
  }
  if (system_format) {
    const char* format = kSystemFormats[which];
    FUZZ_CHECK(FormatWords(format, words) == Expected(format, words));
    return 0;
  }
  const std::string format = in.ConsumeRandomLengthString(size);
  const std::vector<std::string> texts_before = texts;
  const std::string out = FormatWords(format.c_str(), words);
  FUZZ_CHECK(out.size() <= std::strlen(format.c_str()) * (kMostPerConversion + kMaxText));
  FUZZ_CHECK(texts == texts_before);  // "%n" writes nothing through an argument
  return 0;
}
