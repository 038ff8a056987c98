#include "tool/error_exit.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "services/startup.h"
#include "util/exit_status.h"
#include "util/printable_text.h"

namespace {

constexpr char kEllipsis[] = "...";

const char* error_program_name = kProgramName;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
void FormatInto(char* buffer, const char* format, std::va_list args) {
  const int needed = std::vsnprintf(buffer, kErrorMessageSize, format, args);
  if (needed < 0) {
    buffer[0] = '\0';
  } else if (static_cast<std::size_t>(needed) >= kErrorMessageSize) {
    // Cut, and say so, rather than run past the buffer.
    std::memcpy(buffer + kErrorMessageSize - sizeof kEllipsis, kEllipsis, sizeof kEllipsis);
  }
}
#pragma GCC diagnostic pop

/// The message as the console may show it: a path or an adapter's text in
/// it can't drive the terminal, and the line still fits the buffer.
std::string ShownMessage(const char* message) {
  std::string shown = PrintableText(message, false);
  if (shown.size() >= kErrorMessageSize) {
    shown.replace(kErrorMessageSize - sizeof kEllipsis, std::string::npos, kEllipsis);
  }
  return shown;
}

}  // namespace

void SetErrorProgramName(const char* name) { error_program_name = name; }

std::string FormatErrorMessage(const char* format, ...) {
  char message[kErrorMessageSize];
  std::va_list args;
  va_start(args, format);
  FormatInto(message, format, args);
  va_end(args);
  return message;
}

void ErrorExit(const char* format, ...) {
  char message[kErrorMessageSize];
  std::va_list args;
  va_start(args, format);
  FormatInto(message, format, args);
  va_end(args);
  std::fprintf(stderr, "%s: %s\n", error_program_name, ShownMessage(message).c_str());
  Terminate(exit_status::kError);
}

void UsageExit() {
  std::fprintf(stderr, "usage: %s [-a node] [-q] [-p] firmware.Lxx\n", kProgramName);
  std::fprintf(stderr,
               "flags: -a node       identify adapter by node number (default all adapters)\n");
  std::fprintf(stderr, "       -q            quiet mode (default is verbose)\n");
  std::fprintf(stderr, "       -p            pause just before loading firmware\n");
  std::fprintf(stderr, "       firmware.Lxx  input adapter firmware image file (xx is LL field)\n");
  Terminate(exit_status::kError);
}
