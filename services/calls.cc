#include "services/calls.h"

#include <type_traits>

#include "services/inject.h"
#include "services/issuing.h"

namespace {

/// Marks a routine whose status is handed back or ignored, never tested.
constexpr int kNoCheck = -1;
/// Marks a routine whose DPB_SubCode is an argument, or unused.
constexpr int kNoFixedSubCode = -1;

/// Everything a routine does with its service apart from its arguments.
/// Kept structural so that it can be a template argument: a field that lies
/// outside the service's record is then a compile-time error.
struct Service {
  std::uint8_t number;
  std::uint8_t flag;
  /// How far the service reads and writes; every field a routine sets or
  /// returns must lie inside it.
  std::uint32_t record;
  /// Raised through DpbFatalCode on a nonzero status, or kNoCheck.
  int fatal_code;
  /// Written on every call, or kNoFixedSubCode.
  int sub_code = kNoFixedSubCode;
  /// The descriptor at 0x1C names a memory buffer (Kind 1, Offset 0); its
  /// Base and Length come from the arguments, or stay 0.
  bool memory_buffer = false;
};

constexpr int kChecked = kCodeServiceStatus;
constexpr std::uint32_t kCallersRecord = dpb::kTransactionRecord;

// clang-format off
//                         number  flag           record          status     sub-code  buffer
constexpr Service kCall04     { 4, kFlagReturn,   28,             kChecked};
constexpr Service kCall05     { 5, kFlagReturn,   20,             kChecked};
constexpr Service kQuery06    { 6, kFlagReturn,   20,             kChecked};
constexpr Service kQuery09    { 9, kFlagReturn,   20,             kChecked};
constexpr Service kCall10     {10, kFlagRunNow,   20,             kNoCheck};
constexpr Service kCall11     {11, kFlagReturn,   24,             kChecked};
constexpr Service kCall12     {12, kFlagReturn,   20,             kChecked};
constexpr Service kCall15     {15, kFlagReturn,   20,             kNoCheck};
constexpr Service kCall16     {16, kFlagReturn,   20,             kChecked};
constexpr Service kSubmit19   {19, kFlagCallback, kCallersRecord, kNoCheck};
constexpr Service kSubmit20   {20, kFlagCallback, kCallersRecord, kNoCheck};
constexpr Service kCall20Sub1 {20, kFlagRunNow,   48,             kChecked,  1,        true};
constexpr Service kCall20Sub2 {20, kFlagRunNow,   48,             kChecked,  2,        true};
constexpr Service kCall20Sub3 {20, kFlagRunNow,   48,             kChecked,  3,        true};
constexpr Service kCall20Sub4 {20, kFlagRunNow,   48,             kChecked,  4,        true};
constexpr Service kCall20Sub5 {20, kFlagRunNow,   48,             kChecked,  5,        true};
constexpr Service kCall20Sub6 {20, kFlagReturn,   48,             kNoCheck,  6,        false};
constexpr Service kQuery21    {21, kFlagReturn,   20,             kChecked};
constexpr Service kCall22     {22, kFlagReturn,   20,             kChecked};
constexpr Service kCall23     {23, kFlagReturn,   40,             kChecked};
constexpr Service kWait24     {24, kFlagReturn,   20,             kChecked};
constexpr Service kWaitBetween{10, kFlagRunNow,   20,             kChecked,  0xFF};
constexpr Service kCall25     {25, kFlagReturn,   20,             kChecked};
constexpr Service kCall26     {26, kFlagReturn,   32,             kChecked};
constexpr Service kCall27     {27, kFlagReturn,   20,             kChecked};
constexpr Service kCall28     {28, kFlagReturn,   24,             kChecked};
constexpr Service kCall29     {29, kFlagReturn,   20,             kChecked};
constexpr Service kQuery33    {33, kFlagReturn,   20,             kChecked};
// clang-format on

// The body fields the routines fill, by offset.
constexpr WireField<std::uint8_t> kByte13 = dpb::DPB_SubCode;
constexpr WireField<std::uint8_t> kByte17{0x17};
constexpr WireField<std::uint32_t> kWord10{0x10};
constexpr WireField<std::uint32_t> kWord14{0x14};
constexpr WireField<std::uint32_t> kWord18{0x18};
constexpr WireField<std::uint32_t> kWord1C{0x1C};
constexpr WireField<std::uint32_t> kWord20{0x20};
constexpr WireField<std::uint32_t> kWord24{0x24};
constexpr WireField<std::uint32_t> kAnswer2C{0x2C};

// The descriptor of the DPB 20 records.
constexpr DescriptorField kBuffer{0x1C};
constexpr WireField<std::uint8_t> kBufferKind{kBuffer.offset + descriptor::Kind.offset};
constexpr PointerField kBufferBase{kBuffer.offset + descriptor::Base.offset};
constexpr WireField<std::uint32_t> kBufferOffset{kBuffer.offset + descriptor::Offset.offset};
constexpr WireField<std::uint32_t> kBufferLength{kBuffer.offset + descriptor::Length.offset};

/// The argument type of a field: its wire type, or a host pointer.
template <typename Field>
struct ValueOf;
template <typename T>
struct ValueOf<WireField<T>> {
  using type = T;
};
template <>
struct ValueOf<PointerField> {
  using type = const void*;
};
template <auto field>
using FieldValue = typename ValueOf<std::remove_cvref_t<decltype(field)>>::type;

template <typename Field>
constexpr bool Inside(const Service& service, const Field& field) {
  return field.offset + Field::size <= service.record;
}

template <typename T>
void Put(DPB& block, WireField<T> field, T value) {
  block.Set(field, value);
}

void Put(DPB& block, PointerField field, const void* pointer) { block.SetPointer(field, pointer); }

/// The common steps of every routine: header, fixed body fields, the
/// arguments in `fields` order, the dispatcher, the status check. Answers the
/// dispatcher's result. Fields that neither the service nor the arguments
/// name are left as they are.
template <Service service, auto... fields>
std::int32_t Run(DPB& block, FieldValue<fields>... values) {
  static_assert((Inside(service, fields) && ...), "a field lies outside the service's record");
  block.Set(dpb::DPB_Number, service.number);
  block.Set(dpb::DPB_Flag, service.flag);
  if constexpr (service.sub_code != kNoFixedSubCode) {
    block.Set(dpb::DPB_SubCode, static_cast<std::uint8_t>(service.sub_code));
  }
  if constexpr (service.memory_buffer) {
    static_assert(Inside(service, kBuffer), "the descriptor lies outside the service's record");
    block.Set(kBufferKind, descriptor::kMemoryBuffer);
    block.Set(kBufferOffset, 0);
  }
  (Put(block, fields, values), ...);
  const std::int32_t result = InjectEntry(&block);
  if constexpr (service.fatal_code != kNoCheck) {
    if (block.Get(dpb::DPB_Status) != kStatusOk) DpbFatalCode(service.fatal_code);
  }
  return result;
}

template <Service service, auto field>
auto AnswerOf(const DPB& block) {
  static_assert(Inside(service, field), "the answer lies outside the service's record");
  return block.Get(field);
}

/// A routine's own record after its service ran.
template <Service service>
struct Issued {
  DPB block;  // zeroed: whatever reads past the record finds empty areas
  std::int32_t result = 0;

