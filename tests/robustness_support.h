// What the robustness runs share: the image they load, a machine whose
// adapters would take any download, and the rules that every run's trace is
// held to. A request other than a probe before the image has been validated
// (a refused image sends nothing at all), a download to a partner or to an
// adapter of another LL, image bytes sent that differ from the file's, and
// a receiving buffer that goes out holding data must never be seen.
// docs/robustness.md lists the cases.
#ifndef QXFW_TESTS_ROBUSTNESS_SUPPORT_H_
#define QXFW_TESTS_ROBUSTNESS_SUPPORT_H_

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "testing/machine_builder.h"
#include "testing/scenario.h"

namespace robustness {

/// The payload of the image the runs load, and the adapter file around it.
extern const std::string kPayload;
extern const std::string kImage;

/// True in a build with AddressSanitizer, whose reservations don't fit
/// under a small limit of the address space.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif
#else
inline constexpr bool kAddressSanitizer = false;
#endif

/// The bytes of `bytes`, each a value from 0 to 255.
std::string Bytes(std::initializer_list<int> bytes);

/// An adapter of the image's LL, 1A.
testing_support::Adapter Good(std::uint32_t node);

/// Two good adapters on their own ports: any image that got through would
/// be downloaded to both.
testing_support::Machine TwoGoodAdapters();

/// What a download must carry: the bytes to send, as the file holds them.
struct SentImage {
  std::string data;
  std::string code_id;  // 8 bytes
  std::uint32_t lrc = 0;
};

/// The image an adapter firmware file sends.
SentImage AdapterFileImage(const std::string& file);

/// The rules every run obeys. `image` is empty when the image must be
/// refused; `firmware_ll` is empty when the run is forced (no LL check). An
/// adapter's LL is the one given with Ll(); `records_of_ll` names the
/// adapters whose record, given as bytes, carries `firmware_ll` all the same.
void ExpectNothingWrongSent(const testing_support::ScenarioResult& r,
                            const testing_support::Machine& machine,
                            const std::optional<SentImage>& image, const std::string& firmware_ll,
                            const std::set<std::uint32_t>& records_of_ll = {});

/// Runs qxfwload on `machine` with the files and arguments of RunScenario.
testing_support::ScenarioResult RunOn(const testing_support::Machine& machine,
                                      const std::vector<std::pair<std::string, std::string>>& files,
                                      const std::vector<std::string>& args,
                                      const std::string& input = "");

}  // namespace robustness

#endif  // QXFW_TESTS_ROBUSTNESS_SUPPORT_H_
