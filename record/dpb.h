// The request block (DPB): every service of the system is asked for by
// filling one and handing it to Inject. A transaction block travels to the
// adapter driver byte for byte, so its layout is a wire format: the 112 wire
// bytes are kept little-endian exactly as the driver sees them, and the host
// pointers that some 32-bit words stand for are held beside them at full
// width (one host slot per 4-byte word: the pointer field at offset k lives in
// slot k / 4).
//
// The two never disagree: the wire bytes are written only through the
// record's own setters, and a write of anything but a pointer to a word
// forgets the host pointer (or the completion routine) that the word stood
// for. A word with no host pointer is a number, never an address.
#ifndef QXFW_RECORD_DPB_H_
#define QXFW_RECORD_DPB_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "util/coding.h"

struct DPB;

/// A completion routine, called by Inject after the service for DPB_Flag 2.
using DpbCallback = void (*)(DPB* dpb);

/// Marks a 4-byte word of the record that stands for a host pointer.
struct PointerWord {};

template <typename T>
struct WireSize {
  static constexpr std::uint32_t value = sizeof(T);
};
template <>
struct WireSize<PointerWord> {
  static constexpr std::uint32_t value = 4;
};

/// One field of a wire record: its offset, and its size through its type.
template <typename T>
struct WireField {
  std::uint32_t offset;
  static constexpr std::uint32_t size = WireSize<T>::value;
};

using PointerField = WireField<PointerWord>;

/// A BufferDescriptor field of a record (16 bytes).
struct DescriptorField {
  std::uint32_t offset;
  static constexpr std::uint32_t size = 16;
};

/// Offsets of the request block. Every offset is binding: the transaction
/// layout is what the adapter driver reads.
namespace dpb {
inline constexpr std::uint32_t kRecordSize = 112;
inline constexpr std::uint32_t kHostSlots = kRecordSize / 4;

// Header, the same for every service.
inline constexpr PointerField DPB_Callback{0x04};
inline constexpr WireField<std::uint8_t> DPB_Number{0x08};
inline constexpr WireField<std::uint8_t> DPB_Flag{0x0A};
inline constexpr WireField<std::int8_t> DPB_Status{0x0B};
inline constexpr std::uint32_t kHeaderSize = 0x10;

// The per-service selector of the body.
inline constexpr WireField<std::uint8_t> DPB_SubCode{0x13};

// Body words used by the local services.
inline constexpr WireField<std::uint32_t> Word10{0x10};  // constant-query answer
inline constexpr PointerField Pointer10{0x10};           // block to free
inline constexpr WireField<std::uint32_t> AllocSize{0x14};
inline constexpr PointerField AllocBlock{0x18};
inline constexpr PointerField PrintFormat{0x14};
inline constexpr std::uint32_t kPrintArgs = 4;
inline constexpr std::uint32_t kPrintArgOffset = 0x18;  // then 0x1C, 0x20, 0x24
inline constexpr WireField<std::uint8_t> ReportCode{0x14};

// Transaction layout.
inline constexpr WireField<std::uint32_t> Node{0x20};
inline constexpr WireField<std::uint32_t> TxUnit{0x24};
inline constexpr WireField<std::uint16_t> TxCode{0x28};
inline constexpr WireField<std::uint8_t> TxClass{0x2A};
inline constexpr DescriptorField ParmOut{0x2C};
inline constexpr DescriptorField DataOut{0x3C};
inline constexpr DescriptorField DataIn{0x4C};
inline constexpr DescriptorField ParmIn{0x5C};
inline constexpr WireField<std::int16_t> ResultCode{0x6C};
inline constexpr WireField<std::uint8_t> ResultFlag{0x6E};
inline constexpr std::uint32_t kResultBytes = 0x6C;  // ResultCode, ResultFlag and the byte after
inline constexpr std::uint32_t kResultBytesSize = 4;

// Record lengths of the local services: how far each block must reach.
inline constexpr std::uint32_t kQueryRecord = 20;
inline constexpr std::uint32_t kAllocateRecord = 28;
inline constexpr std::uint32_t kFreeRecord = 20;
inline constexpr std::uint32_t kPrintRecord = 40;
inline constexpr std::uint32_t kReportRecord = 24;
inline constexpr std::uint32_t kTransactionRecord = 112;

static_assert(ResultFlag.offset + 2 == kRecordSize);
static_assert(ParmIn.offset + DescriptorField::size == ResultCode.offset);
static_assert(kPrintArgOffset + 4 * kPrintArgs == kPrintRecord);
}  // namespace dpb

