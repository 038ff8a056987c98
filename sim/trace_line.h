// One line of the platform-call trace: a JSON object whose fields keep the
// order in which they are added.
#ifndef QXFW_SIM_TRACE_LINE_H_
#define QXFW_SIM_TRACE_LINE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sim {

class TraceLine {
 public:
  /// Starts the line with its "op" field.
  explicit TraceLine(std::string_view op);

  /// Adds a string field; bytes outside printable ASCII are written as \u00XX
  /// escapes, so any name the caller passes gives valid JSON.
  TraceLine& Text(std::string_view key, std::string_view value);
  TraceLine& Number(std::string_view key, std::int64_t value);
  /// Adds a string field of two lower-case hex digits per byte.
  /// REQUIRES: `bytes` points at `size` readable bytes (or size is 0).
  TraceLine& Hex(std::string_view key, const void* bytes, std::size_t size);

  /// Closes the object and hands the text over (no newline).
  std::string Finish() &&;

 private:
  void Key(std::string_view key);

  std::string text_;
};

/// What one DeviceIoControl call was given and gave back.
struct DeviceIoControlCall {
  std::int64_t handle = 0;
  /// The port of the open device, or -1 when the handle was not open.
  int port = -1;
  std::uint32_t code = 0;
  /// The caller's input size.
  std::uint32_t size = 0;
  /// The input buffer before the call and the output buffer after it.
  const void* sent = nullptr;
  std::size_t sent_size = 0;
  const void* answer = nullptr;
  std::size_t answer_size = 0;
  bool result = false;
};

/// The trace line of one DeviceIoControl, the one form both the simulated
/// machine and the Windows build's stand-in driver write.
std::string DeviceIoControlLine(const DeviceIoControlCall& call);

}  // namespace sim

#endif  // QXFW_SIM_TRACE_LINE_H_
