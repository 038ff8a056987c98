#include "record/dpb.h"

#include <gtest/gtest.h>

#include <type_traits>
#include <utility>

namespace {

TEST(DpbRecord, FieldsAreLittleEndianAtTheirOffsets) {
  DPB block;
  block.Set(dpb::DPB_Number, 19);
  block.Set(dpb::DPB_Status, -3);
  block.Set(dpb::Node, 0x11223344u);
  block.Set(dpb::TxCode, 0x0225);
  block.Set(dpb::ResultCode, -30);
  const std::uint8_t* b = block.bytes();
  EXPECT_EQ(b[0x08], 19);
  EXPECT_EQ(b[0x0B], 0xFD);
  EXPECT_EQ(b[0x20], 0x44);
  EXPECT_EQ(b[0x23], 0x11);
  EXPECT_EQ(b[0x28], 0x25);
  EXPECT_EQ(b[0x29], 0x02);
  EXPECT_EQ(b[0x6C], 0xE2);
  EXPECT_EQ(b[0x6D], 0xFF);
  EXPECT_EQ(block.Get(dpb::DPB_Status), -3);
  EXPECT_EQ(block.Get(dpb::ResultCode), -30);
}

TEST(DpbRecord, HostPointersKeepFullWidthBesideTheirWireWords) {
  DPB block;
  static char buffer[4];
  BufferView view{descriptor::kMemoryBuffer, buffer, 20, 256};
  block.SetDescriptor(dpb::DataIn, view);
  const BufferView back = block.Descriptor(dpb::DataIn);
  EXPECT_EQ(back.base, buffer);
  EXPECT_EQ(back.kind, 1);
  EXPECT_EQ(back.offset, 20u);
  EXPECT_EQ(back.length, 256u);
  EXPECT_EQ(block.bytes()[0x4C + 3], 1);
  EXPECT_EQ(block.bytes()[0x4C + 12], 0x00);
  EXPECT_EQ(block.bytes()[0x4C + 13], 0x01);
  // A number written over a pointer word replaces the pointer.
  block.Set(WireField<std::uint32_t>{0x50}, 7);
  EXPECT_EQ(block.Descriptor(dpb::DataIn).base, nullptr);
}

TEST(DpbRecord, DescriptorKeepsItsReservedBytes) {
  DPB block;
  const std::uint8_t reserved = 0xAB;
  block.SetWireBytes(0x2C, &reserved, 1);
  block.SetDescriptor(dpb::ParmOut, {descriptor::kNoBuffer, nullptr, 0, 0});
  EXPECT_EQ(block.bytes()[0x2C], 0xAB);
  EXPECT_EQ(block.bytes()[0x2F], 11);
}

void NoCompletion(DPB*) {}

// The wire bytes can't be written behind the record's back, and any write to
// a word that stood for a host pointer leaves a number there, not a stale
// pointer that the pass-through or Inject would still use.
static_assert(std::is_same_v<decltype(std::declval<DPB&>().bytes()), const std::uint8_t*>);

TEST(DpbRecord, EveryWriteToAPointerWordForgetsThePointer) {
  static char buffer[8];
  const std::uint8_t bytes[4] = {1, 2, 3, 4};
  const auto filled = [] {
    DPB block;
    block.SetCallback(NoCompletion);
    block.SetDescriptor(dpb::DataIn, {descriptor::kMemoryBuffer, buffer, 0, 8});
    block.SetPointer(dpb::PrintFormat, buffer);
    return block;
  };
  DPB block = filled();
  block.Set(WireField<std::uint32_t>{dpb::DPB_Callback.offset}, 0);
  EXPECT_EQ(block.Callback(), nullptr) << "a cleared callback word must not still call back";
  block = filled();
  block.Set(WireField<std::uint8_t>{dpb::DPB_Callback.offset + 1}, 0x12);
  EXPECT_EQ(block.Callback(), nullptr);
  block = filled();
  block.Set(WireField<std::uint16_t>{dpb::DataIn.offset + descriptor::Base.offset + 2}, 7);
  EXPECT_EQ(block.Descriptor(dpb::DataIn).base, nullptr);
  EXPECT_EQ(block.Pointer(dpb::PrintFormat), buffer) << "other words keep their pointers";
  block = filled();
  block.SetWireBytes(dpb::PrintFormat.offset - 1, bytes, 2);
  EXPECT_EQ(block.Pointer(dpb::PrintFormat), nullptr);
  EXPECT_EQ(block.Callback(), &NoCompletion);
  EXPECT_EQ(block.Descriptor(dpb::DataIn).base, buffer);
  block.SetWireBytes(0, bytes, 4);  // the word before the callback's
  EXPECT_EQ(block.Callback(), &NoCompletion);
}

}  // namespace