/// Offsets inside a BufferDescriptor.
namespace descriptor {
inline constexpr WireField<std::uint8_t> Kind{3};
inline constexpr PointerField Base{4};
inline constexpr WireField<std::uint32_t> Offset{8};
inline constexpr WireField<std::uint32_t> Length{12};
inline constexpr std::uint8_t kMemoryBuffer = 1;
inline constexpr std::uint8_t kNoBuffer = 11;
}  // namespace descriptor

/// DPB_Flag values.
inline constexpr std::uint8_t kFlagReturn = 0;
inline constexpr std::uint8_t kFlagCallback = 2;
inline constexpr std::uint8_t kFlagRunNow = 5;

/// DPB_Status values set by the system itself.
inline constexpr std::int8_t kStatusOk = 0;
inline constexpr std::int8_t kStatusFailed = -3;
inline constexpr std::int8_t kStatusNoPort = -8;

/// A descriptor as the host sees it: Base is a full-width pointer.
struct BufferView {
  std::uint8_t kind = 0;
  void* base = nullptr;
  std::uint32_t offset = 0;
  std::uint32_t length = 0;
};

/// The request block. A default-constructed block is all zero bytes with null
/// host pointers and no callback.
struct DPB {
  template <typename T>
  T Get(WireField<T> field) const;
  template <typename T>
  void Set(WireField<T> field, std::type_identity_t<T> value);

  /// The host pointer of a pointer word. Its wire word holds the pointer's
  /// low 32 bits, which mean nothing to anyone but show whether it is set.
  void* Pointer(PointerField field) const { return host_[field.offset / 4]; }
  void SetPointer(PointerField field, const void* pointer);

  DpbCallback Callback() const { return callback_; }
  void SetCallback(DpbCallback callback);

  BufferView Descriptor(DescriptorField field) const;
  /// Sets every field of a descriptor; its three reserved bytes are kept.
  void SetDescriptor(DescriptorField field, const BufferView& view);

  /// The wire image of the block.
  const std::uint8_t* bytes() const { return bytes_.data(); }

  /// Writes `count` wire bytes from `from` at `offset`; every word they touch
  /// becomes a number: its host pointer, or the completion routine, is gone.
  /// REQUIRES: offset + count <= dpb::kRecordSize.
  void SetWireBytes(std::uint32_t offset, const std::uint8_t* from, std::uint32_t count);

 private:
  /// Forgets the host pointers of the words that bytes [offset, offset +
  /// count) lie in.
  void ForgetPointers(std::uint32_t offset, std::uint32_t count);

  std::array<std::uint8_t, dpb::kRecordSize> bytes_{};
  std::array<void*, dpb::kHostSlots> host_{};
  DpbCallback callback_ = nullptr;
};

template <typename T>
T DPB::Get(WireField<T> field) const {
  static_assert(sizeof(T) <= 4, "wire fields are at most 32 bits");
  const std::uint8_t* p = bytes_.data() + field.offset;
  if constexpr (sizeof(T) == 1) {
    return static_cast<T>(p[0]);
  } else if constexpr (sizeof(T) == 2) {
    return static_cast<T>(util::DecodeFixed16(p));
  } else {
    return static_cast<T>(util::DecodeFixed32(p));
  }
}

template <typename T>
void DPB::Set(WireField<T> field, std::type_identity_t<T> value) {
  static_assert(sizeof(T) <= 4, "wire fields are at most 32 bits");
  std::uint8_t* p = bytes_.data() + field.offset;
  if constexpr (sizeof(T) == 1) {
    p[0] = static_cast<std::uint8_t>(value);
  } else if constexpr (sizeof(T) == 2) {
    util::EncodeFixed16(p, static_cast<std::uint16_t>(value));
  } else {
    util::EncodeFixed32(p, static_cast<std::uint32_t>(value));
  }
  ForgetPointers(field.offset, sizeof(T));
}

#endif  // QXFW_RECORD_DPB_H_
