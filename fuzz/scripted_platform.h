// A test double of the platform seam for fuzzing the transport: it provides
// the Windows functions of sim/windows_api.h, with one adapter port whose
// driver answers every transaction with bytes that the fuzzer chooses. It
// stands in for the simulated machine (never linked together with it) and
// is used by nothing but the fuzz targets.
#ifndef QXFW_FUZZ_SCRIPTED_PLATFORM_H_
#define QXFW_FUZZ_SCRIPTED_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace scripted_platform {

/// What the one port does during the next calls.
struct Script {
  bool port_listed = true;         // the port key exists with Driver "qarmix"
  std::int8_t node = 11;           // the node byte its node query answers
  bool transaction_fails = false;  // DeviceIoControl of a transaction returns 0
  /// Written over the whole transaction buffer, repeated as often as needed,
  /// whether the call then succeeds or fails; empty leaves the buffer as it
  /// was sent.
  std::vector<std::uint8_t> answer;
};

/// Replaces the script; the call log is cleared.
void SetScript(Script script);

/// One transaction the driver received: the buffer before and after.
struct Call {
  std::vector<std::uint8_t> sent;
  std::vector<std::uint8_t> answered;
};

/// The transactions received since the last SetScript.
const std::vector<Call>& Calls();

}  // namespace scripted_platform

#endif  // QXFW_FUZZ_SCRIPTED_PLATFORM_H_
