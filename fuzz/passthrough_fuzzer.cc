// PassThroughRequest against a driver that answers with arbitrary bytes: the
// packet sent must be exactly the caller's DPB and areas, and what comes back
// must land only in DPB_Status, the four result bytes and the DataIn and
// ParmIn areas, never past the caller's lengths and never in ParmOut or
// DataOut. Each caller area sits inside its own heap block between guard
// bytes, so that a stray write is seen by the comparison below or by ASan.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/scripted_platform.h"
#include "record/dpb.h"
#include "transport/adapters.h"
#include "transport/passthrough.h"
#include "util/coding.h"

namespace {

constexpr std::uint32_t kGuard = 16;
constexpr std::uint32_t kMaxLength = 600;
constexpr std::uint32_t kMaxOffset = 24;
constexpr std::uint8_t kGuardByte = 0xA5;

/// The descriptors in the order of the data area.
constexpr std::array<DescriptorField, 4> kAreaOrder = {dpb::ParmOut, dpb::DataIn, dpb::DataOut,
                                                       dpb::ParmIn};

/// One caller buffer: guard bytes, `offset` bytes before the area, the area,
/// guard bytes.
struct CallerBuffer {
  std::vector<std::uint8_t> block;
  std::uint32_t offset = 0;
  std::uint32_t length = 0;

