#include "services/inject.h"

#include <cstdio>
#include <cstdlib>

#include "record/platform_memory.h"
#include "services/issuing.h"
#include "services/print_format.h"
#include "transport/adapters.h"
#include "transport/passthrough.h"
#include "util/exit_status.h"

InjectFn InjectEntry = nullptr;

void SetInjectEntry(InjectFn entry) { InjectEntry = entry; }

bool IsTransactionNumber(std::uint8_t number) {
  return number == 10 || number == 11 || (number >= 19 && number <= 25);
}

namespace {

constexpr std::uint8_t kCodeLargeAllocation = 21;

void ServeQuery(DPB* dpb) { dpb->Set(dpb::Word10, 1); }

void ServeAllocate(DPB* dpb) {
  const std::uint32_t size = dpb->Get(dpb::AllocSize);
  if (size > kLargeAllocation) DpbReportCode(kCodeLargeAllocation);
  void* block = PlatformAllocate(size);
  dpb->SetPointer(dpb::AllocBlock, block);
  dpb->Set(dpb::DPB_Status, block != nullptr ? kStatusOk : kStatusFailed);
}

void ServeFree(DPB* dpb) { PlatformFree(dpb->Pointer(dpb::Pointer10)); }

void PrintTo(std::FILE* stream, const DPB& dpb) {
  const auto* format = static_cast<const char*>(dpb.Pointer(dpb::PrintFormat));
  if (format == nullptr) return;
  const std::string text = FormatWords(format, PrintWordsOf(dpb));
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

void ServePrint(DPB* dpb) {
  switch (dpb->Get(dpb::DPB_SubCode)) {
    case kPrintStdout:
      PrintTo(stdout, *dpb);
      break;
    case kPrintFatal:
      PrintTo(stderr, *dpb);
      CloseAdapters();
      std::exit(exit_status::kFatal);
    default:
      break;
  }
}

std::int32_t Dispatch(DPB* dpb) {
  const std::uint8_t number = dpb->Get(dpb::DPB_Number);
  if (IsTransactionNumber(number)) return PassThroughRequest(dpb);
  switch (number) {
    case kServiceQuery:
      ServeQuery(dpb);
      return 0;
    case kServiceAllocate:
      ServeAllocate(dpb);
      return 0;
    case kServiceFree:
      ServeFree(dpb);
      return 0;
    case kServicePrint:
      ServePrint(dpb);
      return 0;
    case kServiceReport:
      return 0;
    default:
      std::fprintf(stderr, "Inject: DPB_Number=%d\n", number);
      std::exit(exit_status::kRefusedNumber);
  }
}

}  // namespace

std::int32_t Inject(DPB* dpb) {
  const std::uint8_t flag = dpb->Get(dpb::DPB_Flag);
  if (flag != kFlagReturn && flag != kFlagCallback && flag != kFlagRunNow) {
    std::fprintf(stderr, "Inject: DPB_Flag=%d\n", flag);
    std::exit(exit_status::kRefusedFlag);
  }
  if (flag == kFlagCallback) dpb->Set(dpb::DPB_Flag, kFlagRunNow);
  dpb->Set(dpb::DPB_Status, kStatusOk);
  const std::int32_t result = Dispatch(dpb);
  dpb->Set(dpb::DPB_Flag, flag);
  // A flag-2 block without a routine has nothing to call; calling through
  // null would crash the process.
  if (flag == kFlagCallback && dpb->Callback() != nullptr) dpb->Callback()(dpb);
  return result;
}
