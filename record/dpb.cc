#include "record/dpb.h"

#include <cstring>

namespace {

std::uint32_t LowWord(std::uintptr_t value) { return static_cast<std::uint32_t>(value); }

}  // namespace

void DPB::SetPointer(PointerField field, const void* pointer) {
  util::EncodeFixed32(bytes_.data() + field.offset,
                      LowWord(reinterpret_cast<std::uintptr_t>(pointer)));
  host_[field.offset / 4] = const_cast<void*>(pointer);
}

void DPB::SetCallback(DpbCallback callback) {
  util::EncodeFixed32(bytes_.data() + dpb::DPB_Callback.offset,
                      LowWord(reinterpret_cast<std::uintptr_t>(callback)));
  callback_ = callback;
}

void DPB::SetWireBytes(std::uint32_t offset, const std::uint8_t* from, std::uint32_t count) {
  if (count == 0) return;  // `from` may then be null, which memcpy must not see
  std::memcpy(bytes_.data() + offset, from, count);
  ForgetPointers(offset, count);
}

void DPB::ForgetPointers(std::uint32_t offset, std::uint32_t count) {
  if (count == 0) return;
  for (std::uint32_t slot = offset / 4; slot <= (offset + count - 1) / 4; ++slot) {
    host_[slot] = nullptr;
    if (slot == dpb::DPB_Callback.offset / 4) callback_ = nullptr;
  }
}

BufferView DPB::Descriptor(DescriptorField field) const {
  const std::uint32_t at = field.offset;
  BufferView view;
  view.kind = Get(WireField<std::uint8_t>{at + descriptor::Kind.offset});
  view.base = Pointer(PointerField{at + descriptor::Base.offset});
  view.offset = Get(WireField<std::uint32_t>{at + descriptor::Offset.offset});
  view.length = Get(WireField<std::uint32_t>{at + descriptor::Length.offset});
  return view;
}

void DPB::SetDescriptor(DescriptorField field, const BufferView& view) {
  const std::uint32_t at = field.offset;
  Set(WireField<std::uint8_t>{at + descriptor::Kind.offset}, view.kind);
  SetPointer(PointerField{at + descriptor::Base.offset}, view.base);
  Set(WireField<std::uint32_t>{at + descriptor::Offset.offset}, view.offset);
  Set(WireField<std::uint32_t>{at + descriptor::Length.offset}, view.length);
}
