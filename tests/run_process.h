// Runs a built program as a user would and collects what it printed.
#ifndef QXFW_TESTS_RUN_PROCESS_H_
#define QXFW_TESTS_RUN_PROCESS_H_

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

/// A fresh empty directory for one test's files, removed by the destructor.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  /// Writes `contents` to a file in the directory and answers its path.
  std::string Write(const std::string& name, const std::string& contents) const;
  /// Writes `start`, then extends the file to `size` bytes without taking
  /// room on disk; answers its path.
  std::string WriteSparse(const std::string& name, const std::string& start,
                          std::uint64_t size) const;

 private:
  std::string path_;
};

/// Reads a whole file; empty when it can't be read.
std::string ReadFile(const std::string& path);

}  // namespace testing_support

#endif  // QXFW_TESTS_RUN_PROCESS_H_