  template <auto field>
  auto Answer() const {
    return AnswerOf<service, field>(block);
  }
  std::int8_t Status() const { return Answer<dpb::DPB_Status>(); }
};

template <Service service, auto... fields>
Issued<service> Issue(FieldValue<fields>... values) {
  Issued<service> issued;
  issued.result = Run<service, fields...>(issued.block, values...);
  return issued;
}

}  // namespace

// The 0 at 0x18 of sub-codes 4 to 6, and the null Base and 0 Length of
// DpbCall20Sub5, are those of the zeroed record.

void DpbCall04(std::uint8_t s, std::uint32_t a, std::uint32_t b) {
  Issue<kCall04, kByte13, kWord14, kWord18>(s, a, b);
}

void DpbCall05(std::uint8_t s) { Issue<kCall05, kByte13>(s); }

std::uint32_t DpbQuery06() { return Issue<kQuery06>().Answer<kWord10>(); }

std::uint32_t DpbQuery09() { return Issue<kQuery09>().Answer<kWord10>(); }

std::int8_t DpbCall10(std::uint8_t s) { return Issue<kCall10, kByte13>(s).Status(); }

void DpbCall11(std::uint32_t a, std::uint8_t s) { Issue<kCall11, kWord10, kByte17>(a, s); }

void DpbCall12(std::uint8_t s) { Issue<kCall12, kByte13>(s); }

