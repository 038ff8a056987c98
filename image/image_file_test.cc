#include "image/image_file.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "testing/scratch_dir.h"

namespace {

/// Counts what the reader asks of its allocator; can be told to fail, or to
/// shorten a file between its measurement and its read.
struct AllocatorProbe {
  int allocations = 0;
  int releases = 0;
  std::uint32_t last_size = 0;
  bool fail = false;
  std::string truncate_on_allocate;
};
AllocatorProbe probe;

void* ProbeAllocate(std::uint32_t size) {
  ++probe.allocations;
  probe.last_size = size;
  if (!probe.truncate_on_allocate.empty()) {
    std::filesystem::resize_file(probe.truncate_on_allocate, 1);
  }
  return probe.fail ? nullptr : std::malloc(size + 1);
}

void ProbeRelease(void* block) {
  ++probe.releases;
  std::free(block);
}

constexpr ImageBlockAllocator kProbeAllocator{ProbeAllocate, ProbeRelease};

class ImageFileTest : public ::testing::Test {
 protected:
  void SetUp() override { probe = AllocatorProbe{}; }
  testing_support::TempDir dir_;
};

TEST_F(ImageFileTest, ReadsTheWholeFileIntoOneBlock) {
  const std::string contents("firmware\0bytes\xff", 15);
  const std::string path = dir_.Write("fw.L1A", contents);
  const ImageFileRead read = ReadImageFile(path.c_str(), kProbeAllocator);
  ASSERT_TRUE(read.ok()) << read.message;
  EXPECT_TRUE(read.measured);
  EXPECT_EQ(read.size, 15u);
  EXPECT_EQ(probe.last_size, 15u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(read.buffer), 15), contents);
  ProbeRelease(read.buffer);
}

// The file is read and summed in pieces of 1 MiB: a sum that dropped or
// doubled a piece, or split a word between two, must show at these sizes.
TEST_F(ImageFileTest, SumsTheWholeFileWhileReadingIt) {
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  std::string contents(2 * kPiece + kPiece / 2 + 3, '\0');
  std::uint32_t seed = 1;
  for (char& c : contents) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 16);
  }
  for (const std::size_t size :
       {std::size_t{0}, std::size_t{7}, kPiece - 1, kPiece, kPiece + 5, contents.size()}) {
    const std::string path = dir_.Write("fw.L1A", contents.substr(0, size));
    const ImageFileRead read = ReadImageFile(path.c_str(), kProbeAllocator);
    ASSERT_TRUE(read.ok()) << read.message;
    EXPECT_EQ(read.whole_file_lrc, ComputeLRCPortable(contents.data(), size / 4)) << size;
    EXPECT_EQ(std::memcmp(read.buffer, contents.data(), size), 0) << size;
    ProbeRelease(read.buffer);
  }
}

TEST_F(ImageFileTest, EmptyFileIsReadWithoutError) {
  const std::string path = dir_.Write("empty.L1A", "");
  for (const ImageBlockAllocator* allocator : {&kProbeAllocator, &kHeapAllocator}) {
    const ImageFileRead read = ReadImageFile(path.c_str(), *allocator);
    ASSERT_TRUE(read.ok()) << read.message;
    EXPECT_EQ(read.size, 0u);
    EXPECT_NE(read.buffer, nullptr);
    allocator->release(read.buffer);
  }
}

TEST_F(ImageFileTest, MissingFileAndDirectoryCantBeOpened) {
  const std::string missing = dir_.path() + "/missing.L1A";
  for (const std::string& path : {missing, dir_.path()}) {
    const ImageFileRead read = ReadImageFile(path.c_str(), kProbeAllocator);
    EXPECT_EQ(read.failure, ImageFailure::kOpen) << path;
    EXPECT_EQ(read.message, "can't open firmware file: " + path);
    EXPECT_FALSE(read.measured);
  }
  EXPECT_EQ(probe.allocations, 0);
}

TEST_F(ImageFileTest, FileOf4GiBIsRefusedBeforeAnythingIsAllocated) {
  for (const std::uint64_t size : {std::uint64_t{1} << 32, (std::uint64_t{1} << 32) + 272}) {
    const std::string path = dir_.Write("sparse.L1A", "");
    std::filesystem::resize_file(path, size);  // sparse: no blocks written
    const ImageFileRead read = ReadImageFile(path.c_str(), kProbeAllocator);
    EXPECT_EQ(read.failure, ImageFailure::kTooLarge);
    EXPECT_EQ(read.message, "firmware file is too large: " + path);
    EXPECT_EQ(read.size, size);
  }
  EXPECT_EQ(probe.allocations, 0);
}

TEST_F(ImageFileTest, CallerChosenLimitIsInclusive) {
  const std::string path = dir_.Write("payload", "12345");
  const ImageFileRead at_limit = ReadImageFile(path.c_str(), kProbeAllocator, 5);
  ASSERT_TRUE(at_limit.ok());
  ProbeRelease(at_limit.buffer);
  EXPECT_EQ(ReadImageFile(path.c_str(), kProbeAllocator, 4).failure, ImageFailure::kTooLarge);
  EXPECT_EQ(probe.allocations, 1);
}

TEST_F(ImageFileTest, AllocationFailureNamesTheSize) {
  const std::string path = dir_.Write("fw.L1A", "12345");
  probe.fail = true;
  const ImageFileRead read = ReadImageFile(path.c_str(), kProbeAllocator);
  EXPECT_EQ(read.failure, ImageFailure::kAllocate);
  EXPECT_EQ(read.message, "out of memory allocating 5 bytes");
  EXPECT_EQ(probe.releases, 0);
}

TEST_F(ImageFileTest, ShortReadReleasesTheBlock) {
  const std::string path = dir_.Write("shrinking.L1A", std::string(4096, 'x'));
  probe.truncate_on_allocate = path;
  const ImageFileRead read = ReadImageFile(path.c_str(), kProbeAllocator);
  EXPECT_EQ(read.failure, ImageFailure::kRead);
  EXPECT_EQ(read.message, "can't read firmware file: " + path);
  EXPECT_EQ(read.buffer, nullptr);
  EXPECT_EQ(probe.allocations, 1);
  EXPECT_EQ(probe.releases, 1);
}

TEST_F(ImageFileTest, UnseekableFileIsAReadFailure) {
#ifdef _WIN32
  GTEST_SKIP() << "a pipe opened by its path needs Linux's /proc/self/fd";
#else
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], "data", 4), 4);
  const std::string path = "/proc/self/fd/" + std::to_string(fds[0]);
  const ImageFileRead read = ReadImageFile(path.c_str(), kProbeAllocator);
  close(fds[0]);
  close(fds[1]);
  EXPECT_EQ(read.failure, ImageFailure::kRead);
  EXPECT_EQ(read.message, "can't read firmware file: " + path);
  EXPECT_EQ(probe.allocations, 0);
#endif
}

}  // namespace
