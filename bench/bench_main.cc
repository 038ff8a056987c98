// qx_bench: the benchmark suite. Takes Google Benchmark's own flags, and
// --smoke to run every case once at a small size (a check that each still
// runs, with no meaning as a measurement). Exits 1 when a case went wrong.
#include <cstdlib>
#include <cstring>

#include "bench/bench_support.h"
#include "bench/cases.h"

namespace {

/// Removes `flag` from the arguments; answers whether it was there.
bool TakeFlag(int* argc, char** argv, const char* flag) {
  bool found = false;
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    if (std::strcmp(argv[i], flag) == 0) {
      found = true;
    } else {
      argv[kept++] = argv[i];
    }
  }
  *argc = kept;
  argv[kept] = nullptr;
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  const bool smoke = TakeFlag(&argc, argv, "--smoke");
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  // The simulated machine is the one the download cases load, and writing a
  // trace would measure the trace.
  unsetenv("QXFW_MACHINE");
  unsetenv("QXFW_TRACE");
  const bench::BenchSizes sizes = smoke ? bench::SmokeSizes() : bench::FullSizes();
  bench::RegisterLrcCases(sizes.lrc_sizes, sizes.iterations);
  bench::RegisterLoadCases(sizes.load_file_size, sizes.iterations);
  bench::RegisterSignatureCases(sizes.load_file_size, sizes.iterations);
  bench::RegisterDownloadCases(sizes.download_image_size, sizes.iterations);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return bench::AnyCaseFailed() ? 1 : 0;
}
