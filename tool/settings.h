// The program-wide settings, read from the command line before the hand-off
// and read-only afterwards (except SelectedNode, the node under work during
// the scan).
#ifndef QXFW_TOOL_SETTINGS_H_
#define QXFW_TOOL_SETTINGS_H_

#include <cstdint>

inline constexpr std::uint32_t kAllAdapters = 0xFFFFFFFFu;

struct Settings {
  std::uint32_t SelectedNode = kAllAdapters;
  int Verbose = 1;
  int Force = 0;
  int AifImage = 0;
  int Pause = 0;
  /// The argument string itself.
  const char* FirmwarePath = nullptr;
  /// The two LL characters inside FirmwarePath, or null when the name has none.
  const char* FirmwareLL = nullptr;
};

/// The one instance that the application reads.
extern Settings ProgramSettings;

#endif  // QXFW_TOOL_SETTINGS_H_
