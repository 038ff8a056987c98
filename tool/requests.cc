#include "tool/requests.h"

#include <algorithm>

#include "image/image_format.h"
#include "services/inject.h"
#include "transport/passthrough.h"
#include "util/coding.h"

namespace {

constexpr std::uint8_t kClass3 = 3;
constexpr std::uint8_t kClass2 = 2;
constexpr std::uint32_t kClass3Unit = 1;

// Class-3 operation codes.
constexpr std::uint8_t kOpIdentify = 1;
constexpr std::uint8_t kOpReadMemory = 4;
constexpr std::uint8_t kOpDownload = 7;
constexpr std::uint8_t kOpQueryMode = 11;

// Class-2 units and codes.
constexpr std::uint16_t kCodeReadMemory = 3;
constexpr std::uint32_t kProbeReadUnit = 17;
constexpr std::uint32_t kNoticeUnit = 31;
constexpr std::uint16_t kCodePreDownloadNotice = 0x225;
constexpr std::uint16_t kCodePostDownloadNotice = 0x224;

// Where an adapter keeps its VPD record, by the mode it reports.
constexpr std::uint8_t kMode0 = 0;
constexpr std::uint8_t kMode1 = 1;
constexpr std::uint32_t kVpdAddressMode0 = 0x70010;
constexpr std::uint32_t kVpdAddressMode1 = 0x783FFF00;

constexpr std::uint32_t kModeAnswerSize = 4;

// MemoryReadParms.
constexpr std::uint32_t kMemoryReadParmsSize = 8;
constexpr std::uint32_t kReadAddressAt = 0;
constexpr std::uint32_t kReadLengthAt = 4;

// DownloadParms.
constexpr std::uint32_t kDownloadParmsSize = 16;
constexpr std::uint32_t kImageLengthAt = 0;
constexpr std::uint32_t kImageLrcAt = 4;
constexpr std::uint32_t kCodeIdAt = 8;

// Validation refuses an image too large for one download; the limit it uses
// is what the download's packet leaves for the image in 32 bits.
static_assert(std::uint64_t{kLargestSendableImage} + kDownloadParmsSize + packet::kFixedSize ==
                  0xFFFFFFFFu,
              "the largest image fills the largest packet exactly");

BufferView NoBuffer() { return {descriptor::kNoBuffer, nullptr, 0, 0}; }

// The adapter firmware tells an absent parameter buffer from an empty one,
// and these requests must send the empty one.
BufferView EmptyBuffer() { return {descriptor::kMemoryBuffer, nullptr, 0, 0}; }

BufferView MemoryBuffer(void* base, std::uint32_t length) {
  return {descriptor::kMemoryBuffer, base, 0, length};
}

// Send-only areas: the pass-through reads them and never writes them back,
// so the descriptor's mutable Base is safe for bytes the caller can't change.
BufferView SentBuffer(const void* base, std::uint32_t length) {
  return MemoryBuffer(const_cast<void*>(base), length);
}

struct Areas {
  BufferView parm_out, data_out, data_in, parm_in;
};

void SetAreas(DPB* dpb, const Areas& areas) {
  dpb->SetDescriptor(dpb::ParmOut, areas.parm_out);
  dpb->SetDescriptor(dpb::DataOut, areas.data_out);
  dpb->SetDescriptor(dpb::DataIn, areas.data_in);
  dpb->SetDescriptor(dpb::ParmIn, areas.parm_in);
}

std::int16_t RunTransaction(std::uint32_t node, std::uint32_t unit, std::uint16_t code,
                            std::uint8_t tx_class, DPB* dpb) {
  dpb->Set(dpb::DPB_Number, kServiceTransaction);
  dpb->Set(dpb::DPB_Flag, kFlagRunNow);
  dpb->SetCallback(nullptr);
  dpb->Set(dpb::Node, node);
  dpb->Set(dpb::TxUnit, unit);
  dpb->Set(dpb::TxCode, code);
  dpb->Set(dpb::TxClass, tx_class);
  Inject(dpb);
  // An undelivered request carries no answer, and a flagged answer's code
  // means nothing either: both must read as the one failure value.
  if (dpb->Get(dpb::DPB_Status) != kStatusOk || dpb->Get(dpb::ResultFlag) != 0) {
    dpb->Set(dpb::ResultCode, kRequestFailed);
  }
  return dpb->Get(dpb::ResultCode);
}

std::int16_t RunClass3(std::uint32_t node, std::uint8_t operation, const Areas& areas) {
  DPB dpb;
  SetAreas(&dpb, areas);
  return RunClass3Request(node, operation, &dpb);
}

std::int16_t RunClass2(std::uint32_t node, std::uint32_t unit, std::uint16_t code,
                       const Areas& areas) {
  DPB dpb;
  SetAreas(&dpb, areas);
  return RunClass2Request(node, unit, code, &dpb);
}

void EncodeMemoryReadParms(std::uint8_t parms[kMemoryReadParmsSize], std::uint32_t address,
                           std::uint32_t length) {
  util::EncodeFixed32(parms + kReadAddressAt, address);
  util::EncodeFixed32(parms + kReadLengthAt, length);
}

}  // namespace

