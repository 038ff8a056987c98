// The command line of qxfwimage, the companion program that builds and checks
// firmware images. The parser returns what it found instead of ending the
// process, so that it can be tested on its own.
#ifndef QXFW_QXFWIMAGE_COMMAND_H_
#define QXFW_QXFWIMAGE_COMMAND_H_

#include <string>

inline constexpr char kImageToolName[] = "qxfwimage";

/// The longest copyright text that pack accepts: the 252-byte field keeps
/// the NUL that ends its text.
inline constexpr std::size_t kLongestCopyright = 251;

/// One run of qxfwimage, as its command line asks for it.
struct ImageToolCommand {
  enum Kind { kHelp, kPack, kInfo, kUsageError };
  Kind kind = kUsageError;
  std::string error;  // what is wrong, for kUsageError

  // pack
  std::string code_id;    // 1 to 8 characters
  std::string copyright;  // at most kLongestCopyright characters
  std::string payload;
  std::string output;

  // info
  bool aif = false;
  bool json = false;
  std::string file;
};

/// Reads argv[1] onwards. "--help" (or "-h") anywhere asks for the usage
/// text; "--" ends the options, so that file names may begin with '-'.
ImageToolCommand ParseImageToolCommand(int argc, const char* const* argv);

/// The usage text, ending in a newline.
const char* ImageToolUsage();

#endif  // QXFW_QXFWIMAGE_COMMAND_H_
