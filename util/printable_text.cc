#include "util/printable_text.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr unsigned char kDelete = 0x7F;

bool IsControl(unsigned char byte) { return byte < 0x20 || byte == kDelete; }

/// Whether the control byte at `at` is part of the layout of lines.
bool KeptLineControl(std::string_view text, std::size_t at) {
  const char c = text[at];
  if (c == '\t' || c == '\n') return true;
  return c == '\r' && at + 1 < text.size() && text[at + 1] == '\n';
}

}  // namespace

std::string PrintableText(std::string_view text, bool keep_lines) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size(); ++at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (!IsControl(byte) || (keep_lines && KeptLineControl(text, at))) {
      out.push_back(text[at]);
      continue;
    }
    out += "\\x";
    out += kHexDigits[byte >> 4];
    out += kHexDigits[byte & 0xF];
  }
  return out;
}
