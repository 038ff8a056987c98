#include "qxfwimage/pack.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "testing/scratch_dir.h"

namespace {

class PackTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& contents) {
    return dir_.Write(name, contents);
  }
  static std::string Read(const std::string& path) { return testing_support::ReadFile(path); }
  std::string Path(const std::string& name) const { return dir_.path() + "/" + name; }
  testing_support::TempDir dir_;
};

TEST_F(PackTest, WritesAFileThatValidates) {
  const std::string payload("abcdabcd\x01\x02\x03", 11);
  const std::string input = Write("payload", payload);
  const std::string output = Path("fw.L1A");
  ASSERT_EQ(PackFirmwareFile("SHORT", "(c) packer", input, output).message, "");
  const std::string file = Read(output);
  ASSERT_EQ(file.size(), 272 + payload.size());
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(file.data());
  EXPECT_EQ(std::string(file.data(), 11), std::string("(c) packer\0", 11));
  EXPECT_EQ(std::string(file.data() + 252, 4), std::string("\0\0\0\x0b", 4));
  EXPECT_EQ(std::string(file.data() + 260, 8), std::string("SHORT\0\0\0", 8));
  EXPECT_EQ(file.substr(272), payload);
  const ImageCheck check = CheckImageBytes(bytes, file.size(), ImageFormat::kAdapterFirmware, "fw");
  ASSERT_TRUE(check.ok()) << check.message;
  EXPECT_EQ(check.image.LRC, ComputeLRC(payload.data(), 2));
}

TEST_F(PackTest, EmptyPayloadGivesTheEmptyImage) {
  const std::string output = Path("empty.L1A");
  ASSERT_EQ(PackFirmwareFile("EMPTY", "", Write("payload", ""), output).message, "");
  const std::string file = Read(output);
  ASSERT_EQ(file.size(), 272u);
  EXPECT_EQ(std::string(file.data() + 252, 8), std::string("\0\0\0\0\xaa\xaa\xaa\xaa", 8));
}

TEST_F(PackTest, FailuresNameTheFileAndLeaveNoOutput) {
  const std::string missing = Path("missing");
  const std::string output = Path("out.L1A");
  EXPECT_EQ(PackFirmwareFile("ID", "", missing, output).message,
            "can't open payload file: " + missing);
  EXPECT_FALSE(std::filesystem::exists(output));

  const std::string big = Write("big", "");
  std::filesystem::resize_file(big, 0xFFFFFFFFull - 272 + 1);  // sparse
  EXPECT_EQ(PackFirmwareFile("ID", "", big, output).message,
            "payload is too large for a firmware file: " + big);
  EXPECT_FALSE(std::filesystem::exists(output));

  const std::string unwritable = Path("no/such/dir/out.L1A");
  EXPECT_EQ(PackFirmwareFile("ID", "", Write("payload", "1234"), unwritable).message,
            "can't write firmware file: " + unwritable);
}

TEST_F(PackTest, WriteFailureRemovesThePartialFile) {
#ifdef _WIN32
  GTEST_SKIP() << "a write failing part way needs a file size limit (setrlimit)";
#else
  const std::string input = Write("payload", std::string(70000, 'p'));
  const std::string output = Path("partial.L1A");
  // A file size limit makes the write fail part way, as a full disk would.
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string failure = PackFirmwareFile("ID", "", input, output).message;
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(failure, "can't write firmware file: " + output);
  EXPECT_FALSE(std::filesystem::exists(output));
#endif
}

}  // namespace
