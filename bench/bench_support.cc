#include "bench/bench_support.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace bench {
namespace {

bool any_case_failed = false;

bool WriteAll(int fd, const void* bytes, std::size_t size) {
  const auto* from = static_cast<const char*>(bytes);
  while (size > 0) {
    const ssize_t n = write(fd, from, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    from += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

BenchSizes FullSizes() { return {{4 * kKiB, 1 * kMiB, 64 * kMiB}, 256 * kMiB, 64 * kMiB, 0}; }

BenchSizes SmokeSizes() { return {{4 * kKiB}, 64 * kKiB, 64 * kKiB, 1}; }

const std::vector<std::uint8_t>& PatternBytes(std::uint32_t size) {
  static auto* const made = new std::map<std::uint32_t, std::vector<std::uint8_t>>;
  auto [it, inserted] = made->try_emplace(size);
  if (inserted) {
    std::vector<std::uint8_t>& bytes = it->second;
    bytes.resize(size);
    // A xorshift sequence: the same bytes on every run, with nothing regular
    // in them that a sum or a search could take a short cut through.
    // kAbsentByte is mapped away.
    std::uint32_t state = 0x9E3779B9u;
    for (std::uint8_t& byte : bytes) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      const auto value = static_cast<std::uint8_t>(state >> 24);
      byte = value == kAbsentByte ? 0x5A : value;
    }
  }
  return it->second;
}

std::string SizeName(std::uint32_t size) {
  if (size >= kMiB && size % kMiB == 0) return std::to_string(size / kMiB) + "MiB";
  if (size >= kKiB && size % kKiB == 0) return std::to_string(size / kKiB) + "KiB";
  return std::to_string(size);
}

void FailCase(benchmark::State& state, const std::string& why) {
  any_case_failed = true;
  state.SkipWithError(why.c_str());
}

bool AnyCaseFailed() { return any_case_failed; }

ScratchFile::ScratchFile(const std::vector<std::pair<const void*, std::size_t>>& parts) {
  const char* directory = std::getenv("TMPDIR");
  std::string name = std::string(directory != nullptr && *directory != '\0' ? directory : "/tmp") +
                     "/qx_bench_XXXXXX";
  const int fd = mkstemp(name.data());
  if (fd < 0) return;
  path_ = name;
  bool written = true;
  for (const auto& [bytes, size] : parts) written = written && WriteAll(fd, bytes, size);
  if (close(fd) != 0 || !written) {
    std::remove(path_.c_str());
    path_.clear();
  }
}

ScratchFile::~ScratchFile() {
  if (!path_.empty()) std::remove(path_.c_str());
}

}  // namespace bench
