// The two ways in which the application stops on bad input.
#ifndef QXFW_TOOL_ERROR_EXIT_H_
#define QXFW_TOOL_ERROR_EXIT_H_

#include <cstddef>
#include <string>

#ifdef __MINGW32__
#define QX_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define QX_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#endif

inline constexpr const char kProgramName[] = "qxfwload";

/// Names the program in error lines: kProgramName unless a companion program
/// that shares the downloader's checks names itself.
void SetErrorProgramName(const char* name);

/// Room for an error message and its NUL.
inline constexpr std::size_t kErrorMessageSize = 260;

/// Writes "qxfwload: MESSAGE" (or the name that SetErrorProgramName gave) and a newline on standard
/// error and ends the process with status 1, adapter handles closed. A message too long for its
/// 260-byte buffer is cut and ends in "..."; control bytes in it (of a path, say) are shown as
/// PrintableText shows them, and the line is cut again if that makes it longer.
[[noreturn]] void ErrorExit(const char* format, ...) QX_PRINTF_FORMAT(1, 2);

/// Formats an error message as ErrorExit does, cut to fit its buffer.
std::string FormatErrorMessage(const char* format, ...) QX_PRINTF_FORMAT(1, 2);

/// Writes the five usage lines on standard error and ends the process with
/// status 1, adapter handles closed.
[[noreturn]] void UsageExit();

#endif  // QXFW_TOOL_ERROR_EXIT_H_
