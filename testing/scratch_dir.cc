#include "testing/scratch_dir.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

namespace testing_support {
namespace {

// There is no mkdtemp on Windows; a random name that create_directory
// refuses when taken is as safe.
std::string MakeScratchDir() {
  std::error_code error;
  const std::filesystem::path temp = std::filesystem::temp_directory_path(error);
  if (error) return "";
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path path = temp / ("qxfw-test-" + std::to_string(random()));
    if (std::filesystem::create_directory(path, error)) return path.generic_string();
  }
  return "";
}

}  // namespace

TempDir::TempDir() : path_(MakeScratchDir()) {}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string& name, const std::string& contents) const {
  const std::string file = path_ + "/" + name;
  std::ofstream(file, std::ios::binary) << contents;
  return file;
}

std::string TempDir::WriteSparse(const std::string& name, const std::string& start,
                                 std::uint64_t size) const {
  const std::string file = Write(name, start);
  std::filesystem::resize_file(file, size);
  return file;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

}  // namespace testing_support
