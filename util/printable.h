// Text that comes from a file or an adapter, made safe to show on a
// terminal: a control byte is shown as an escape rather than acted on.
#ifndef QXFW_UTIL_PRINTABLE_H_
#define QXFW_UTIL_PRINTABLE_H_

#include <cstdio>
#include <string>
#include <string_view>

/// `text` with each C0 control byte (other than newlines and tabs when
/// `keep_lines` is set) and DEL shown as \xNN, so that a file can't send
/// the terminal escape sequences. Other bytes are kept as they are.
inline std::string PrintableText(std::string_view text, bool keep_lines) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const bool kept_control = keep_lines && (c == '\n' || c == '\t');
    if ((byte < 0x20 || byte == 0x7F) && !kept_control) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned>(byte));
      out.append(escaped);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

#endif  // QXFW_UTIL_PRINTABLE_H_
