// The trace of the simulated platform, and its recording for tests.
#include "sim/windows_api_trace.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "sim/machine.h"

namespace sim {
namespace {

// The line and its newline in one write where the file takes it whole, so
// that a line is never left without its end while the process runs on.
void WriteLine(int fd, std::string_view line) {
  static char newline = '\n';
  iovec parts[2] = {{const_cast<char*>(line.data()), line.size()}, {&newline, 1}};
  iovec* part = parts;
  int count = 2;
  while (count > 0) {
    const ssize_t written = writev(fd, part, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) Fatal("trace file cannot be written: ", strerror(errno));
    for (auto left = static_cast<std::size_t>(written); left > 0;) {
      const std::size_t taken = std::min(left, part->iov_len);
      part->iov_base = static_cast<char*>(part->iov_base) + taken;
      part->iov_len -= taken;
      left -= taken;
      if (part->iov_len == 0) ++part, --count;
    }
  }
}

}  // namespace

void Emit(Platform& p, std::string line) {
  if (p.trace_fd >= 0) WriteLine(p.trace_fd, line);
  if (p.recording) p.recorded.push_back(std::move(line));
}

void StartTraceRecording() {
  Platform& p = GetPlatform();
  std::lock_guard<std::mutex> lock(p.mutex);
  p.recorded.clear();
  p.recording = true;
}

void StopTraceRecording() {
  Platform& p = GetPlatform();
  std::lock_guard<std::mutex> lock(p.mutex);
  p.recording = false;
}

std::vector<std::string> RecordedTrace() {
  Platform& p = GetPlatform();
  std::lock_guard<std::mutex> lock(p.mutex);
  return p.recorded;
}

}  // namespace sim
