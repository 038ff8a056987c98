#include "transport/passthrough.h"

#include <cstring>
#include <utility>

#include "record/platform_memory.h"
#include "transport/adapters.h"
#include "transport/observed_machine.h"
#include "transport/platform.h"
#include "util/coding.h"

namespace {

/// A caller's area: where its bytes are and how many.
struct Area {
  std::uint8_t* bytes = nullptr;
  std::uint32_t length = 0;
};

Area CallerArea(const DPB& dpb, DescriptorField field) {
  const BufferView view = dpb.Descriptor(field);
  if (view.length == 0) return {};
  if (view.base == nullptr) return {nullptr, view.length};
  return {static_cast<std::uint8_t*>(view.base) + view.offset, view.length};
}

/// The four areas in the order of the data area, with each one's place in it.
struct Layout {
  Area parm_out, data_in, data_out, parm_in;
  std::uint32_t parm_out_at = 0, data_in_at = 0, data_out_at = 0, parm_in_at = 0;
  std::uint64_t data_size = 0;

  /// An area with bytes but no address: its Base word holds a number, not
  /// a pointer of this host, and nothing can be read from it or written to it.
  bool HasUnaddressedArea() const {
    for (const Area* area : {&parm_out, &data_in, &data_out, &parm_in}) {
      if (area->length != 0 && area->bytes == nullptr) return true;
    }
    return false;
  }
};

Layout LayOut(const DPB& dpb) {
  Layout l;
  l.parm_out = CallerArea(dpb, dpb::ParmOut);
  l.data_in = CallerArea(dpb, dpb::DataIn);
  l.data_out = CallerArea(dpb, dpb::DataOut);
  l.parm_in = CallerArea(dpb, dpb::ParmIn);
  // Summed in 64 bits: a sum that wraps 32 bits must be refused, not sent short.
  l.data_size =
      std::uint64_t{l.parm_out.length} + l.data_in.length + l.data_out.length + l.parm_in.length;
  l.data_in_at = l.parm_out.length;
  l.data_out_at = l.data_in_at + l.data_in.length;
  l.parm_in_at = l.data_out_at + l.data_out.length;
  return l;
}

void CopyIn(std::uint8_t* data_area, std::uint32_t at, const Area& area) {
  if (area.length != 0) std::memcpy(data_area + at, area.bytes, area.length);
}

void CopyOut(const Area& area, const std::uint8_t* data_area, std::uint32_t at) {
  if (area.length != 0) std::memcpy(area.bytes, data_area + at, area.length);
}

/// Points a descriptor of the DPB copy at its place in the data area.
void RewriteDescriptor(std::uint8_t* packet, DescriptorField field, std::uint32_t at,
                       std::uint32_t length) {
  std::uint8_t* d = packet + packet::kDpbAt + field.offset;
  d[descriptor::Kind.offset] = descriptor::kMemoryBuffer;
  util::EncodeFixed32(d + descriptor::Base.offset, at);
  util::EncodeFixed32(d + descriptor::Offset.offset, 0);
  util::EncodeFixed32(d + descriptor::Length.offset, length);
}

void BuildPacket(std::uint8_t* packet, const DPB& dpb, const Layout& l, std::uint32_t size) {
  // The bytes the system leaves unset go out as zeros rather than as
  // whatever the heap held.
  std::memset(packet, 0, srb::kHeaderSize);
  std::memset(packet + size - packet::kTailSize, 0, packet::kTailSize);
  std::memcpy(packet + packet::kDpbAt, dpb.bytes(), dpb::kRecordSize);
  std::uint8_t* data_area = packet + packet::kDataAreaAt;
  CopyIn(data_area, 0, l.parm_out);
  CopyIn(data_area, l.data_in_at, l.data_in);
  CopyIn(data_area, l.data_out_at, l.data_out);
  CopyIn(data_area, l.parm_in_at, l.parm_in);
  RewriteDescriptor(packet, dpb::ParmOut, 0, l.parm_out.length);
  RewriteDescriptor(packet, dpb::DataOut, l.data_out_at, l.data_out.length);
  RewriteDescriptor(packet, dpb::DataIn, l.data_in_at, l.data_in.length);
  RewriteDescriptor(packet, dpb::ParmIn, l.parm_in_at, l.parm_in.length);
  srb::EncodeHeader(packet, srb::kControlTransaction, size - srb::kHeaderSize);
}

void CopyBack(DPB* dpb, const std::uint8_t* packet, const Layout& l) {
  dpb->Set(dpb::DPB_Status, static_cast<std::int8_t>(packet[packet::kStatusAt]));
  dpb->SetWireBytes(dpb::kResultBytes, packet + packet::kResultBytesAt, dpb::kResultBytesSize);
  const std::uint8_t* data_area = packet + packet::kDataAreaAt;
  CopyOut(l.data_in, data_area, l.data_in_at);
  CopyOut(l.parm_in, data_area, l.parm_in_at);
}

}  // namespace

std::int32_t PassThroughRequest(DPB* dpb) {
  const Layout layout = LayOut(*dpb);
  const AdapterHandle handle = FindAdapterHandle(dpb->Get(dpb::Node));
  if (handle == kInvalidAdapterHandle) {
    dpb->Set(dpb::DPB_Status, kStatusNoPort);
    return 0;
  }
  const std::uint64_t size64 = packet::kFixedSize + layout.data_size;
  if (size64 > UINT32_MAX || layout.HasUnaddressedArea()) {
    dpb->Set(dpb::DPB_Status, kStatusFailed);
    return 0;
  }
  const auto size = static_cast<std::uint32_t>(size64);
  auto* packet = static_cast<std::uint8_t*>(PlatformAllocate(size));
  if (packet == nullptr) {
    dpb->Set(dpb::DPB_Status, kStatusFailed);
    return 0;
  }
  BuildPacket(packet, *dpb, layout, size);
  ObservedRequest observed;
  if (ObservingRequests()) {
    observed.port = RouteForNode(dpb->Get(dpb::Node)).slot;
    observed.sent.assign(packet, packet + size);
  }
  DWORD returned = 0;
  const BOOL sent =
      DeviceIoControl(handle, IOCTL_SCSI_MINIPORT, packet, size, packet, size, &returned, nullptr);
  if (ObservingRequests()) {
    observed.answered = sent != 0;
    observed.answer.assign(packet, packet + size);
    KeepObservedRequest(std::move(observed));
  }
  if (sent) {
    CopyBack(dpb, packet, layout);
  } else {
    dpb->Set(dpb::DPB_Status, kStatusFailed);
  }
  PlatformFree(packet);
  return 0;
}
