// Every status with which the system's programs end, in one place.
#ifndef QXFW_UTIL_EXIT_STATUS_H_
#define QXFW_UTIL_EXIT_STATUS_H_

namespace exit_status {

/// qxfwload: the run finished, whatever the number of successful downloads.
/// qxfwimage: the image is valid, or pack wrote it.
inline constexpr int kOk = 0;
/// qxfwload: a usage error, or an error line on standard error.
/// qxfwimage: the image is invalid, or pack could not finish.
inline constexpr int kError = 1;
/// qxfwimage: a usage error.
inline constexpr int kImageToolUsage = 2;
/// The Linux test bed only: the simulated machine file or trace can't be used.
inline constexpr int kSimulatedMachine = 2;
/// Inject refused a DPB_Flag: the process ends at once, adapter handles left
/// to the operating system.
inline constexpr int kRefusedFlag = 10;
/// Inject refused a DPB_Number, likewise.
inline constexpr int kRefusedNumber = 11;
/// A fatal print (DpbPrintFatal, Assert): the adapter handles closed first.
inline constexpr int kFatal = 30;
/// scripts/wine-run and qxsimctl: the runner itself failed.
inline constexpr int kRunnerFailed = 125;

}  // namespace exit_status

#endif  // QXFW_UTIL_EXIT_STATUS_H_
