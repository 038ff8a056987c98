// The service-call library: one plain routine per service number. Each routine
// fills a request block of its own (a zeroed full-size DPB, so a dispatcher
// that reads the whole transaction layout finds empty areas beyond the
// service's record), hands it to the registered dispatcher through
// InjectEntry, raises code 30 through DpbFatalCode when the block comes back
// with a nonzero DPB_Status (unless noted otherwise), and answers the
// service's answer. The library fixes numbers, layouts, flags, status checks
// and returned fields only; which numbers a dispatcher runs is its own
// business (Inject refuses 4, 5, 9, 12, 15, 16, 26-29 and 33, ending the
// process with status 11).
//
// Word arguments are 32-bit fields, byte arguments single-byte fields.
// Every routine REQUIRES that a dispatcher is registered (InjectEntry set).
#ifndef QXFW_SERVICES_CALLS_H_
#define QXFW_SERVICES_CALLS_H_

#include <cstdint>

#include "record/dpb.h"

/// The code raised when a service reports a nonzero status.
inline constexpr std::uint8_t kCodeServiceStatus = 30;

/// Service 4: s at 0x13, a at 0x14, b at 0x18.
void DpbCall04(std::uint8_t s, std::uint32_t a, std::uint32_t b);
/// Service 5: s at 0x13.
void DpbCall05(std::uint8_t s);
/// Service 6: answers the word at 0x10 (Inject answers 1).
std::uint32_t DpbQuery06();
/// Service 9: answers the word at 0x10.
std::uint32_t DpbQuery09();
/// Service 10 with flag 5: s at 0x13. Answers DPB_Status itself, unchecked.
std::int8_t DpbCall10(std::uint8_t s);
/// Service 11: a at 0x10, s at 0x17.
void DpbCall11(std::uint32_t a, std::uint8_t s);
/// Service 12: s at 0x13.
void DpbCall12(std::uint8_t s);
/// Service 15: a at 0x10. Answers the dispatcher's result; the status is not
/// tested.
std::int32_t DpbCall15(std::uint32_t a);
/// Service 16: a at 0x10.
void DpbCall16(std::uint32_t a);

/// Service 19 with flag 2 on the caller's own record: only DPB_Number and
/// DPB_Flag are written. Answers the dispatcher's result; the status is not
/// tested. The dispatcher calls the record's DPB_Callback once the service is
/// done.
/// REQUIRES: `dpb` is a filled transaction record with a completion routine,
/// and its buffers stay valid until the routine has run.
std::int32_t DpbSubmit19(DPB* dpb);
/// As DpbSubmit19, and Node is set to 0.
std::int32_t DpbSubmit19Node0(DPB* dpb);
/// As DpbSubmit19, with service number 20.
std::int32_t DpbSubmit20(DPB* dpb);

/// The DPB 20 family, flag 5 (sub-codes 1-5): a at 0x14, and a memory-buffer
/// descriptor at 0x1C naming `p` (Offset 0, Length n). Each answers the word
/// at 0x2C.
/// REQUIRES: `p` addresses n bytes the service may use until the call returns.
std::uint32_t DpbCall20Sub1(std::uint32_t a, void* p, std::uint32_t n, std::uint32_t b);
std::uint32_t DpbCall20Sub2(std::uint32_t a, void* p, std::uint32_t n, std::uint32_t b);
std::uint32_t DpbCall20Sub3(std::uint32_t a, void* p, std::uint32_t n, std::uint32_t b);
/// As DpbCall20Sub1 with 0 at 0x18.
std::uint32_t DpbCall20Sub4(std::uint32_t a, void* p, std::uint32_t n);
/// A memory-buffer descriptor with null Base and Length 0; 0 at 0x18.
std::uint32_t DpbCall20Sub5(std::uint32_t a);
/// As DpbCall20Sub4 with sub-code 5.
std::uint32_t DpbCall20Sub5Buffer(std::uint32_t a, void* p, std::uint32_t n);
/// Sub-code 6, flag 0: a at 0x14, 0 at 0x18, no descriptor. Answers the
/// dispatcher's result; the status is not tested.
std::int32_t DpbCall20Sub6(std::uint32_t a);

/// Service 21: answers the word at 0x10.
std::uint32_t DpbQuery21();
/// Service 22: a at 0x10.
void DpbCall22(std::uint32_t a);
/// Service 23, the shape of a print record: s at 0x13, a at 0x14, then b, c,
/// d, e at 0x18, 0x1C, 0x20, 0x24.
void DpbCall23(std::uint32_t a, std::uint8_t s, std::uint32_t b, std::uint32_t c, std::uint32_t d,
               std::uint32_t e);
/// Polls service 24 until it answers a nonzero word at 0x10 and answers that
/// word; between two polls it issues one service 10 (flag 5, sub-code 0xFF).
/// There is no bound of its own: it waits as long as the service says 0.
std::uint32_t DpbWait24();
/// Service 25: a at 0x10.
void DpbCall25(std::uint32_t a);
/// Service 26: a, b, c, d at 0x10, 0x14, 0x18, 0x1C.
void DpbCall26(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d);
/// Service 27: a at 0x10.
void DpbCall27(std::uint32_t a);
/// Service 28: s at 0x13, a at 0x14.
void DpbCall28(std::uint8_t s, std::uint32_t a);
/// Service 29: s at 0x13.
void DpbCall29(std::uint8_t s);
/// Service 33: answers the word at 0x10.
std::uint32_t DpbQuery33();

#endif  // QXFW_SERVICES_CALLS_H_
