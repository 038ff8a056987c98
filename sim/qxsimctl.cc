// qxsimctl: the Linux half of running the Windows build under Wine. It turns
// the machine that QXFW_MACHINE names into the image the stand-in driver
// loads, and the driver's trace records into QXFW_TRACE lines, so that a run
// of qxfwload.exe takes the same variables as a run of the Linux build.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sim/driver_core.h"
#include "sim/driver_trace.h"
#include "sim/machine_file.h"
#include "sim/machine_image.h"
#include "util/exit_status.h"

namespace {

const char kUsage[] =
    "usage: qxsimctl machine IMAGE   write the machine QXFW_MACHINE names as a driver image\n"
    "       qxsimctl trace RECORDS   append the driver's records to QXFW_TRACE as trace lines\n";

int MachineFault(const std::string& what) {
  std::fprintf(stderr, "qxfwload: simulated machine: %s\n", what.c_str());
  return exit_status::kSimulatedMachine;
}

int ToolFault(const std::string& what) {
  std::fprintf(stderr, "qxsimctl: %s\n", what.c_str());
  return exit_status::kRunnerFailed;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

// Checks QXFW_MACHINE and QXFW_TRACE the way the Linux build does at its
// first platform call, then writes the image.
int WriteMachineImage(const char* image_path) {
  auto config = std::make_unique<sim::MachineConfig>();
  const std::string error = sim::ReadMachineFromEnvironment(*config);
  if (!error.empty()) return MachineFault(error);
  std::string trace_error;
  const int trace_fd = sim::OpenTraceFromEnvironment(&trace_error);
  if (!trace_error.empty()) return MachineFault(trace_error);
  if (trace_fd >= 0) close(trace_fd);
  std::vector<std::uint8_t> image(sim::MachineImageSize(*config));
  sim::EncodeMachineImage(*config, image.data());
  std::ofstream out(image_path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.data()),
            static_cast<std::streamsize>(image.size()));
  out.close();
  if (!out) return ToolFault(std::string("cannot write ") + image_path);
  return 0;
}

int AppendTrace(const char* records_path) {
  std::ifstream in(records_path, std::ios::binary);
  if (!in) return ToolFault(std::string("cannot read ") + records_path);
  std::ostringstream records;
  records << in.rdbuf();
  std::string lines;
  const std::string error = sim::DriverTraceLines(records.str(), &lines);
  std::string open_error;
  const int fd = sim::OpenTraceFromEnvironment(&open_error);
  if (!open_error.empty()) return ToolFault(open_error);
  if (fd >= 0) {
    const bool written = WriteAll(fd, lines.data(), lines.size());
    close(fd);
    if (!written) return ToolFault(std::string("trace file cannot be written: ") + strerror(errno));
  }
  if (!error.empty()) return ToolFault(std::string(records_path) + ": " + error);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "machine") == 0) return WriteMachineImage(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "trace") == 0) return AppendTrace(argv[2]);
  std::fputs(kUsage, stderr);
  return exit_status::kRunnerFailed;
}
