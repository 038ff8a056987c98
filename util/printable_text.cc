#include "util/printable_text.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr unsigned char kDelete = 0x7F;
constexpr unsigned char kFirstC1 = 0x80;
constexpr unsigned char kLastC1 = 0x9F;
constexpr char32_t kLastCodePoint = 0x10FFFF;
constexpr char32_t kFirstSurrogate = 0xD800;
constexpr char32_t kLastSurrogate = 0xDFFF;

bool IsC0OrDelete(unsigned char byte) { return byte < 0x20 || byte == kDelete; }

bool IsC1(char32_t code) { return code >= kFirstC1 && code <= kLastC1; }

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

/// Whether the control byte at `at` is part of the layout of lines.
bool KeptLineControl(std::string_view text, std::size_t at) {
  const char c = text[at];
  if (c == '\t' || c == '\n') return true;
  return c == '\r' && at + 1 < text.size() && text[at + 1] == '\n';
}

/// One multi-byte UTF-8 sequence that starts at a byte.
struct Utf8Sequence {
  std::size_t length = 0;  // 0: no valid sequence starts there
  char32_t code = 0;
};

/// What a lead byte says of its sequence: length 0 for a byte that starts
/// no multi-byte sequence.
struct Lead {
  std::size_t length = 0;
  char32_t bits = 0;      // the code point's bits in the lead byte
  char32_t smallest = 0;  // below it the sequence would be overlong
};

Lead LeadOf(unsigned char byte) {
  if ((byte & 0xE0) == 0xC0) return {2, byte & 0x1Fu, 0x80};
  if ((byte & 0xF0) == 0xE0) return {3, byte & 0x0Fu, 0x800};
  if ((byte & 0xF8) == 0xF0) return {4, byte & 0x07u, 0x10000};
  return {};
}

/// The well-formed sequence of two to four bytes that starts at `at`: no
/// overlong form, no surrogate, nothing past U+10FFFF.
Utf8Sequence SequenceAt(std::string_view text, std::size_t at) {
  const Lead lead = LeadOf(static_cast<unsigned char>(text[at]));
  const std::size_t length = lead.length;
  char32_t code = lead.bits;
  if (length == 0) return {};
  if (text.size() - at < length) return {};
  for (std::size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[at + i]);
    if (!IsContinuation(byte)) return {};
    code = code << 6 | (byte & 0x3F);
  }
  if (code < lead.smallest || code > kLastCodePoint) return {};
  if (code >= kFirstSurrogate && code <= kLastSurrogate) return {};
  return {length, code};
}

void AppendShown(std::string* out, unsigned char byte) {
  *out += "\\x";
  *out += kHexDigits[byte >> 4];
  *out += kHexDigits[byte & 0xF];
}

}  // namespace

std::string PrintableText(std::string_view text, bool keep_lines) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const auto byte = static_cast<unsigned char>(text[at]);
    const Utf8Sequence sequence = byte < 0x80 ? Utf8Sequence{} : SequenceAt(text, at);
    if (sequence.length != 0) {
      // A C1 control in UTF-8 is shown byte by byte; any other character
      // stays as it is.
      for (std::size_t i = 0; i < sequence.length; ++i) {
        const auto part = static_cast<unsigned char>(text[at + i]);
        if (IsC1(sequence.code)) {
          AppendShown(&out, part);
        } else {
          out.push_back(text[at + i]);
        }
      }
      at += sequence.length;
      continue;
    }
    // A byte alone: a C0 control, DEL, or a byte of 0x80 to 0x9F that a
    // terminal reading single bytes takes for a C1 control, is shown.
    const bool shown = IsC0OrDelete(byte) ? !(keep_lines && KeptLineControl(text, at)) : IsC1(byte);
    if (shown) {
      AppendShown(&out, byte);
    } else {
      out.push_back(text[at]);
    }
    ++at;
  }
  return out;
}
