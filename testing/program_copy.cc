#include "testing/program_copy.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "testing/run_process.h"
#include "testing/scratch_dir.h"

namespace testing_support {
namespace {

/// The runner of a Windows program (cmake/wine-tests.cmake writes it) names
/// the runner and then the executable, each in single quotes.
bool ParseRunner(const std::string& script, std::string* runner, std::string* executable) {
  const std::size_t exec = script.find("exec '");
  if (exec == std::string::npos) return false;
  const std::size_t runner_end = script.find('\'', exec + 6);
  if (runner_end == std::string::npos) return false;
  *runner = script.substr(exec + 6, runner_end - exec - 6);
  const std::size_t program = script.find('\'', runner_end + 1);
  const std::size_t program_end =
      program == std::string::npos ? program : script.find('\'', program + 1);
  if (program_end == std::string::npos) return false;
  *executable = script.substr(program + 1, program_end - program - 1);
  return true;
}

}  // namespace

std::string CopyBuiltProgram(const std::string& name, const std::string& folder) {
  namespace fs = std::filesystem;
  const std::string built = BuiltProgram(name);
  const std::string copy = folder + "/" + name;
  std::error_code error;
  if (!UnderWine()) {
    fs::copy_file(built, copy, fs::copy_options::overwrite_existing, error);
    if (error) return "";
    RegisterBuiltProgramCopy(copy);
    return copy;
  }
  std::string runner, executable;
  const std::string script = ReadFile(built);
  if (!ParseRunner(script, &runner, &executable)) return "";
  const std::string copied_executable = folder + "/" + fs::path(executable).filename().string();
  fs::copy_file(executable, copied_executable, fs::copy_options::overwrite_existing, error);
  if (error) return "";
  const std::string options = script.find("--bare") != std::string::npos ? " --bare" : "";
  std::ofstream(copy) << "#!/bin/sh\nexec '" << runner << "'" << options << " '"
                      << copied_executable << "' \"$@\"\n";
  fs::permissions(copy, fs::perms::owner_all, fs::perm_options::replace, error);
  return error ? "" : copy;
}

}  // namespace testing_support
