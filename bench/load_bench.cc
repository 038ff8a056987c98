// Loading and validating a firmware file against one plain read of it.
#include <cstdio>
#include <map>
#include <memory>

#include "bench/bench_support.h"
#include "bench/cases.h"
#include "qxfwimage/pack.h"
#include "record/platform_memory.h"
#include "services/inject.h"
#include "services/issuing.h"
#include "tool/load_image.h"

namespace bench {
namespace {

constexpr char kCodeId[] = "BENCHIMG";

/// A valid adapter firmware file of `file_size` bytes, written once and
/// left in the page cache by the writing; removed when the program exits.
const ScratchFile& FirmwareFile(std::uint32_t file_size) {
  static std::map<std::uint32_t, std::unique_ptr<ScratchFile>> files;
  std::unique_ptr<ScratchFile>& file = files[file_size];
  if (file == nullptr) {
    const std::uint32_t payload_size = file_size - kFirmwareHeaderSize;
    const std::vector<std::uint8_t>& payload = PatternBytes(payload_size);
    const FirmwareHeader header =
        MakeFirmwareHeader(kCodeId, "(c) benchmark image", payload.data(), payload_size);
    std::uint8_t encoded[kFirmwareHeaderSize];
    EncodeFirmwareHeader(header, encoded);
    file = std::make_unique<ScratchFile>(std::vector<std::pair<const void*, std::size_t>>{
        {encoded, sizeof encoded}, {payload.data(), payload.size()}});
  }
  return *file;
}

// The downloader's image phase, quiet: open, measure, allocate through the
// services, read (summing the words as they arrive) and check the header and
// the LRC.
void LoadFirmwareImageCase(benchmark::State& state, std::uint32_t file_size) {
  const ScratchFile& file = FirmwareFile(file_size);
  if (file.path().empty()) return FailCase(state, "the firmware file could not be written");
  SetInjectEntry(Inject);
  Settings settings;
  settings.Verbose = 0;
  settings.FirmwarePath = file.path().c_str();
  RunWarmedUp(state, [&] {
    const FirmwareImage image = LoadFirmwareImage(settings);  // a refusal ends the process
    benchmark::DoNotOptimize(image.LRC);
    DpbFree(image.Buffer);
    if (image.Length == file_size - kFirmwareHeaderSize) return true;
    FailCase(state, "the image has a wrong length");
    return false;
  });
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * file_size);
}

// What no loader can beat: the file read whole, once, into a block of its
// size. The block comes from the heap the loader uses, so that the ratio
// shows the loader's own work and not how its memory was obtained.
void FreadCase(benchmark::State& state, std::uint32_t file_size) {
  const ScratchFile& file = FirmwareFile(file_size);
  if (file.path().empty()) return FailCase(state, "the firmware file could not be written");
  RunWarmedUp(state, [&] {
    std::FILE* stream = std::fopen(file.path().c_str(), "rb");
    void* block = PlatformAllocate(file_size);
    const std::size_t got =
        stream != nullptr && block != nullptr ? std::fread(block, 1, file_size, stream) : 0;
    benchmark::DoNotOptimize(block);
    benchmark::ClobberMemory();
    PlatformFree(block);
    if (stream != nullptr) std::fclose(stream);
    if (got == file_size) return true;
    FailCase(state, "the file could not be read whole");
    return false;
  });
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * file_size);
}

}  // namespace

void RegisterLoadCases(std::uint32_t file_size, int iterations) {
  const std::string group = "Load_" + SizeName(file_size);
  RegisterCase(group + "/LoadFirmwareImage", iterations,
               [file_size](benchmark::State& state) { LoadFirmwareImageCase(state, file_size); });
  RegisterCase(group + "/fread", iterations,
               [file_size](benchmark::State& state) { FreadCase(state, file_size); });
}

}  // namespace bench
