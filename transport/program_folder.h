// Where the running program's own file is: the folder that holds what only
// its administrator may change, such as the trusted publishers.
#ifndef QXFW_TRANSPORT_PROGRAM_FOLDER_H_
#define QXFW_TRANSPORT_PROGRAM_FOLDER_H_

#include <filesystem>

/// The folder of the running executable (GetModuleFileNameW on Windows,
/// /proc/self/exe on Linux), or an empty path when the platform won't say.
std::filesystem::path ProgramFolder();

#endif  // QXFW_TRANSPORT_PROGRAM_FOLDER_H_