std::int16_t RunClass3Request(std::uint32_t node, std::uint8_t operation, DPB* dpb) {
  return RunTransaction(node, kClass3Unit, operation, kClass3, dpb);
}

std::int16_t RunClass2Request(std::uint32_t node, std::uint32_t unit, std::uint16_t code,
                              DPB* dpb) {
  return RunTransaction(node, unit, code, kClass2, dpb);
}

std::int16_t QueryAdapterMode(std::uint32_t node, std::uint8_t* mode) {
  std::uint8_t answer[kModeAnswerSize] = {};
  const std::int16_t result =
      RunClass3(node, kOpQueryMode,
                {EmptyBuffer(), NoBuffer(), NoBuffer(), MemoryBuffer(answer, sizeof answer)});
  if (result == 0) *mode = answer[0];
  return result;
}

std::int16_t ReadAdapterMemory(std::uint32_t node, std::uint32_t address, std::uint32_t length,
                               void* buffer) {
  std::uint8_t parms[kMemoryReadParmsSize];
  EncodeMemoryReadParms(parms, address, length);
  return RunClass3(
      node, kOpReadMemory,
      {MemoryBuffer(parms, sizeof parms), NoBuffer(), MemoryBuffer(buffer, length), NoBuffer()});
}

std::int16_t ReadAdapterMemoryClass2(std::uint32_t node, std::uint32_t unit, std::uint32_t address,
                                     std::uint32_t length, void* buffer) {
  std::uint8_t parms[kMemoryReadParmsSize];
  EncodeMemoryReadParms(parms, address, length);
  return RunClass2(
      node, unit, kCodeReadMemory,
      {MemoryBuffer(parms, sizeof parms), NoBuffer(), NoBuffer(), MemoryBuffer(buffer, length)});
}

std::int16_t IdentifyAdapter(std::uint32_t node, std::uint8_t answer[kIdentifyAnswerSize]) {
  return RunClass3(
      node, kOpIdentify,
      {EmptyBuffer(), NoBuffer(), NoBuffer(), MemoryBuffer(answer, kIdentifyAnswerSize)});
}

std::int16_t DownloadFirmware(std::uint32_t node, const void* data, std::uint32_t length,
                              std::uint32_t lrc, const char* code_id) {
  std::uint8_t parms[kDownloadParmsSize];
  util::EncodeFixed32(parms + kImageLengthAt, length);
  util::EncodeFixed32(parms + kImageLrcAt, lrc);
  CopyBytes(parms + kCodeIdAt, code_id, kCodeIdSize);
  return RunClass3(
      node, kOpDownload,
      {SentBuffer(parms, sizeof parms), SentBuffer(data, length), NoBuffer(), NoBuffer()});
}

std::int16_t SendPreDownloadNotice(std::uint32_t node) {
  return RunClass2(node, kNoticeUnit, kCodePreDownloadNotice,
                   {EmptyBuffer(), NoBuffer(), NoBuffer(), NoBuffer()});
}

std::int16_t SendPostDownloadNotice(std::uint32_t node) {
  return RunClass2(node, kNoticeUnit, kCodePostDownloadNotice,
                   {EmptyBuffer(), NoBuffer(), NoBuffer(), NoBuffer()});
}

bool ProbeAdapter(std::uint32_t node, std::uint8_t vpd[kVpdSize]) {
  ProbeReport report;
  return ProbeAdapter(node, vpd, &report);
}

bool ProbeAdapter(std::uint32_t node, std::uint8_t vpd[kVpdSize], ProbeReport* report) {
  // Only a mode the tool doesn't know rules a node out: one that leaves the
  // mode query unanswered is still read where a mode-0 adapter keeps it.
  *report = ProbeReport{};
  report->mode_answered = QueryAdapterMode(node, &report->mode) == 0;
  std::uint32_t address = 0;
  if (report->mode == kMode0) {
    address = kVpdAddressMode0;
  } else if (report->mode == kMode1) {
    address = kVpdAddressMode1;
  } else {
    return false;
  }
  // The record's buffer travels to the adapter with each read: it goes out
  // empty, not with what the caller left in it, nor with what a failed read
  // wrote into it before the fallback read.
  std::fill_n(vpd, kVpdSize, std::uint8_t{0});
  if (ReadAdapterMemory(node, address, kVpdSize, vpd) == 0) {
    report->vpd_read = VpdRead::kClass3;
    return true;
  }
  std::fill_n(vpd, kVpdSize, std::uint8_t{0});
  if (ReadAdapterMemoryClass2(node, kProbeReadUnit, address, kVpdSize, vpd) == 0) {
    report->vpd_read = VpdRead::kClass2;
  }
  return report->vpd_read != VpdRead::kNone;
}

std::uint32_t CopyBytes(void* dst, const void* src, std::uint32_t count) {
  auto* to = static_cast<std::uint8_t*>(dst);
  const auto* from = static_cast<const std::uint8_t*>(src);
  for (std::uint32_t i = 0; i < count; ++i) to[i] = from[i];
  return count;
}
