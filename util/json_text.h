// Text from a file or an adapter as a JSON string value, whatever its bytes.
#ifndef QXFW_UTIL_JSON_TEXT_H_
#define QXFW_UTIL_JSON_TEXT_H_

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

/// `bytes` as a JSON string value: each byte a character of its own (U+0000
/// to U+00FF), so that any bytes make valid JSON and can be read back from
/// it, whether or not they are UTF-8. Dumped with ensure_ascii, each byte
/// above 0x7F shows as \u00XX.
inline nlohmann::ordered_json JsonText(std::string_view bytes) {
  std::string utf8;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      utf8.push_back(c);
    } else {
      utf8.push_back(static_cast<char>(0xC0 | byte >> 6));
      utf8.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  return utf8;
}

#endif  // QXFW_UTIL_JSON_TEXT_H_
