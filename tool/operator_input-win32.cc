#include <cerrno>
#include <chrono>
#include <thread>

#include "tool/operator_input.h"

namespace {

// The C runtime can't wait on a handle: a short nap stands in for it, long
// enough to cost nothing while an operator thinks.
constexpr std::chrono::milliseconds kNap{50};

}  // namespace

bool WaitedForInputAfter(int error) {
  if (error != EAGAIN) return false;
  std::this_thread::sleep_for(kNap);
  return true;
}
