// Whether the machine may go to sleep from idle while the process works: a
// machine that sleeps in the middle of a download cuts it as surely as an
// interrupt would.
#ifndef QXFW_TRANSPORT_EXECUTION_STATE_H_
#define QXFW_TRANSPORT_EXECUTION_STATE_H_

/// Keeps the system from sleeping while idle, until PlatformAllowSleep (or
/// the end of the process).
void PlatformKeepAwake();

/// Lets the system sleep from idle again.
void PlatformAllowSleep();

#endif  // QXFW_TRANSPORT_EXECUTION_STATE_H_
