// Runs a built program as a user would and collects what it printed: to its
// end, or started, watched and interrupted while it runs.
#ifndef QXFW_TESTING_RUN_PROCESS_H_
#define QXFW_TESTING_RUN_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testing_support {

struct ProcessResult {
  std::string out;  // standard output
  std::string err;  // standard error
  int status = -1;  // exit status, or -1 when the process did not exit normally
  int signal = 0;   // the signal that ended it, or 0
};

/// Where one of a program's standard streams is connected.
struct StreamSetup {
  enum Kind {
    kPipe,    // a pipe from or to the test
    kClosed,  // the descriptor is closed when the program starts
    kPath,    // a file (or directory, or device) opened by its path
  };
  Kind kind = kPipe;
  std::string path;

  static StreamSetup Closed() { return {kClosed, {}}; }
  static StreamSetup Path(std::string path) { return {kPath, std::move(path)}; }
};

struct ProcessOptions {
  /// Extra environment entries, "NAME=value"; the rest is inherited.
  std::vector<std::string> env;
  /// Names removed from the inherited environment.
  std::vector<std::string> unset;
  /// Given on standard input (a pipe); standard input is at end of file after it.
  std::string input;
  StreamSetup in, out, err;
  /// Standard input is a pipe that stays open, empty, until the test writes
  /// to it with StartedProcess::WriteInput; `input` is unused.
  bool held_input = false;
  /// The program finds the pipe of a held input non-blocking.
  bool nonblocking_input = false;
};

/// Runs `program` with `args` (argv[1] onwards) and waits for it. A program
/// of this project's build (BuiltProgram) runs under the command that
/// QXFW_TEST_WRAPPER holds, when set: words separated by blanks, the first
/// looked up on PATH (e.g. "valgrind -q --error-exitcode=99"). Under Wine
/// every CR LF of the output becomes LF.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options = {});

/// A program started as RunProcess starts it, in a process group of its own,
/// whose output is collected while it runs.
class StartedProcess {
 public:
  StartedProcess(const std::string& program, const std::vector<std::string>& args,
                 const ProcessOptions& options = {});
  ~StartedProcess();  // kills the group if Wait was not called
  StartedProcess(const StartedProcess&) = delete;
  StartedProcess& operator=(const StartedProcess&) = delete;

  /// Waits until standard output (or error) holds `text`: false when the
  /// program closed the stream, or `limit` passed, first.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit);
  bool WaitForError(const std::string& text, std::chrono::milliseconds limit);

  /// Sends `signal` to the program's process group: the program, and any
  /// runner it is started by (the Windows build's runs under Wine).
  void Signal(int signal);

  /// Stops reading standard output and closes the test's end of the pipe,
  /// as a reader that goes away does; what was read is kept.
  void CloseOutput();

  /// Writes `text` to a held standard input.
  void WriteInput(const std::string& text);

  /// Waits for the end of the program (killing its group after `limit`) and
  /// of its output.
  ProcessResult Wait(std::chrono::milliseconds limit = std::chrono::minutes(10));

  /// How long since the program was started.
  std::chrono::steady_clock::duration Elapsed() const;

 private:
  bool WaitFor(const std::string& text, std::string ProcessResult::*stream,
               bool StartedProcess::*open, std::chrono::milliseconds limit);
  /// The collector thread: feeds `input`, reads both outputs, until all end
  /// or it is told to stop.
  void Collect(int in_fd, int out_fd, int err_fd, int wake_fd, std::string input);
  /// Waits up to `limit` for the collector to finish: true when it did.
  bool Collected(std::chrono::milliseconds limit);
  /// Makes the collector close its ends and finish, read or not.
  void StopCollecting();

  pid_t pid_ = -1;
  int held_input_fd_ = -1;
  int wake_fd_ = -1;  // written to make the collector look at close_output_
  std::chrono::steady_clock::time_point started_;
  std::mutex mutex_;
  std::condition_variable changed_;
  ProcessResult result_;
  bool out_open_ = true;
  bool err_open_ = true;
  bool close_output_ = false;
  bool stop_collecting_ = false;
  bool collected_ = false;
  bool waited_ = false;
  std::thread collector_;
};

/// The path of a program built by this project, e.g. BuiltProgram("qxfwload").
std::string BuiltProgram(const std::string& name);

/// A program built by this project, to run as a second process on the
/// machine that a running one has loaded: under Wine, against the stand-in
/// driver as it is (the runner's --bare, which neither loads a machine nor
/// waits for the runner's other runs); elsewhere BuiltProgram(name), whose
/// machine is the environment's.
std::string BuiltProgramBeside(const std::string& name);

/// Makes `path`, a copy of a built program, run under QXFW_TEST_WRAPPER as
/// the built programs do.
void RegisterBuiltProgramCopy(const std::string& path);

/// True when the built programs are the Windows build run under Wine
/// (QXFW_UNDER_WINE set): RunProcess then gives their CR LF line ends as LF,
/// and only the DeviceIoControl lines of the trace exist, written by the
/// stand-in driver.
bool UnderWine();

/// True when the built programs run under QXFW_TEST_WRAPPER (valgrind), and
/// every start costs a second or more.
bool UnderWrapper();

}  // namespace testing_support

#endif  // QXFW_TESTING_RUN_PROCESS_H_
