#include "transport/execution_state.h"

#include "transport/platform.h"

// The results are not looked at: a machine that won't stay awake leaves
// nothing for the run to do differently.

void PlatformKeepAwake() { SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED); }

void PlatformAllowSleep() { SetThreadExecutionState(ES_CONTINUOUS); }
