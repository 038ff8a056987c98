#include "services/startup.h"

#include <cstdio>
#include <cstdlib>

#include "services/inject.h"
#include "transport/adapters.h"
#include "transport/interrupts.h"
#include "transport/machine_lock.h"
#include "util/exit_status.h"

namespace {

/// Before the first request of any kind, node queries included: a run that
/// can't have the adapters to itself sends nothing.
void TakeTheMachine(const char* program_name) {
  const MachineLockResult lock = PlatformTakeMachineLock();
  switch (lock.outcome) {
    case MachineLockResult::kTaken:
      if (lock.previous_holder_vanished) {
        std::fprintf(stderr, "%s: warning: a previous run ended without releasing the adapters\n",
                     program_name);
      }
      return;
    case MachineLockResult::kBusy:
      if (lock.holder != 0) {
        std::fprintf(stderr,
                     "%s: another run is using the adapters of this machine (process %lu)\n",
                     program_name, static_cast<unsigned long>(lock.holder));
      } else {
        std::fprintf(stderr, "%s: another run is using the adapters of this machine\n",
                     program_name);
      }
      break;
    case MachineLockResult::kFailed:
      std::fprintf(stderr, "%s: can't take the lock on the adapters of this machine: %s\n",
                   program_name, lock.failure.c_str());
      break;
  }
  Terminate(exit_status::kError);
}

}  // namespace

void RunProgram(const char* program_name, int argc, char** argv, AppMainFn app_main) {
  // Before anything can be written: a closed output must fail a write, not
  // end the process.
  PlatformPrepareInterrupts();
  TakeTheMachine(program_name);
  // Discovery needs no service, so it runs before the entry is registered;
  // its outcome shows later, node by node.
  DiscoverAdapters();
  SetInjectEntry(Inject);
  app_main(argc, argv);
  Terminate(exit_status::kOk);
}

void Terminate(std::int32_t status) {
  CloseAdapters();
  std::exit(status);
}

std::int32_t RunApplication(ApplicationRoutine routine, std::uint32_t /*size*/, std::uint32_t a,
                            std::uint32_t b) {
  routine(a, b);
  return 1;
}
