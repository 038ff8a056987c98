#include "sim/driver_trace.h"

#include <cstdint>

#include "sim/control_record.h"
#include "sim/trace_line.h"

namespace sim {

std::string DriverTraceLines(std::string_view records, std::string* lines) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(records.data());
  std::size_t at = 0;
  while (at < records.size()) {
    const std::size_t left = records.size() - at;
    if (left < kControlHeaderSize) return "a record header is cut short";
    const ControlRecordHeader header = DecodeControlHeader(data + at);
    const std::size_t body =
        std::size_t{header.sent_length} + header.answer_length + kControlResultSize;
    if (left - kControlHeaderSize < body) return "a record is cut short";
    const std::uint8_t* sent = data + at + kControlHeaderSize;
    DeviceIoControlCall call;
    call.handle = header.handle;
    call.port = static_cast<int>(header.port);
    call.code = header.code;
    call.size = header.size;
    call.sent = sent;
    call.sent_size = header.sent_length;
    call.answer = sent + header.sent_length;
    call.answer_size = header.answer_length;
    call.result = sent[header.sent_length + header.answer_length] != 0;
    *lines += DeviceIoControlLine(call);
    *lines += '\n';
    at += kControlHeaderSize + body;
  }
  return "";
}

}  // namespace sim
