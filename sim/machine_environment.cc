#include "sim/machine_environment.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "sim/machine_file.h"
#include "sim/whole_file.h"

namespace sim {
namespace {

// With a standard stream closed, the file would take its descriptor, and
// whatever the program writes to that stream would land in the trace: the
// trace moves above the three, and the stream stays closed.
int AboveStandardStreams(int fd, const char* path, std::string* error) {
  constexpr int kFirstFreeDescriptor = 3;
  if (fd >= kFirstFreeDescriptor) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, kFirstFreeDescriptor);
  const int saved_errno = errno;
  close(fd);
  if (moved < 0) {
    *error = "trace file " + std::string(path) + " cannot be opened: " + strerror(saved_errno);
  }
  return moved;
}

std::string ReadMachineFromEnvironment(MachineConfig& config) {
  const char* path = std::getenv("QXFW_MACHINE");
  if (path == nullptr) return ParseMachineFile("{}", config);  // the empty machine
  if (*path == '\0') return "QXFW_MACHINE is set but names no file";
  std::string text;
  const std::string read_error = ReadWholeFile(path, &text);
  if (!read_error.empty()) return std::string(path) + ": cannot be read: " + read_error;
  const std::string error = ParseMachineFile(text, config);
  return error.empty() ? "" : std::string(path) + ": " + error;
}

}  // namespace

int OpenTraceFromEnvironment(std::string* error) {
  const char* path = std::getenv("QXFW_TRACE");
  if (path == nullptr) return -1;
  if (*path == '\0') {
    *error = "QXFW_TRACE is set but names no file";
    return -1;
  }
  const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "trace file " + std::string(path) + " cannot be opened: " + strerror(errno);
    return -1;
  }
  return AboveStandardStreams(fd, path, error);
}

std::string LoadMachineEnvironment(MachineEnvironment* environment) {
  *environment = MachineEnvironment{};
  std::string error;
  const int trace_fd = OpenTraceFromEnvironment(&error);
  if (error.empty()) error = ReadMachineFromEnvironment(*environment->config);
  if (error.empty()) error = environment->state_file.ReadFromEnvironment();
  if (!error.empty()) {
    if (trace_fd >= 0) close(trace_fd);
    *environment = MachineEnvironment{};
    return error;
  }
  environment->trace_fd = trace_fd;
  return "";
}

}  // namespace sim
