// One run at a time on a machine. A download is a bracket of notices that
// the adapter firmware relies on: a second process that probes, identifies
// or notifies inside it, or downloads the same image again, breaks what the
// first one promised the adapters. So every program that talks to the
// adapters takes the machine's lock before its first request of any kind,
// and holds it until the process ends.
//
// On Windows the lock is a named mutex in the Global namespace, seen by
// every session and service. On the Linux test bed a machine is its
// QXFW_STATE file: processes that share one are one machine and lock a file
// beside it ("STATE.lock"); without QXFW_STATE a process is a machine of its
// own and takes no lock, so that tests of separate machines run side by side.
#ifndef QXFW_TRANSPORT_MACHINE_LOCK_H_
#define QXFW_TRANSPORT_MACHINE_LOCK_H_

#include <cstdint>
#include <string>

/// What taking the machine's lock found.
struct MachineLockResult {
  enum Outcome {
    kTaken,   // this process holds the lock until it ends
    kBusy,    // another process holds it: nothing may be sent
    kFailed,  // the lock could not be asked for: nothing may be sent
  };
  Outcome outcome = kFailed;
  /// kTaken: the process that held it before ended without releasing it
  /// (killed, or cut off by an interrupt outside a download sequence).
  bool previous_holder_vanished = false;
  /// kBusy: the holder's process id, 0 where the platform doesn't tell.
  std::uint32_t holder = 0;
  /// kFailed: why, in a few words.
  std::string failure;
};

/// Takes the machine's lock without waiting. Once taken, it is released
/// when the process exits through the runtime's exit, and dropped by the
/// operating system however else the process ends.
/// REQUIRES: called once, before the first platform call of the adapters.
MachineLockResult PlatformTakeMachineLock();

#endif  // QXFW_TRANSPORT_MACHINE_LOCK_H_