std::int32_t DpbCall15(std::uint32_t a) { return Issue<kCall15, kWord10>(a).result; }

void DpbCall16(std::uint32_t a) { Issue<kCall16, kWord10>(a); }

std::int32_t DpbSubmit19(DPB* dpb) { return Run<kSubmit19>(*dpb); }

std::int32_t DpbSubmit19Node0(DPB* dpb) { return Run<kSubmit19, dpb::Node>(*dpb, 0); }

std::int32_t DpbSubmit20(DPB* dpb) { return Run<kSubmit20>(*dpb); }

std::uint32_t DpbCall20Sub1(std::uint32_t a, void* p, std::uint32_t n, std::uint32_t b) {
  return Issue<kCall20Sub1, kWord14, kBufferBase, kBufferLength, kWord18>(a, p, n, b)
      .Answer<kAnswer2C>();
}

std::uint32_t DpbCall20Sub2(std::uint32_t a, void* p, std::uint32_t n, std::uint32_t b) {
  return Issue<kCall20Sub2, kWord14, kBufferBase, kBufferLength, kWord18>(a, p, n, b)
      .Answer<kAnswer2C>();
}

std::uint32_t DpbCall20Sub3(std::uint32_t a, void* p, std::uint32_t n, std::uint32_t b) {
  return Issue<kCall20Sub3, kWord14, kBufferBase, kBufferLength, kWord18>(a, p, n, b)
      .Answer<kAnswer2C>();
}

std::uint32_t DpbCall20Sub4(std::uint32_t a, void* p, std::uint32_t n) {
  return Issue<kCall20Sub4, kWord14, kBufferBase, kBufferLength>(a, p, n).Answer<kAnswer2C>();
}

std::uint32_t DpbCall20Sub5(std::uint32_t a) {
  return Issue<kCall20Sub5, kWord14>(a).Answer<kAnswer2C>();
}

std::uint32_t DpbCall20Sub5Buffer(std::uint32_t a, void* p, std::uint32_t n) {
  return Issue<kCall20Sub5, kWord14, kBufferBase, kBufferLength>(a, p, n).Answer<kAnswer2C>();
}

std::int32_t DpbCall20Sub6(std::uint32_t a) { return Issue<kCall20Sub6, kWord14>(a).result; }

std::uint32_t DpbQuery21() { return Issue<kQuery21>().Answer<kWord10>(); }

void DpbCall22(std::uint32_t a) { Issue<kCall22, kWord10>(a); }

void DpbCall23(std::uint32_t a, std::uint8_t s, std::uint32_t b, std::uint32_t c, std::uint32_t d,
               std::uint32_t e) {
  Issue<kCall23, kWord14, kByte13, kWord18, kWord1C, kWord20, kWord24>(a, s, b, c, d, e);
}

std::uint32_t DpbWait24() {
  // The same two records serve every pass; only their headers (and the
  // in-between record's selector) are written again.
  DPB poll;
  DPB between_polls;
  for (;;) {
    Run<kWait24>(poll);
    const std::uint32_t answer = AnswerOf<kWait24, kWord10>(poll);
    if (answer != 0) return answer;
    Run<kWaitBetween>(between_polls);
  }
}

void DpbCall25(std::uint32_t a) { Issue<kCall25, kWord10>(a); }

void DpbCall26(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
  Issue<kCall26, kWord10, kWord14, kWord18, kWord1C>(a, b, c, d);
}

void DpbCall27(std::uint32_t a) { Issue<kCall27, kWord10>(a); }

void DpbCall28(std::uint8_t s, std::uint32_t a) { Issue<kCall28, kByte13, kWord14>(s, a); }

void DpbCall29(std::uint8_t s) { Issue<kCall29, kByte13>(s); }

std::uint32_t DpbQuery33() { return Issue<kQuery33>().Answer<kWord10>(); }
