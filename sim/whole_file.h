// Files the simulated machine reads and writes whole: the machine file, the
// state file, and qxsimctl's machine images and driver records.
#ifndef QXFW_SIM_WHOLE_FILE_H_
#define QXFW_SIM_WHOLE_FILE_H_

#include <string>
#include <string_view>

namespace sim {

/// Reads the file at `path` into *contents (appended to as read). Returns an
/// empty string, or why it can't be read (strerror's words). With `missing`
/// given, a file that doesn't exist is no complaint: *missing is set instead
/// and *contents stays empty.
[[nodiscard]] std::string ReadWholeFile(const std::string& path, std::string* contents,
                                        bool* missing = nullptr);

/// Writes `text` to `path` whole or not at all: into a temporary file beside
/// it, flushed to the disk, then renamed over it, so that a process killed
/// meanwhile leaves the old file or the new one, never a part. Returns an
/// empty string, or why the file cannot be written (the temporary file is
/// then removed).
[[nodiscard]] std::string WriteFileWhole(const std::string& path, std::string_view text);

}  // namespace sim

#endif  // QXFW_SIM_WHOLE_FILE_H_
