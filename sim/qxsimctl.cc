// qxsimctl: the Linux half of running the Windows build under Wine. It turns
// the machine that QXFW_MACHINE names (with the firmware QXFW_STATE keeps)
// into the image the stand-in driver loads, the driver's trace records into
// QXFW_TRACE lines, and the records into the firmware the adapters kept, so
// that a run of qxfwload.exe takes the same variables as a run of the Linux
// build.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "sim/driver_core.h"
#include "sim/driver_trace.h"
#include "sim/machine_environment.h"
#include "sim/machine_image.h"
#include "sim/state_file.h"
#include "sim/whole_file.h"
#include "util/exit_status.h"

namespace {

const char kUsage[] =
    "usage: qxsimctl machine IMAGE   write the machine QXFW_MACHINE names as a driver image\n"
    "       qxsimctl trace RECORDS   append the driver's records to QXFW_TRACE as trace lines\n"
    "       qxsimctl state IMAGE RECORDS\n"
    "                                write what the adapters of IMAGE kept in the run that\n"
    "                                RECORDS trace to QXFW_STATE (unset: nothing)\n";

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

// Reads a file the runner wrote itself; where it can't be read, the runner failed.
bool ReadWhole(const char* path, std::string* contents) {
  return sim::ReadWholeFile(path, contents).empty();
}

// Reads QXFW_MACHINE, QXFW_TRACE and QXFW_STATE with the loader the Linux
// build reads them with at its first platform call, then writes the image,
// with the firmware each adapter kept.
int WriteMachineImage(const char* image_path) {
  sim::MachineEnvironment environment;
  const std::string error = sim::LoadMachineEnvironment(&environment);
  if (!error.empty()) return MachineFault(error);
  if (environment.trace_fd >= 0) close(environment.trace_fd);
  const sim::MachineConfig& config = *environment.config;
  auto state = std::make_unique<sim::MachineState>();
  environment.state_file.Apply(config, *state);
  std::vector<std::uint8_t> image(sim::MachineImageSize(config));
  sim::EncodeMachineImage(config, image.data(), state->firmware);
  std::ofstream out(image_path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.data()),
            static_cast<std::streamsize>(image.size()));
  out.close();
  if (!out) return ToolFault(std::string("cannot write ") + image_path);
  return 0;
}

int AppendTrace(const char* records_path) {
  std::string records;
  if (!ReadWhole(records_path, &records))
    return ToolFault(std::string("cannot read ") + records_path);
  std::string lines;
  const std::string error = sim::DriverTraceLines(records, &lines);
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

// The driver kept the adapters' firmware in its memory; it is learned back
// by serving the run's requests again on the image the driver started from.
// The state file is read again, for the entries of adapters that are not in
// this machine.
int KeepState(const char* image_path, const char* records_path) {
  if (std::getenv("QXFW_STATE") == nullptr) return 0;
  std::string image;
  std::string records;
  if (!ReadWhole(image_path, &image)) return ToolFault(std::string("cannot read ") + image_path);
  if (!ReadWhole(records_path, &records)) {
    return ToolFault(std::string("cannot read ") + records_path);
  }
  auto config = std::make_unique<sim::MachineConfig>();
  auto state = std::make_unique<sim::MachineState>();
  if (image.size() > sim::MaxMachineImageSize() ||
      !sim::DecodeMachineImage(reinterpret_cast<const std::uint8_t*>(image.data()),
                               static_cast<std::uint32_t>(image.size()), *config,
                               state->firmware)) {
    return ToolFault(std::string(image_path) + ": not a machine image");
  }
  sim::StateFile state_file;
  const std::string read_error = state_file.ReadFromEnvironment();
  if (!read_error.empty()) return MachineFault(read_error);
  auto unused = std::make_unique<sim::MachineState>();
  state_file.Apply(*config, *unused);
  const std::string replay_error = sim::ReplayDriverRecords(records, *config, *state);
  if (!replay_error.empty()) return ToolFault(std::string(records_path) + ": " + replay_error);
  const std::string write_error = state_file.Update(*config, *state);
  if (!write_error.empty()) return MachineFault(write_error);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "machine") == 0) return WriteMachineImage(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "trace") == 0) return AppendTrace(argv[2]);
  if (argc == 4 && std::strcmp(argv[1], "state") == 0) return KeepState(argv[2], argv[3]);
  std::fputs(kUsage, stderr);
  return exit_status::kRunnerFailed;
}
