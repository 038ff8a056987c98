// Runs a built program as a user would and collects what it printed.
#ifndef QXFW_TESTING_RUN_PROCESS_H_
#define QXFW_TESTING_RUN_PROCESS_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

struct ProcessResult {
  std::string out;  // standard output
  std::string err;  // standard error
  int status = -1;  // exit status, or -1 when the process did not exit normally
};

struct ProcessOptions {
  /// Extra environment entries, "NAME=value"; the rest is inherited.
  std::vector<std::string> env;
  /// Names removed from the inherited environment.
  std::vector<std::string> unset;
  /// Given on standard input; standard input is at end of file after it.
  std::string input;
};

/// Runs `program` with `args` (argv[1] onwards) and waits for it. A program
/// of this project's build (BuiltProgram) runs under the command that
/// QXFW_TEST_WRAPPER holds, when set: words separated by blanks, the first
/// looked up on PATH (e.g. "valgrind -q --error-exitcode=99"). Under Wine
/// every CR LF of the output becomes LF.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options = {});

/// The path of a program built by this project, e.g. BuiltProgram("qxfwload").
std::string BuiltProgram(const std::string& name);

/// True when the built programs are the Windows build run under Wine
/// (QXFW_UNDER_WINE set): RunProcess then gives their CR LF line ends as LF,
/// and only the DeviceIoControl lines of the trace exist, written by the
/// stand-in driver.
bool UnderWine();

}  // namespace testing_support

#endif  // QXFW_TESTING_RUN_PROCESS_H_
