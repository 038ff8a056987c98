// What every fuzz target uses to report a broken property: a message on
// standard error and abort(), which libFuzzer records as a crash with the
// input that caused it.
#ifndef QXFW_FUZZ_FUZZ_CHECK_H_
#define QXFW_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                               \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (0)

#endif  // QXFW_FUZZ_FUZZ_CHECK_H_
