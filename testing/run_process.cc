#include "testing/run_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>

extern char** environ;

namespace testing_support {
namespace {

std::vector<std::string> BuildEnvironment(const ProcessOptions& options) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    bool drop = false;
    for (const std::string& u : options.unset) drop = drop || u == name;
    for (const std::string& add : options.env) drop = drop || add.substr(0, add.find('=')) == name;
    if (!drop) env.push_back(entry);
  }
  env.insert(env.end(), options.env.begin(), options.env.end());
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

std::mutex copies_mutex;
std::set<std::string> copies;  // guarded by copies_mutex

bool IsCopyOfBuiltProgram(const std::string& program) {
  const std::lock_guard<std::mutex> lock(copies_mutex);
  return copies.count(program) != 0;
}

/// The words of QXFW_TEST_WRAPPER, which runs the project's own programs
/// under a checker (e.g. "valgrind -q --error-exitcode=99"); none when unset.
std::vector<std::string> WrapperWords(const std::string& program) {
  const char* wrapper = std::getenv("QXFW_TEST_WRAPPER");
  if (wrapper == nullptr ||
      (program.rfind(BuiltProgram(""), 0) != 0 && !IsCopyOfBuiltProgram(program))) {
    return {};
  }
  std::vector<std::string> words;
  std::istringstream text(wrapper);
  for (std::string word; text >> word;) words.push_back(word);
  return words;
}

// Wine's console ends lines with CR LF where the program wrote LF.
void DropCarriageReturns(std::string& text) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    text[kept++] = text[i];
  }
  text.resize(kept);
}

void CloseIfOpen(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

/// The test's end and the program's end of one standard stream.
struct StreamEnds {
  int ours = -1;
  int theirs = -1;
};

/// Sets up how the program gets descriptor `target`; false when a pipe
/// can't be made.
bool Connect(const StreamSetup& setup, int target, bool is_input, StreamEnds* ends,
             posix_spawn_file_actions_t* actions) {
  switch (setup.kind) {
    case StreamSetup::kClosed:
      posix_spawn_file_actions_addclose(actions, target);
      return true;
    case StreamSetup::kPath:
      posix_spawn_file_actions_addopen(actions, target, setup.path.c_str(),
                                       is_input ? O_RDONLY : O_WRONLY, 0);
      return true;
    case StreamSetup::kPipe:
      break;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  ends->ours = is_input ? fds[1] : fds[0];
  ends->theirs = is_input ? fds[0] : fds[1];
  posix_spawn_file_actions_adddup2(actions, ends->theirs, target);
  return true;
}

/// Every signal that the test's own process may ignore or block is as the
/// system sets it by default in the program (a test run in the background
/// ignores SIGINT, and the programs keep ignoring what they were started
/// ignoring).
void ResetSignals(posix_spawnattr_t* attributes) {
  sigset_t defaults;
  sigemptyset(&defaults);
  for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXCPU, SIGPIPE, SIGXFSZ})
    sigaddset(&defaults, s);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(attributes, &defaults);
  posix_spawnattr_setsigmask(attributes, &none);
  posix_spawnattr_setpgroup(attributes, 0);
  posix_spawnattr_setflags(attributes,
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
}

}  // namespace

StartedProcess::StartedProcess(const std::string& program, const std::vector<std::string>& args,
                               const ProcessOptions& options)
    : started_(std::chrono::steady_clock::now()) {
  // A program may end before it has read its input: the test's write then
  // fails, and must not end the test.
  signal(SIGPIPE, SIG_IGN);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  StreamEnds in, out, err;
  int wake[2] = {-1, -1};
  bool ready = Connect(options.in, 0, true, &in, &actions) &&
               Connect(options.out, 1, false, &out, &actions) &&
               Connect(options.err, 2, false, &err, &actions) && pipe2(wake, O_CLOEXEC) == 0;
  if (ready && options.nonblocking_input && in.theirs >= 0) {
    ready = fcntl(in.theirs, F_SETFL, fcntl(in.theirs, F_GETFL) | O_NONBLOCK) == 0;
  }
  std::vector<std::string> argv_strings = WrapperWords(program);
  argv_strings.push_back(program);
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<std::string> env_strings = BuildEnvironment(options);
  std::vector<char*> argv = Pointers(argv_strings);
  std::vector<char*> envp = Pointers(env_strings);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  ResetSignals(&attributes);
  // A wrapper's name is looked up on PATH; a path (with a '/') is used as it is.
  const int spawned =
      ready ? posix_spawnp(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data())
            : EMFILE;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  for (int* theirs : {&in.theirs, &out.theirs, &err.theirs}) CloseIfOpen(*theirs);
  if (spawned != 0) {
    pid_ = -1;
    result_.err = "spawn failed: " + std::string(std::strerror(spawned));
    for (int* fd : {&in.ours, &out.ours, &err.ours, &wake[0], &wake[1]}) CloseIfOpen(*fd);
    out_open_ = err_open_ = false;
    return;
  }
  wake_fd_ = wake[1];
  out_open_ = out.ours >= 0;
  err_open_ = err.ours >= 0;
  if (options.held_input) std::swap(held_input_fd_, in.ours);
  collector_ = std::thread(&StartedProcess::Collect, this, in.ours, out.ours, err.ours, wake[0],
                           options.input);
}

StartedProcess::~StartedProcess() {
  if (!waited_) Wait(std::chrono::milliseconds(0));
}

