#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "tool/operator_input.h"

namespace {

bool MeansNoDataYet(int error) {
  // Two names for one value on most systems, for two values on some.
  return error == EAGAIN || error == EWOULDBLOCK;
}

}  // namespace

bool WaitedForInputAfter(int error) {
  if (!MeansNoDataYet(error)) return false;
  pollfd input = {STDIN_FILENO, POLLIN, 0};
  while (poll(&input, 1, -1) < 0 && errno == EINTR) {
  }
  return true;
}
