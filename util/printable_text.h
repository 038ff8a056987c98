// Text from outside the system (a firmware file's header, a path) as it may
// go to a console: a control byte in it is shown, never sent, so that no
// file can clear the screen, move the cursor or hide the lines after it.
#ifndef QXFW_UTIL_PRINTABLE_TEXT_H_
#define QXFW_UTIL_PRINTABLE_TEXT_H_

#include <string>
#include <string_view>

/// `text` with every control byte (0x00 to 0x1F, and 0x7F) shown as \xNN in
/// lower-case hex. With `keep_lines` a tab, a line feed and a carriage
/// return that comes before a line feed (a CR LF line end) stay as they
/// are; a lone carriage return, which would let later text overwrite the
/// line, is shown. C1 controls are shown too, each byte as \xNN: a
/// well-formed UTF-8 sequence of U+0080 to U+009F (C2 80 to C2 9F), and a
/// byte of 0x80 to 0x9F that is not part of a well-formed sequence. Every
/// other well-formed UTF-8 character, and every other byte from 0xA0 up,
/// is kept, so that UTF-8 text prints as it stands; text without such
/// bytes comes back unchanged.
std::string PrintableText(std::string_view text, bool keep_lines);

#endif  // QXFW_UTIL_PRINTABLE_TEXT_H_
