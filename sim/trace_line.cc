#include "sim/trace_line.h"

#include <utility>

namespace sim {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void AppendEscaped(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte >= 0x20 && byte < 0x7F) {
      out += c;
    } else {
      out += "\\u00";
      out += kHexDigits[byte >> 4];
      out += kHexDigits[byte & 0xF];
    }
  }
  out += '"';
}

}  // namespace

TraceLine::TraceLine(std::string_view op) {
  text_ = "{\"op\":";
  AppendEscaped(text_, op);
}

void TraceLine::Key(std::string_view key) {
  text_ += ',';
  AppendEscaped(text_, key);
  text_ += ':';
}

TraceLine& TraceLine::Text(std::string_view key, std::string_view value) {
  Key(key);
  AppendEscaped(text_, value);
  return *this;
}

TraceLine& TraceLine::Number(std::string_view key, std::int64_t value) {
  Key(key);
  text_ += std::to_string(value);
  return *this;
}

TraceLine& TraceLine::Hex(std::string_view key, const void* bytes, std::size_t size) {
  Key(key);
  const std::size_t start = text_.size();
  text_.resize(start + 2 * size + 2);
  char* out = text_.data() + start;
  *out++ = '"';
  const auto* in = static_cast<const unsigned char*>(bytes);
  for (std::size_t i = 0; i < size; ++i) {
    *out++ = kHexDigits[in[i] >> 4];
    *out++ = kHexDigits[in[i] & 0xF];
  }
  *out = '"';
  return *this;
}

std::string TraceLine::Finish() && {
  text_ += '}';
  return std::move(text_);
}

std::string DeviceIoControlLine(const DeviceIoControlCall& call) {
  TraceLine line("DeviceIoControl");
  line.Number("handle", call.handle);
  if (call.port >= 0) line.Number("port", call.port);
  line.Number("code", call.code)
      .Number("size", call.size)
      .Hex("sent", call.sent, call.sent_size)
      .Hex("answer", call.answer, call.answer_size)
      .Number("result", call.result ? 1 : 0);
  return std::move(line).Finish();
}

}  // namespace sim
