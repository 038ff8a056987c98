#include "services/print_format.h"

#include <cstdio>
#include <cstring>

namespace {

/// Walks the argument words in order.
class WordReader {
 public:
  explicit WordReader(const PrintWords& words) : words_(words) {}

  std::uint32_t NextWord() { return next_ < kPrintWords ? words_.word[next_++] : 0; }

  const void* NextPointer() { return next_ < kPrintWords ? words_.pointer[next_++] : nullptr; }

  double NextDouble() {
    const std::uint64_t low = NextWord();
    const std::uint64_t high = NextWord();
    const std::uint64_t bits = low | (high << 32);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }

 private:
  const PrintWords& words_;
  std::uint32_t next_ = 0;
};

constexpr std::int64_t kMaxField = 4096;

bool IsFlag(char c) { return std::strchr("-+ #0", c) != nullptr && c != '\0'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLengthModifier(char c) { return c != '\0' && std::strchr("hljztLq", c) != nullptr; }

/// The parts of one conversion, its length modifier dropped.
struct Conversion {
  std::string directive = "%";  // flags, width and precision, ready for snprintf
  char type = '\0';
  std::size_t length = 0;  // characters consumed from the format
};

/// Parses the conversion that starts at `at` ('%'). Widths and precisions
/// given as '*' are taken from the words here, in the order printf takes them.
Conversion ParseConversion(const char* at, WordReader& reader) {
  Conversion c;
  const char* p = at + 1;
  while (IsFlag(*p)) c.directive += *p++;
  // Widths and precisions stay small, so no word can make a huge field.
  auto take_number = [&](bool precision) {
    std::int64_t value = 0;
    if (*p == '*') {
      value = static_cast<std::int32_t>(reader.NextWord());
      ++p;
    } else {
      for (; IsDigit(*p); ++p) {
        if (value <= kMaxField) value = value * 10 + (*p - '0');
      }
    }
    if (precision && value < 0) return;  // a negative precision means none
    if (precision) c.directive += '.';
    c.directive += std::to_string(value < -kMaxField  ? -kMaxField
                                  : value > kMaxField ? kMaxField
                                                      : value);
  };
  if (*p == '*' || IsDigit(*p)) take_number(false);
  if (*p == '.') {
    ++p;
    take_number(true);
  }
  while (IsLengthModifier(*p)) ++p;
  c.type = *p;
  c.length = static_cast<std::size_t>(p - at) + (*p != '\0' ? 1 : 0);
  return c;
}

// The directive is rebuilt from a parsed conversion and is always given exactly the
// argument type its conversion character names.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
template <typename T>
void AppendFormatted(std::string& out, const std::string& directive, T value) {
  const int needed = std::snprintf(nullptr, 0, directive.c_str(), value);
  if (needed <= 0) return;
  const std::size_t start = out.size();
  out.resize(start + static_cast<std::size_t>(needed) + 1);
  std::snprintf(out.data() + start, static_cast<std::size_t>(needed) + 1, directive.c_str(), value);
  out.resize(start + static_cast<std::size_t>(needed));
}
#pragma GCC diagnostic pop

/// Appends one conversion; answers false when it is not one printf knows.
bool AppendConversion(std::string& out, const Conversion& c, WordReader& reader) {
  const std::string directive = c.directive + c.type;
  switch (c.type) {
    case 'd':
    case 'i':
      AppendFormatted(out, directive,
                      static_cast<int>(static_cast<std::int32_t>(reader.NextWord())));
      return true;
    case 'u':
    case 'o':
    case 'x':
    case 'X':
      AppendFormatted(out, directive, static_cast<unsigned>(reader.NextWord()));
      return true;
    case 'c':
      AppendFormatted(out, directive, static_cast<int>(reader.NextWord() & 0xFF));
      return true;
    case 's': {
      const auto* text = static_cast<const char*>(reader.NextPointer());
      AppendFormatted(out, directive, text != nullptr ? text : "(null)");
      return true;
    }
    case 'p':
      AppendFormatted(out, directive, reader.NextPointer());
      return true;
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
      AppendFormatted(out, directive, reader.NextDouble());
      return true;
    case 'n':
      reader.NextPointer();  // consumed, never written through
      return true;
    default:
      return false;
  }
}

}  // namespace

PrintWords PrintWordsOf(const DPB& dpb) {
  PrintWords words;
  for (std::uint32_t i = 0; i < kPrintWords; ++i) {
    const std::uint32_t offset = dpb::kPrintArgOffset + 4 * i;
    words.word[i] = dpb.Get(WireField<std::uint32_t>{offset});
    words.pointer[i] = dpb.Pointer(PointerField{offset});
  }
  return words;
}

std::string FormatWords(const char* format, const PrintWords& words) {
  std::string out;
  WordReader reader(words);
  for (const char* p = format; *p != '\0';) {
    if (*p != '%') {
      out += *p++;
      continue;
    }
    if (p[1] == '%') {
      out += '%';
      p += 2;
      continue;
    }
    const Conversion c = ParseConversion(p, reader);
    if (!AppendConversion(out, c, reader)) out.append(p, c.length);
    p += c.length;
  }
  return out;
}
