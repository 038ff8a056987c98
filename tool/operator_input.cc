#include "tool/operator_input.h"

#include <cerrno>
#include <cstdio>

OperatorAnswer WaitForOperatorLine() {
  for (;;) {
    const int c = std::getchar();
    if (c == '\n') return {};
    if (c != EOF) continue;
    if (std::feof(stdin)) return {OperatorAnswer::kEndOfInput, 0};
    // The stream keeps its error until cleared; the next read tries afresh.
    const int error = errno;
    std::clearerr(stdin);
    if (error == EINTR || WaitedForInputAfter(error)) continue;
    return {OperatorAnswer::kReadError, error};
  }
}
