#include "services/safeguards.h"

#include "transport/execution_state.h"
#include "transport/interrupts.h"

void HoldInterrupts(const char* notice) { PlatformHoldInterrupts(notice); }

bool ReleaseInterrupts() { return PlatformReleaseInterrupts(); }

void KeepMachineAwake() { PlatformKeepAwake(); }

void LetMachineSleep() { PlatformAllowSleep(); }
