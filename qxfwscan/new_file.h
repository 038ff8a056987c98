// Files qxfwscan writes for the operator: made whole beside their place and
// then put there, never over anything already there.
#ifndef QXFW_QXFWSCAN_NEW_FILE_H_
#define QXFW_QXFWSCAN_NEW_FILE_H_

#include <string>
#include <string_view>

/// True when something (a file, a directory, a link) is at `path`.
bool PathIsTaken(const std::string& path);

/// Writes `text` to a temporary file beside `path`, flushes it to the disk
/// and then gives it the name `path`, which must not exist: something that
/// is there (also one that came since PathIsTaken said no) is left as it is
/// and the write fails. Returns an empty string, or why the file can't be
/// written; no temporary file is left behind either way.
[[nodiscard]] std::string WriteNewFile(const std::string& path, std::string_view text);

#endif  // QXFW_QXFWSCAN_NEW_FILE_H_
