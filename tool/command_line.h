// The command line: the option loop, node numbers, the firmware argument and
// its name rule, and AppMain, which acts on them.
//
// The parsing core returns what it found instead of ending the process, so
// that it can be tested and fuzzed; AppMain turns a failure into UsageExit or
// ErrorExit.
#ifndef QXFW_TOOL_COMMAND_LINE_H_
#define QXFW_TOOL_COMMAND_LINE_H_

#include <cstdint>
#include <string>

#include "tool/settings.h"
#include "util/outcome.h"

/// How a step of the command line can fail: with the usage lines, or with
/// an error line carrying the outcome's message.
enum class CommandLineFailure { kNone, kUsage, kError };

/// What a step of the command line found.
using CommandLineOutcome = Outcome<CommandLineFailure>;

/// The outcome of a number conversion.
struct NumberParse {
  CommandLineOutcome outcome;
  std::int32_t value = 0;
};

/// Converts a numeric option argument: "0x"/"0X" then hexadecimal digits as
/// "%lx" reads them, else decimal digits as atoi reads them; text after the
/// digits is ignored. The result is the value's 32 bits, as a signed
/// number. `name` goes into the messages "missing %s argument" (null text)
/// and "bad %s argument": first character not a digit, a hexadecimal prefix
/// followed by no hexadecimal digit, or a value that doesn't fit in 32 bits
/// (above 0xFFFFFFFF, or below -0x80000000 with a sign), which would
/// otherwise wrap onto a small number.
NumberParse ParseNumberText(const char* text, const char* name);

/// As ParseNumberText, and a negative result is "%s should not be negative".
NumberParse ParseNonNegativeText(const char* text, const char* name);

/// Acts on the option argv[*index] by its second character alone: a, n
/// (with the node number that follows, *index stepped past it), f, m, p or q,
/// either case; anything else asks for the usage lines.
/// REQUIRES: argv[*index] begins with '-'.
CommandLineOutcome TakeOption(int argc, char** argv, int* index, Settings* settings);

/// Runs the option loop from argv[*index], setting `settings`; leaves *index
/// at the first argument that doesn't begin with '-'.
CommandLineOutcome ParseOptions(int argc, char** argv, int* index, Settings* settings);

/// Takes the firmware argument at argv[index]: sets FirmwarePath and
/// FirmwareLL, applies the name rule unless Force is set, and refuses
/// surplus arguments (after the name rule).
CommandLineOutcome TakeFirmwareArgument(int argc, char** argv, int index, Settings* settings);

/// Ends the process on a failed step: through UsageExit, or ErrorExit with
/// the outcome's message; returns on success.
void ExitOnFailure(const CommandLineOutcome& outcome);

/// The number routines of the command line, which end the process through
/// ErrorExit on a bad number.
std::int32_t ParseNumberArg(const char* text, const char* name);
std::int32_t ParseNonNegativeArg(const char* text, const char* name);

/// The application's entry: options, banner, firmware argument, then the
/// hand-off to DownloadMain.
int AppMain(int argc, char** argv);

#endif  // QXFW_TOOL_COMMAND_LINE_H_