  std::uint8_t* base() { return block.data() + kGuard; }
  std::uint8_t* area() { return base() + offset; }
};

CallerBuffer MakeBuffer(FuzzedDataProvider& in) {
  CallerBuffer b;
  b.length = in.ConsumeIntegralInRange<std::uint32_t>(0, kMaxLength);
  b.offset = in.ConsumeIntegralInRange<std::uint32_t>(0, kMaxOffset);
  b.block.assign(kGuard + b.offset + b.length + kGuard, kGuardByte);
  const std::vector<std::uint8_t> content = in.ConsumeBytes<std::uint8_t>(b.length);
  std::copy(content.begin(), content.end(), b.area());
  return b;
}

/// Where an area lies in the packet's data area.
struct Placement {
  std::uint32_t parm_out, data_in, data_out, parm_in, size;
};

Placement Place(const std::array<CallerBuffer, 4>& b) {
  Placement p;
  p.parm_out = 0;
  p.data_in = b[0].length;
  p.data_out = p.data_in + b[1].length;
  p.parm_in = p.data_out + b[2].length;
  p.size = p.parm_in + b[3].length;
  return p;
}

bool IsDescriptorByte(std::uint32_t at) {
  for (DescriptorField field : kAreaOrder) {
    // Bytes 0 to 2 of a descriptor are reserved and travel as they are.
    if (at >= field.offset + descriptor::Kind.offset && at < field.offset + field.size) return true;
  }
  return false;
}

bool IsAnswerByte(std::uint32_t at) {
  return at == dpb::DPB_Status.offset ||
         (at >= dpb::kResultBytes && at < dpb::kResultBytes + dpb::kResultBytesSize);
}

void CheckDescriptorSent(const std::uint8_t* copy, DescriptorField field, std::uint32_t base,
                         std::uint32_t length) {
  const std::uint8_t* d = copy + field.offset;
  FUZZ_CHECK(d[descriptor::Kind.offset] == descriptor::kMemoryBuffer);
  FUZZ_CHECK(util::DecodeFixed32(d + descriptor::Base.offset) == base);
  FUZZ_CHECK(util::DecodeFixed32(d + descriptor::Offset.offset) == 0);
  FUZZ_CHECK(util::DecodeFixed32(d + descriptor::Length.offset) == length);
}

void CheckPacketSent(const std::vector<std::uint8_t>& sent, const DPB& before,
                     const std::array<std::vector<std::uint8_t>, 4>& areas, const Placement& p) {
  FUZZ_CHECK(sent.size() == packet::kFixedSize + p.size);
  FUZZ_CHECK(util::DecodeFixed32(sent.data()) == srb::kHeaderSize);
  FUZZ_CHECK(std::memcmp(sent.data() + srb::kSignatureAt, srb::kSignature, srb::kSignatureSize) ==
             0);
  FUZZ_CHECK(util::DecodeFixed32(sent.data() + srb::kTimeoutAt) == srb::kTimeoutSeconds);
  FUZZ_CHECK(util::DecodeFixed32(sent.data() + srb::kControlCodeAt) == srb::kControlTransaction);
  FUZZ_CHECK(util::DecodeFixed32(sent.data() + srb::kLengthAt) == sent.size() - srb::kHeaderSize);
  const std::uint8_t* copy = sent.data() + packet::kDpbAt;
  for (std::uint32_t at = 0; at < dpb::kRecordSize; ++at) {
    if (!IsDescriptorByte(at)) FUZZ_CHECK(copy[at] == before.bytes()[at]);
  }
  CheckDescriptorSent(copy, dpb::ParmOut, p.parm_out, static_cast<std::uint32_t>(areas[0].size()));
  CheckDescriptorSent(copy, dpb::DataIn, p.data_in, static_cast<std::uint32_t>(areas[1].size()));
  CheckDescriptorSent(copy, dpb::DataOut, p.data_out, static_cast<std::uint32_t>(areas[2].size()));
  CheckDescriptorSent(copy, dpb::ParmIn, p.parm_in, static_cast<std::uint32_t>(areas[3].size()));
  std::vector<std::uint8_t> data_area;
  for (const auto& area : areas) data_area.insert(data_area.end(), area.begin(), area.end());
  FUZZ_CHECK(std::equal(data_area.begin(), data_area.end(), sent.begin() + packet::kDataAreaAt));
}

/// The run with every caller area a real buffer.
void RunWithBuffers(FuzzedDataProvider& in, DPB& dpb, scripted_platform::Script script) {
  std::array<CallerBuffer, 4> buffers;
  for (CallerBuffer& b : buffers) b = MakeBuffer(in);
  for (std::size_t i = 0; i < kAreaOrder.size(); ++i) {
    BufferView view = dpb.Descriptor(kAreaOrder[i]);
    view.base = buffers[i].base();
    // An empty area's Base is never looked at: it may point anywhere.
    if (buffers[i].length == 0 && in.ConsumeBool()) view.base = nullptr;
    view.offset = buffers[i].offset;
    view.length = buffers[i].length;
    dpb.SetDescriptor(kAreaOrder[i], view);
  }
  script.answer = in.ConsumeRemainingBytes<std::uint8_t>();
  scripted_platform::SetScript(script);
  DiscoverAdapters();
  const bool has_port = FindAdapterHandle(dpb.Get(dpb::Node)) != kInvalidAdapterHandle;

  const DPB before = dpb;
  std::array<std::vector<std::uint8_t>, 4> blocks_before, areas_before;
  for (std::size_t i = 0; i < buffers.size(); ++i) {
    blocks_before[i] = buffers[i].block;
    areas_before[i].assign(buffers[i].area(), buffers[i].area() + buffers[i].length);
  }
  FUZZ_CHECK(PassThroughRequest(&dpb) == 0);

  const auto& calls = scripted_platform::Calls();
  const bool answered = has_port && !script.transaction_fails;
  if (!has_port) FUZZ_CHECK(dpb.Get(dpb::DPB_Status) == kStatusNoPort);
  FUZZ_CHECK(calls.size() == (has_port ? 1u : 0u));
  const Placement p = Place(buffers);
  if (has_port) CheckPacketSent(calls[0].sent, before, areas_before, p);
  if (has_port && !answered) FUZZ_CHECK(dpb.Get(dpb::DPB_Status) == kStatusFailed);

  // The DPB: only the status and the result bytes may change, and only to
  // what the driver answered; the host pointers stay.
  for (std::uint32_t at = 0; at < dpb::kRecordSize; ++at) {
    if (at == dpb::DPB_Status.offset) continue;
    if (answered && IsAnswerByte(at)) {
      FUZZ_CHECK(dpb.bytes()[at] == calls[0].answered[packet::kDpbAt + at]);
    } else {
      FUZZ_CHECK(dpb.bytes()[at] == before.bytes()[at]);
    }
  }
  if (answered) {
    FUZZ_CHECK(static_cast<std::uint8_t>(dpb.Get(dpb::DPB_Status)) ==
               calls[0].answered[packet::kStatusAt]);
  }
  for (DescriptorField field : kAreaOrder) {
    FUZZ_CHECK(dpb.Descriptor(field).base == before.Descriptor(field).base);
  }

  // The caller's buffers: DataIn and ParmIn take exactly their lengths from
  // their places in the answer; every other byte stays.
  const std::uint32_t answer_at[4] = {0, p.data_in, 0, p.parm_in};
  for (std::size_t i = 0; i < buffers.size(); ++i) {
    CallerBuffer& b = buffers[i];
    const bool receives = answered && (i == 1 || i == 3);
    for (std::size_t at = 0; at < b.block.size(); ++at) {
      const std::size_t area_start = kGuard + b.offset;
      const bool in_area = at >= area_start && at < area_start + b.length;
      if (receives && in_area) {
        FUZZ_CHECK(b.block[at] ==
                   calls[0].answered[packet::kDataAreaAt + answer_at[i] + (at - area_start)]);
      } else {
        FUZZ_CHECK(b.block[at] == blocks_before[i][at]);
      }
    }
  }
}

/// Lengths whose packet can't be described by 32-bit sizes: refused before
/// anything is allocated, copied or sent. The areas are never touched, so
/// they may point at a small block (ASan reports any access past it).
void RunOversized(FuzzedDataProvider& in, DPB& dpb, scripted_platform::Script script) {
  static std::uint8_t small_block[1];
  std::uint64_t total = 0;
  for (DescriptorField field : kAreaOrder) {
    BufferView view = dpb.Descriptor(field);
    view.base = small_block;
    view.offset = in.ConsumeIntegral<std::uint32_t>();
    view.length = in.ConsumeIntegralInRange<std::uint32_t>(0x40000000u, 0xFFFFFFFFu);
    total += view.length;
    dpb.SetDescriptor(field, view);
  }
  FUZZ_CHECK(total + packet::kFixedSize > UINT32_MAX);
  scripted_platform::SetScript(script);
  DiscoverAdapters();
  const bool has_port = FindAdapterHandle(dpb.Get(dpb::Node)) != kInvalidAdapterHandle;
  const DPB before = dpb;
  FUZZ_CHECK(PassThroughRequest(&dpb) == 0);
  FUZZ_CHECK(scripted_platform::Calls().empty());
  FUZZ_CHECK(dpb.Get(dpb::DPB_Status) == (has_port ? kStatusFailed : kStatusNoPort));
  for (std::uint32_t at = 0; at < dpb::kRecordSize; ++at) {
    if (at != dpb::DPB_Status.offset) FUZZ_CHECK(dpb.bytes()[at] == before.bytes()[at]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  scripted_platform::Script script;
  script.port_listed = in.ConsumeIntegralInRange<int>(0, 7) != 0;
  script.node = in.ConsumeIntegral<std::int8_t>();
  script.transaction_fails = in.ConsumeIntegralInRange<int>(0, 7) == 0;
  const bool oversized = in.ConsumeIntegralInRange<int>(0, 15) == 0;

  // Whatever the caller left in the block travels as it is.
  DPB dpb;
  const std::vector<std::uint8_t> record = in.ConsumeBytes<std::uint8_t>(dpb::kRecordSize);
  dpb.SetWireBytes(0, record.data(), static_cast<std::uint32_t>(record.size()));
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:  // the port's own node
      dpb.Set(dpb::Node, static_cast<std::uint32_t>(static_cast<std::int32_t>(script.node)));
      break;
    case 1:  // its partner
      dpb.Set(dpb::Node, static_cast<std::uint32_t>(PartnerNode(
                             static_cast<std::uint32_t>(static_cast<std::int32_t>(script.node)))));
      break;
    default:  // whatever the record held
      break;
  }
  if (oversized) {
    RunOversized(in, dpb, script);
  } else {
    RunWithBuffers(in, dpb, script);
  }
  return 0;
}
