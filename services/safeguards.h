// What keeps a run from being cut short while adapters are being changed:
// interrupts held over a sequence of requests that must go out whole, and
// the machine kept from going to sleep. Plain routines over the platform's
// means, for the application, which never calls the transport itself.
#ifndef QXFW_SERVICES_SAFEGUARDS_H_
#define QXFW_SERVICES_SAFEGUARDS_H_

/// From here on an interrupt (Ctrl-C, Ctrl-Break, a closing console;
/// SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXCPU) doesn't end the process: the first one
/// writes `notice`, a whole line, on standard error at once.
/// REQUIRES: no hold in force; notice shorter than 256 bytes.
void HoldInterrupts(const char* notice);

/// Ends the hold and answers false. When an interrupt arrived during it,
/// answers true instead and the hold stays in force: the caller is to bring
/// the run to its end.
/// REQUIRES: a hold is in force.
bool ReleaseInterrupts();

/// Keeps the machine from going to sleep while idle, until LetMachineSleep
/// or the end of the process.
void KeepMachineAwake();

/// Lets the machine go to sleep from idle again.
void LetMachineSleep();

#endif  // QXFW_SERVICES_SAFEGUARDS_H_
