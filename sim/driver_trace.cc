#include "sim/driver_trace.h"

#include <cstdint>
#include <vector>

#include "sim/control_record.h"
#include "sim/trace_line.h"

namespace sim {
namespace {

// IOCTL_SCSI_MINIPORT: the only code the stand-in driver hands to the core.
constexpr std::uint32_t kMiniportControlCode = 0x0004D008u;

struct Record {
  ControlRecordHeader header;
  const std::uint8_t* sent = nullptr;
  const std::uint8_t* answer = nullptr;
  bool result = false;
};

// Calls visit(record) for each whole record, in order; returns what is
// wrong with the records' end, or an empty string. Stops when visit
// returns false.
template <typename Visit>
[[nodiscard]] std::string ForEachRecord(std::string_view records, Visit visit) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(records.data());
  std::size_t at = 0;
  while (at < records.size()) {
    const std::size_t left = records.size() - at;
    if (left < kControlHeaderSize) return "a record header is cut short";
    Record record;
    record.header = DecodeControlHeader(data + at);
    const std::size_t body =
        std::size_t{record.header.sent_length} + record.header.answer_length + kControlResultSize;
    if (left - kControlHeaderSize < body) return "a record is cut short";
    record.sent = data + at + kControlHeaderSize;
    record.answer = record.sent + record.header.sent_length;
    record.result = record.answer[record.header.answer_length] != 0;
    if (!visit(record)) return "";
    at += kControlHeaderSize + body;
  }
  return "";
}

bool Equal(const std::uint8_t* a, const std::uint8_t* b, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

}  // namespace

std::string DriverTraceLines(std::string_view records, std::string* lines) {
  return ForEachRecord(records, [&](const Record& record) {
    DeviceIoControlCall call;
    call.handle = record.header.handle;
    call.port = static_cast<int>(record.header.port);
    call.code = record.header.code;
    call.size = record.header.size;
    call.sent = record.sent;
    call.sent_size = record.header.sent_length;
    call.answer = record.answer;
    call.answer_size = record.header.answer_length;
    call.result = record.result;
    *lines += DeviceIoControlLine(call);
    *lines += '\n';
    return true;
  });
}

std::string ReplayDriverRecords(std::string_view records, const MachineConfig& config,
                                MachineState& state) {
  std::string mismatch;
  std::size_t index = 0;
  std::vector<std::uint8_t> buffer;
  // A record cut short is a request the driver did not carry out: the end
  // of the records is no fault here.
  static_cast<void>(ForEachRecord(records, [&](const Record& record) {
    const ControlRecordHeader& h = record.header;
    // The requests the driver served: the code, and one buffer in and out.
    const bool served_by_core = h.code == kMiniportControlCode && h.sent_length == h.size &&
                                h.answer_length == h.size && h.port < kPortCount;
    if (served_by_core) {
      buffer.assign(record.sent, record.sent + h.size);
      const bool result =
          ServeMiniportRequest(config, state, static_cast<int>(h.port), buffer.data(), h.size);
      if (result != record.result || (result && !Equal(buffer.data(), record.answer, h.size))) {
        mismatch = "record " + std::to_string(index) + " is not answered so on this machine";
        return false;
      }
    } else if (record.result) {
      mismatch = "record " + std::to_string(index) + " succeeded without reaching the adapters";
      return false;
    }
    ++index;
    return true;
  }));
  return mismatch;
}

}  // namespace sim
