// Formatting of the print service. A print request carries a format and four
// 32-bit argument words; a host pointer stands beside each word. Each
// conversion of the format takes the next word with the type it needs: a
// 32-bit number for the integer conversions whatever the length modifier says
// (so "%lu" and "%08lx" read 32 bits on every host), the host pointer for "%s"
// and "%p", two words for a double. No argument is ever handed to printf with
// a type other than the one its conversion expects.
#ifndef QXFW_SERVICES_PRINT_FORMAT_H_
#define QXFW_SERVICES_PRINT_FORMAT_H_

#include <array>
#include <cstdint>
#include <string>

#include "record/dpb.h"

inline constexpr std::uint32_t kPrintWords = dpb::kPrintArgs;

/// The argument words of one print request.
struct PrintWords {
  std::array<std::uint32_t, kPrintWords> word{};
  std::array<const void*, kPrintWords> pointer{};
};

/// Reads the four argument words (and their host pointers) of a print block.
PrintWords PrintWordsOf(const DPB& dpb);

/// Formats `format` with `words`. Conversions past the fourth word read 0 or
/// a null pointer (printed "(null)"); "%n" writes nothing; an incomplete or
/// unknown conversion is copied as it stands.
/// REQUIRES: format is a NUL-terminated text.
std::string FormatWords(const char* format, const PrintWords& words);

#endif  // QXFW_SERVICES_PRINT_FORMAT_H_
