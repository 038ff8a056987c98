#include <cstring>
#include <mutex>

#include "transport/interrupts.h"
#include "transport/platform.h"

namespace {

enum class Hold { kNone, kHeld, kInterrupted };

// The console's events arrive on a thread of their own: the hold is read
// and changed under the lock, so that an event can't end the process while
// the main thread has begun a held sequence.
std::mutex lock;
Hold hold = Hold::kNone;
char notice[kInterruptNoticeSize];
DWORD notice_length = 0;

void WriteNotice() {
  DWORD written = 0;
  // Nothing can be done about a standard error that is closed or full.
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), notice, notice_length, &written, nullptr);
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  {
    std::lock_guard<std::mutex> guard(lock);
    // What the system's own handler does, done under the lock.
    if (hold == Hold::kNone) ExitProcess(STATUS_CONTROL_C_EXIT);
    if (hold == Hold::kHeld) {
      hold = Hold::kInterrupted;
      WriteNotice();
    }
  }
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  // A closing console (a logoff, a shutdown) ends the process as soon as
  // this routine returns, or when Windows stops waiting for it: it doesn't
  // return, and the run ends on its own once the held sequence is out.
  Sleep(INFINITE);
  return TRUE;
}

}  // namespace

void PlatformPrepareInterrupts() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

void PlatformHoldInterrupts(const char* text) {
  std::lock_guard<std::mutex> guard(lock);
  const std::size_t length = strnlen(text, kInterruptNoticeSize - 1);
  std::memcpy(notice, text, length);
  notice_length = static_cast<DWORD>(length);
  hold = Hold::kHeld;
}

bool PlatformReleaseInterrupts() {
  std::lock_guard<std::mutex> guard(lock);
  if (hold == Hold::kInterrupted) return true;
  hold = Hold::kNone;
  return false;
}
