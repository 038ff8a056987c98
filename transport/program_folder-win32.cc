#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

#include "transport/program_folder.h"

std::filesystem::path ProgramFolder() {
  // A path longer than MAX_PATH comes back cut, and is asked for again with
  // room enough.
  std::wstring program(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(nullptr, program.data(), static_cast<DWORD>(program.size()));
    if (length == 0) return {};
    if (length < program.size()) {
      program.resize(length);
      return std::filesystem::path(program).parent_path();
    }
    if (program.size() >= 32768) return {};
    program.resize(program.size() * 2);
  }
}
