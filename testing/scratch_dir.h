// Scratch files for tests: a fresh directory per test, removed with what it
// holds, on Linux and on the Windows build run under Wine alike.
#ifndef QXFW_TESTING_SCRATCH_DIR_H_
#define QXFW_TESTING_SCRATCH_DIR_H_

#include <cstdint>
#include <string>

namespace testing_support {

/// A fresh empty directory in the system's temporary directory, removed by
/// the destructor. Its path uses '/' between its parts on Windows too, so
/// that it needs no escaping in JSON. An empty path means none could be made.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  /// Writes `contents` to a file in the directory and answers its path.
  std::string Write(const std::string& name, const std::string& contents) const;
  /// Writes `start`, then extends the file to `size` bytes without taking
  /// room on disk; answers its path.
  std::string WriteSparse(const std::string& name, const std::string& start,
                          std::uint64_t size) const;

 private:
  std::string path_;
};

/// Reads a whole file; empty when it can't be read.
std::string ReadFile(const std::string& path);

}  // namespace testing_support

#endif  // QXFW_TESTING_SCRATCH_DIR_H_
