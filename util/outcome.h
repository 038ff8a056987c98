// The one shape of what the system's own checks find: success, or the first
// failure, its kind and the message that reports it. Checks return outcomes
// rather than print or end the process, so that each caller decides how to
// report them and tests and fuzzers can drive them directly.
#ifndef QXFW_UTIL_OUTCOME_H_
#define QXFW_UTIL_OUTCOME_H_

#include <string>
#include <type_traits>
#include <utility>

/// `Failure` is an enumeration whose zero value is kNone (no failure).
template <typename Failure>
struct Outcome {
  static_assert(std::is_enum_v<Failure>);

  Failure failure = Failure{};
  /// What the error line says (without the program name) when failed.
  std::string message;

  bool ok() const { return failure == Failure{}; }

  /// Records the first failure; later checks don't run after it.
  void Fail(Failure why, std::string text) {
    failure = why;
    message = std::move(text);
  }
};

#endif  // QXFW_UTIL_OUTCOME_H_
