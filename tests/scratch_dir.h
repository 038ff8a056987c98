// A fresh directory for a test's files that works on Linux and on the
// Windows build run under Wine, where there is no mkdtemp.
#ifndef QXFW_TESTS_SCRATCH_DIR_H_
#define QXFW_TESTS_SCRATCH_DIR_H_

#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <system_error>

namespace testing_support {

/// Creates a new directory named `stem` plus a random suffix in the system's
/// temporary directory and answers its path, with '/' between its parts on
/// Windows too (so that it needs no escaping in JSON); empty when none could
/// be made.
inline std::string MakeScratchDir(std::string_view stem) {
  std::error_code error;
  const std::filesystem::path temp = std::filesystem::temp_directory_path(error);
  if (error) return "";
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path path = temp / (std::string(stem) + "-" + std::to_string(random()));
    // Creation fails when the name is taken: nothing is ever shared.
    if (std::filesystem::create_directory(path, error)) return path.generic_string();
  }
  return "";
}

}  // namespace testing_support

#endif  // QXFW_TESTS_SCRATCH_DIR_H_