void StartedProcess::Collect(int in_fd, int out_fd, int err_fd, int wake_fd, std::string input) {
  std::size_t written = 0;
  if (input.empty()) CloseIfOpen(in_fd);
  char buffer[65536];
  while (out_fd >= 0 || err_fd >= 0 || in_fd >= 0) {
    pollfd fds[4] = {
        {out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}, {in_fd, POLLOUT, 0}, {wake_fd, POLLIN, 0}};
    if (poll(fds, 4, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (fds[3].revents != 0) {
      [[maybe_unused]] const ssize_t drained = read(wake_fd, buffer, sizeof buffer);
    }
    if (stop_collecting_) break;
    if (close_output_ && out_fd >= 0) {
      CloseIfOpen(out_fd);
      out_open_ = false;
    }
    for (int i = 0; i < 2; ++i) {
      int& fd = i == 0 ? out_fd : err_fd;
      if (fd < 0 || fds[i].revents == 0 || fds[i].fd != fd) continue;
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        CloseIfOpen(fd);
        (i == 0 ? out_open_ : err_open_) = false;
      } else {
        (i == 0 ? result_.out : result_.err).append(buffer, static_cast<std::size_t>(n));
      }
    }
    if (in_fd >= 0 && fds[2].revents != 0) {
      const ssize_t n = write(in_fd, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if (n <= 0 || written == input.size()) CloseIfOpen(in_fd);
    }
    changed_.notify_all();
  }
  for (int* fd : {&in_fd, &out_fd, &err_fd, &wake_fd}) CloseIfOpen(*fd);
  std::lock_guard<std::mutex> lock(mutex_);
  out_open_ = err_open_ = false;
  collected_ = true;
  changed_.notify_all();
}

bool StartedProcess::Collected(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return collected_; });
}

void StartedProcess::StopCollecting() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_collecting_ = true;
  }
  if (wake_fd_ >= 0) {
    [[maybe_unused]] const ssize_t woken = write(wake_fd_, "x", 1);
  }
}

bool StartedProcess::WaitFor(const std::string& text, std::string ProcessResult::*stream,
                             bool StartedProcess::*open, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, limit, [&] {
    return (result_.*stream).find(text) != std::string::npos || !(this->*open);
  }) && (result_.*stream).find(text) != std::string::npos;
}

bool StartedProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds limit) {
  return WaitFor(text, &ProcessResult::out, &StartedProcess::out_open_, limit);
}

bool StartedProcess::WaitForError(const std::string& text, std::chrono::milliseconds limit) {
  return WaitFor(text, &ProcessResult::err, &StartedProcess::err_open_, limit);
}

void StartedProcess::Signal(int signal) {
  if (pid_ > 0) kill(-pid_, signal);
}

void StartedProcess::CloseOutput() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    close_output_ = true;
  }
  if (wake_fd_ >= 0) {
    [[maybe_unused]] const ssize_t woken = write(wake_fd_, "x", 1);
  }
}

void StartedProcess::WriteInput(const std::string& text) {
  if (held_input_fd_ < 0) return;
  for (std::size_t at = 0; at < text.size();) {
    const ssize_t n = write(held_input_fd_, text.data() + at, text.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    at += static_cast<std::size_t>(n);
  }
}

std::chrono::steady_clock::duration StartedProcess::Elapsed() const {
  return std::chrono::steady_clock::now() - started_;
}

ProcessResult StartedProcess::Wait(std::chrono::milliseconds limit) {
  waited_ = true;
  int wait_status = 0;
  bool exited = pid_ < 0;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!exited) {
    const pid_t done = waitpid(pid_, &wait_status, WNOHANG);
    if (done == pid_ || (done < 0 && errno != EINTR)) {
      exited = true;
    } else if (std::chrono::steady_clock::now() >= deadline) {
      kill(-pid_, SIGKILL);
      waitpid(pid_, &wait_status, 0);
      exited = true;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  CloseIfOpen(held_input_fd_);
  // What the program wrote before it ended is in the pipes already. One of
  // its group that outlives it and keeps them open (a program it left in
  // the background) is ended with the group; one that escaped the group is
  // no longer listened to.
  constexpr std::chrono::milliseconds kDrain(2000);
  if (collector_.joinable() && !Collected(kDrain)) {
    if (pid_ > 0) kill(-pid_, SIGKILL);
    if (!Collected(kDrain)) StopCollecting();
  }
  if (collector_.joinable()) collector_.join();
  CloseIfOpen(wake_fd_);
  ProcessResult result;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    result = result_;
  }
  if (pid_ > 0) {
    result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
    result.signal = WIFSIGNALED(wait_status) ? WTERMSIG(wait_status) : 0;
  }
  if (UnderWine()) {
    DropCarriageReturns(result.out);
    DropCarriageReturns(result.err);
  }
  return result;
}

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options) {
  return StartedProcess(program, args, options).Wait();
}

void RegisterBuiltProgramCopy(const std::string& path) {
  const std::lock_guard<std::mutex> lock(copies_mutex);
  copies.insert(path);
}

std::string BuiltProgram(const std::string& name) {
  const char* dir = std::getenv("QXFW_BIN_DIR");
  return std::string(dir != nullptr ? dir : ".") + "/tool/" + name;
}

std::string BuiltProgramBeside(const std::string& name) {
  if (!UnderWine()) return BuiltProgram(name);
  const char* dir = std::getenv("QXFW_BIN_DIR");
  return std::string(dir != nullptr ? dir : ".") + "/beside/" + name;
}

bool UnderWine() {
  const char* flag = std::getenv("QXFW_UNDER_WINE");
  return flag != nullptr && *flag != '\0';
}

bool UnderWrapper() {
  const char* wrapper = std::getenv("QXFW_TEST_WRAPPER");
  return wrapper != nullptr && *wrapper != '\0';
}

}  // namespace testing_support
