#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "transport/interrupts.h"

namespace {

/// SIGXCPU is the CPU-time limit's warning: it ends the process as the
/// others do, and the sequence under way must go out whole all the same.
/// (At the hard limit the system sends SIGKILL, which nothing can hold.)
constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXCPU};
constexpr std::size_t kInterruptCount = sizeof kInterrupts / sizeof kInterrupts[0];

char notice[kInterruptNoticeSize];
std::size_t notice_length = 0;
volatile sig_atomic_t interrupted = 0;
/// What each interrupt did before the hold, restored when it ends.
struct sigaction before_hold[kInterruptCount];
bool held_by_us[kInterruptCount];

/// Runs on the main thread, between any two instructions: only
/// async-signal-safe calls, and errno left as it was found.
extern "C" void OnInterrupt(int /*signal*/) {
  if (interrupted) return;
  interrupted = 1;
  const int saved_errno = errno;
  // Nothing can be done about a standard error that is closed or full.
  [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, notice, notice_length);
  errno = saved_errno;
}

sigset_t InterruptSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const int interrupt : kInterrupts) sigaddset(&set, interrupt);
  return set;
}

}  // namespace

void PlatformPrepareInterrupts() {
  // A write to a closed pipe, or past the file-size limit, fails (EPIPE,
  // EFBIG) like any other write instead of ending the process.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

void PlatformHoldInterrupts(const char* text) {
  notice_length = strnlen(text, kInterruptNoticeSize - 1);
  std::memcpy(notice, text, notice_length);
  interrupted = 0;
  struct sigaction hold = {};
  hold.sa_handler = OnInterrupt;
  hold.sa_mask = InterruptSet();  // one interrupt at a time
  hold.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < kInterruptCount; ++i) {
    sigaction(kInterrupts[i], nullptr, &before_hold[i]);
    held_by_us[i] = before_hold[i].sa_handler != SIG_IGN;
    if (held_by_us[i]) sigaction(kInterrupts[i], &hold, nullptr);
  }
}

bool PlatformReleaseInterrupts() {
  // Blocked while the decision is taken: one that arrives now is delivered
  // after the old actions are back, and ends the process as it would have.
  const sigset_t interrupts = InterruptSet();
  sigset_t previous;
  sigprocmask(SIG_BLOCK, &interrupts, &previous);
  const bool arrived = interrupted != 0;
  if (!arrived) {
    for (std::size_t i = 0; i < kInterruptCount; ++i) {
      if (held_by_us[i]) sigaction(kInterrupts[i], &before_hold[i], nullptr);
    }
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  return arrived;
}
