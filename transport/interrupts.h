// Interrupts of the run and what they may cut. An interrupt is Ctrl-C,
// Ctrl-Break or the closing of the console (or a logoff or shutdown) on
// Windows, and SIGINT, SIGTERM, SIGHUP, SIGQUIT or SIGXCPU (a CPU-time
// limit) elsewhere. By default it ends the process at once, as the system
// would; while held, it ends nothing and is only remembered, so that a
// sequence of requests that the adapters rely on goes out whole. A write to
// a closed pipe, or past a file-size limit, never ends the process: it fails
// like any other write.
#ifndef QXFW_TRANSPORT_INTERRUPTS_H_
#define QXFW_TRANSPORT_INTERRUPTS_H_

#include <cstddef>

/// Room for the notice of a hold, with its NUL.
inline constexpr std::size_t kInterruptNoticeSize = 256;

/// Called once at start-up, before the first request: sets how the process
/// meets interrupts and closed pipes.
void PlatformPrepareInterrupts();

/// Holds interrupts from here on. The first interrupt of the hold writes
/// `notice` on standard error at once (a longer one is cut). An interrupt
/// that the process was started to ignore stays ignored.
/// REQUIRES: PlatformPrepareInterrupts has run; no hold is in force.
void PlatformHoldInterrupts(const char* notice);

/// Ends the hold and answers false; interrupts end the process again. But
/// when an interrupt arrived during the hold, answers true and keeps the
/// hold in force until the process ends, which the caller is to bring about
/// (its last steps are not to be cut either). An interrupt that arrives
/// while the hold ends is either one or the other, never lost.
/// REQUIRES: a hold is in force.
bool PlatformReleaseInterrupts();

#endif  // QXFW_TRANSPORT_INTERRUPTS_H_
