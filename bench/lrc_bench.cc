// ComputeLRC against the read bandwidth of the same buffer.
#include <cstring>

#include "bench/bench_support.h"
#include "bench/cases.h"
#include "image/lrc.h"

namespace bench {
namespace {

void ComputeLrcCase(benchmark::State& state, std::uint32_t size) {
  const std::vector<std::uint8_t>& bytes = PatternBytes(size);
  for (auto _ : state) {
    std::uint32_t lrc = ComputeLRC(bytes.data(), size / 4);
    benchmark::DoNotOptimize(lrc);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * size);
}

// memchr reads every byte once and does next to nothing with it: the
// fastest pass over the buffer that the C library has.
void MemchrCase(benchmark::State& state, std::uint32_t size) {
  const std::vector<std::uint8_t>& bytes = PatternBytes(size);
  const void* found = nullptr;
  for (auto _ : state) {
    found = std::memchr(bytes.data(), kAbsentByte, size);
    benchmark::DoNotOptimize(found);
  }
  if (found != nullptr) FailCase(state, "memchr found the byte that must be absent");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * size);
}

}  // namespace

void RegisterLrcCases(const std::vector<std::uint32_t>& sizes, int iterations) {
  for (std::uint32_t size : sizes) {
    const std::string group = "LRC_" + SizeName(size);
    RegisterCase(group + "/ComputeLRC", iterations,
                 [size](benchmark::State& state) { ComputeLrcCase(state, size); });
    RegisterCase(group + "/memchr", iterations,
                 [size](benchmark::State& state) { MemchrCase(state, size); });
  }
}

}  // namespace bench
