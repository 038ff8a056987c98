// One download request on the in-process simulated machine against the
// least that sending an image can cost: one buffer, one copy, one sum.
#include <cstring>
#include <string>

#include "bench/bench_support.h"
#include "bench/cases.h"
#include "image/lrc.h"
#include "record/platform_memory.h"
#include "services/inject.h"
#include "sim/machine.h"
#include "tool/requests.h"
#include "transport/adapters.h"

namespace bench {
namespace {

constexpr std::uint32_t kNode = 11;
constexpr char kCodeId[] = "BENCHIMG";
constexpr char kMachine[] = R"({"ports": [{"port": 0, "driver": "qarmix", "node": 11}],
                                "adapters": [{"node": 11, "vpd": {"ll": "1A"}}]})";

// The request as the scan sends it: Inject, the pass-through packet with
// the image copied in, DeviceIoControl, and the simulated driver checking
// the image's length and LRC in the packet before it keeps the download.
void PassThroughCase(benchmark::State& state, std::uint32_t size) {
  const std::vector<std::uint8_t>& image = PatternBytes(size);
  const std::uint32_t lrc = ComputeLRC(image.data(), size / 4);
  const std::string error = sim::LoadMachine(kMachine);
  if (!error.empty()) return FailCase(state, "simulated machine: " + error);
  DiscoverAdapters();
  SetInjectEntry(Inject);
  RunWarmedUp(state, [&] {
    const std::int16_t result = DownloadFirmware(kNode, image.data(), size, lrc, kCodeId);
    if (result == 0) return true;
    FailCase(state, "the download was answered " + std::to_string(result));
    return false;
  });
  CloseAdapters();
  // Every download (the untimed one too) must have reached the adapter
  // whole, or nothing was measured.
  const auto kept = sim::AdapterFirmware(kNode);
  if (!state.error_occurred() &&
      (!kept || kept->download_count != static_cast<std::uint64_t>(state.iterations()) + 1 ||
       kept->lrc != lrc)) {
    FailCase(state, "the adapter did not keep every download");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * size);
}

// What no transport can beat: one buffer, one copy of the image into it, one
// pass that reads it (ComputeLRC reads as fast as memchr). The buffer comes
// from the heap the pass-through uses, for the same reason as the plain read's.
void AllocateCopySumCase(benchmark::State& state, std::uint32_t size) {
  const std::vector<std::uint8_t>& image = PatternBytes(size);
  RunWarmedUp(state, [&] {
    auto* buffer = static_cast<std::uint8_t*>(PlatformAllocate(size));
    if (buffer == nullptr) {
      FailCase(state, "out of memory");
      return false;
    }
    std::memcpy(buffer, image.data(), size);
    std::uint32_t sum = ComputeLRC(buffer, size / 4);
    benchmark::DoNotOptimize(sum);
    PlatformFree(buffer);
    return true;
  });
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * size);
}

}  // namespace

void RegisterDownloadCases(std::uint32_t image_size, int iterations) {
  const std::string group = "Download_" + SizeName(image_size);
  RegisterCase(group + "/PassThrough", iterations,
               [image_size](benchmark::State& state) { PassThroughCase(state, image_size); });
  RegisterCase(group + "/AllocCopySum", iterations,
               [image_size](benchmark::State& state) { AllocateCopySumCase(state, image_size); });
}

}  // namespace bench
