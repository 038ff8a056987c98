#include "services/startup.h"

#include <cstdlib>

#include "services/inject.h"
#include "transport/adapters.h"
#include "transport/interrupts.h"
#include "util/exit_status.h"

void RunProgram(int argc, char** argv, AppMainFn app_main) {
  // Before anything can be written: a closed output must fail a write, not
  // end the process.
  PlatformPrepareInterrupts();
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
