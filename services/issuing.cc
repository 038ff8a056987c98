#include "services/issuing.h"

#include <cstdlib>

#include "services/inject.h"
#include "util/exit_status.h"

namespace {

constexpr std::uint8_t kCodeAllocateStatus = 28;
constexpr std::uint8_t kCodeFreeStatus = 29;

void IssueReport(std::uint8_t sub_code, std::uint32_t code) {
  DPB block;
  block.Set(dpb::DPB_Number, kServiceReport);
  block.Set(dpb::DPB_Flag, kFlagReturn);
  block.Set(dpb::DPB_SubCode, sub_code);
  block.Set(dpb::ReportCode, static_cast<std::uint8_t>(code));
  InjectEntry(&block);
}

}  // namespace

std::int32_t DpbPrintOn(std::uint8_t channel, const char* format,
                        std::initializer_list<PrintArg> args) {
  DPB block;
  block.Set(dpb::DPB_Number, kServicePrint);
  block.Set(dpb::DPB_Flag, kFlagReturn);
  block.Set(dpb::DPB_SubCode, channel);
  block.SetPointer(dpb::PrintFormat, format);
  std::uint32_t offset = dpb::kPrintArgOffset;
  for (const PrintArg& arg : args) {
    if (offset >= dpb::kPrintRecord) break;
    if (arg.text() != nullptr) {
      block.SetPointer(PointerField{offset}, arg.text());
    } else {
      block.Set(WireField<std::uint32_t>{offset}, arg.word());
    }
    offset += 4;
  }
  return InjectEntry(&block);
}

void EndAfterFatalPrint() { std::exit(exit_status::kFatal); }

void DpbReportCode(std::uint32_t code) { IssueReport(1, code); }

void DpbFatalCode(std::uint32_t code) { IssueReport(2, code); }

void* DpbAllocate(std::uint32_t size, std::uint8_t selector) {
  DPB block;
  block.Set(dpb::DPB_Number, kServiceAllocate);
  block.Set(dpb::DPB_Flag, kFlagRunNow);
  block.Set(dpb::DPB_SubCode, selector);
  block.Set(dpb::AllocSize, size);
  InjectEntry(&block);
  const std::int8_t status = block.Get(dpb::DPB_Status);
  if (status != kStatusOk && status != kStatusFailed) DpbFatalCode(kCodeAllocateStatus);
  return block.Pointer(dpb::AllocBlock);
}

void DpbFree(void* block_to_free) {
  DPB block;
  block.Set(dpb::DPB_Number, kServiceFree);
  block.Set(dpb::DPB_Flag, kFlagReturn);
  block.SetPointer(dpb::Pointer10, block_to_free);
  InjectEntry(&block);
  if (block.Get(dpb::DPB_Status) != kStatusOk) DpbFatalCode(kCodeFreeStatus);
}

void Assert(const char* file, std::int32_t line, const char* text) {
  DpbPrintFatal("Assert %s(%d): %s\n", file, line, text);
}
