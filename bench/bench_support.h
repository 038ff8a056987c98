// What the benchmarks share: the sizes they run at, deterministic buffers,
// a scratch file that is removed again, and the way a case reports that its
// work went wrong (so that a smoke run fails instead of timing nonsense).
#ifndef QXFW_BENCH_BENCH_SUPPORT_H_
#define QXFW_BENCH_BENCH_SUPPORT_H_

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bench {

inline constexpr std::uint32_t kKiB = 1024;
inline constexpr std::uint32_t kMiB = 1024 * kKiB;

/// The sizes the cases run at, and how often.
struct BenchSizes {
  std::vector<std::uint32_t> lrc_sizes;
  std::uint32_t load_file_size = 0;
  std::uint32_t download_image_size = 0;
  /// 0: as many iterations as the library finds it needs; otherwise exactly this many.
  int iterations = 0;
};

/// The sizes of the measurements.
BenchSizes FullSizes();

/// Small sizes, one iteration each: proves that every case still runs.
BenchSizes SmokeSizes();

/// Registers `function` under `name`, with the iteration count of
/// `iterations` (0: the library's own choice). Cases are timed in the
/// thread's CPU time, the library's default, which includes the kernel's
/// work for the thread (reading files, faulting pages in) but not the time
/// that another process on a shared machine holds the core: no case waits
/// for a device, so on an idle machine the two clocks agree.
template <typename Function>
void RegisterCase(const std::string& name, int iterations, Function function) {
  benchmark::internal::Benchmark* b = benchmark::RegisterBenchmark(name.c_str(), function);
  b->Unit(benchmark::kMicrosecond);
  if (iterations > 0) b->Iterations(iterations);
}

/// Runs `work` (a callable answering false when it went wrong) once per
/// iteration, after one untimed run: a virtual machine may have handed the
/// memory that a process freed back to its host, and the first touch of it
/// pays for getting it back, once per process and not per iteration. Stops
/// at the first failure.
template <typename Work>
void RunWarmedUp(benchmark::State& state, Work work) {
  if (!work()) return;
  for (auto _ : state) {
    if (!work()) break;
  }
}

/// The byte that PatternBytes never holds.
inline constexpr int kAbsentByte = 0;

/// `size` deterministic bytes, none of them kAbsentByte. The same size
/// always gives the same (shared) buffer, made once.
const std::vector<std::uint8_t>& PatternBytes(std::uint32_t size);

/// "4KiB", "1MiB", "64MiB", or the number of bytes when it is no whole unit.
std::string SizeName(std::uint32_t size);

/// Marks the running case as failed: the library reports the error, and
/// AnyCaseFailed answers true from then on.
void FailCase(benchmark::State& state, const std::string& why);
bool AnyCaseFailed();

/// A file in the temporary directory, removed when the object goes.
class ScratchFile {
 public:
  /// Writes `parts` one after another into a new file; an empty path() tells
  /// that it could not be written.
  explicit ScratchFile(const std::vector<std::pair<const void*, std::size_t>>& parts);
  ~ScratchFile();
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace bench

#endif  // QXFW_BENCH_BENCH_SUPPORT_H_
