#include "testing/run_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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

/// Feeds `input` to `in_fd` and drains both output pipes until they close.
void Communicate(int in_fd, int out_fd, int err_fd, const std::string& input,
                 ProcessResult* result) {
  std::size_t written = 0;
  if (input.empty()) {
    close(in_fd);
    in_fd = -1;
  }
  int open_outputs = 2;
  char buffer[65536];
  while (open_outputs > 0 || in_fd >= 0) {
    pollfd fds[3] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}, {in_fd, POLLOUT, 0}};
    if (poll(fds, 3, -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        close(fds[i].fd);
        (i == 0 ? out_fd : err_fd) = -1;
        --open_outputs;
      } else {
        (i == 0 ? result->out : result->err).append(buffer, static_cast<std::size_t>(n));
      }
    }
    if (in_fd >= 0 && fds[2].revents != 0) {
      const ssize_t n = write(in_fd, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if (n <= 0 || written == input.size()) {
        close(in_fd);
        in_fd = -1;
      }
    }
  }
}

/// The words of QXFW_TEST_WRAPPER, which runs the project's own programs
/// under a checker (e.g. "valgrind -q --error-exitcode=99"); none when unset.
std::vector<std::string> WrapperWords(const std::string& program) {
  const char* wrapper = std::getenv("QXFW_TEST_WRAPPER");
  if (wrapper == nullptr || program.rfind(BuiltProgram(""), 0) != 0) return {};
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

}  // namespace

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options) {
  ProcessResult result;
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<std::string> argv_strings = WrapperWords(program);
  argv_strings.push_back(program);
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<std::string> env_strings = BuildEnvironment(options);
  std::vector<char*> argv = Pointers(argv_strings);
  std::vector<char*> envp = Pointers(env_strings);
  pid_t pid = -1;
  // A wrapper's name is looked up on PATH; a path (with a '/') is used as it is.
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (spawned != 0) {
    close(in[1]);
    close(out[0]);
    close(err[0]);
    result.err = "spawn failed: " + std::string(std::strerror(spawned));
    return result;
  }
  Communicate(in[1], out[0], err[0], options.input, &result);
  int wait_status = 0;
  waitpid(pid, &wait_status, 0);
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  if (UnderWine()) {
    DropCarriageReturns(result.out);
    DropCarriageReturns(result.err);
  }
  return result;
}

std::string BuiltProgram(const std::string& name) {
  const char* dir = std::getenv("QXFW_BIN_DIR");
  return std::string(dir != nullptr ? dir : ".") + "/tool/" + name;
}

bool UnderWine() {
  const char* flag = std::getenv("QXFW_UNDER_WINE");
  return flag != nullptr && *flag != '\0';
}

}  // namespace testing_support
