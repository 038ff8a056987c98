// The beginning and the end of the process: the order in which the program
// entry brings the system up, the hand-off to the application's main work,
// and the one way to end with a status that releases the adapters.
#ifndef QXFW_SERVICES_STARTUP_H_
#define QXFW_SERVICES_STARTUP_H_

#include <cstdint>

/// The application's entry, given the argument count and vector unchanged.
using AppMainFn = int (*)(int argc, char** argv);

/// A routine that RunApplication hands control to.
using ApplicationRoutine = std::int32_t (*)(std::uint32_t a, std::uint32_t b);

/// Sets how the process meets interrupts and closed outputs, takes the
/// machine's lock, discovers the adapters, registers Inject, runs `app_main`
/// and, should it return, ends the process with status 0. When another run
/// holds the adapters of the machine, or the lock can't be asked for, it
/// writes one line "PROGRAM_NAME: ..." on standard error and ends with
/// status 1 before any request; when the run before ended without releasing
/// them, it says so once on standard error and goes on.
[[noreturn]] void RunProgram(const char* program_name, int argc, char** argv, AppMainFn app_main);

/// Closes every open adapter handle, then ends the process with `status`.
[[noreturn]] void Terminate(std::int32_t status);

/// Calls `routine` with (a, b), discards its result and answers 1. The size
/// word is not read.
std::int32_t RunApplication(ApplicationRoutine routine, std::uint32_t size, std::uint32_t a,
                            std::uint32_t b);

#endif  // QXFW_SERVICES_STARTUP_H_
