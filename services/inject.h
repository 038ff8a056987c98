// Inject, the single service entry, and the process-wide pointer through
// which the issuing routines reach it.
#ifndef QXFW_SERVICES_INJECT_H_
#define QXFW_SERVICES_INJECT_H_

#include <cstdint>

#include "record/dpb.h"

/// A dispatcher with the signature of Inject.
using InjectFn = std::int32_t (*)(DPB* dpb);

/// Null until start-up registers Inject; set once.
extern InjectFn InjectEntry;

void SetInjectEntry(InjectFn entry);

/// Service numbers that Inject runs itself.
inline constexpr std::uint8_t kServiceQuery = 6;
inline constexpr std::uint8_t kServiceAllocate = 13;
inline constexpr std::uint8_t kServiceFree = 14;
inline constexpr std::uint8_t kServicePrint = 31;
inline constexpr std::uint8_t kServiceReport = 32;
/// The service number of an adapter transaction.
inline constexpr std::uint8_t kServiceTransaction = 19;

/// Print channels (DPB_SubCode of service 31).
inline constexpr std::uint8_t kPrintStdout = 1;
inline constexpr std::uint8_t kPrintFatal = 2;

/// Allocations above this size are reported with code 21 (and still made).
inline constexpr std::uint32_t kLargeAllocation = 0x200000;

/// True for the numbers that are handed to the pass-through: 10, 11, 19-25.
bool IsTransactionNumber(std::uint8_t number);

/// Runs the service that `dpb` names and answers 0; the outcome is in
/// DPB_Status. A DPB_Flag other than 0, 2 or 5 ends the process with status
/// 10, an unknown DPB_Number with status 11 (both with a line on standard
/// error, adapter handles left to the operating system). With DPB_Flag 2 the
/// block reads 5 while its service runs, then 2 again, and then its
/// DPB_Callback is called (when there is one).
/// REQUIRES: the block is as long as its service's record (any DPB is).
std::int32_t Inject(DPB* dpb);

#endif  // QXFW_SERVICES_INJECT_H_
