#include "services/calls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "services/inject.h"

namespace {

using Image = std::array<std::uint8_t, dpb::kRecordSize>;

/// One block as the dispatcher received it.
struct Seen {
  Image bytes{};
  const void* host20 = nullptr;  // the host pointer of the word at 0x20
  DpbCallback callback = nullptr;

  std::uint8_t Number() const { return bytes[dpb::DPB_Number.offset]; }
};

// What the recording dispatcher leaves in every block that is not a code
// report, so that each routine's returned field can be told apart.
constexpr std::uint32_t kAnswer10 = 0xA0A1A2A3;
constexpr std::uint32_t kAnswer2C = 0xC0C1C2C3;
constexpr std::int32_t kDispatcherResult = 0x5EED;

/// Serves every number locally and records each block before serving it.
struct Recorder {
  std::vector<Seen> seen;
  std::int8_t status = kStatusOk;
  /// Answers of service 24, one per poll; a poll past the end answers 1 and
  /// marks the run as overrun, so a routine that never stops still ends.
  std::deque<std::uint32_t> answers24;
  bool overrun = false;
  /// Spoils number, flag and selector after each block is recorded, as a
  /// dispatcher may, so that a routine reusing a record must write them again.
  bool spoil_header = false;
};

Recorder* recorder = nullptr;

std::int32_t Record(DPB* dpb) {
  Seen s;
  std::copy(dpb->bytes(), dpb->bytes() + dpb::kRecordSize, s.bytes.begin());
  s.host20 = dpb->Pointer(PointerField{0x20});
  s.callback = dpb->Callback();
  recorder->seen.push_back(s);
  if (s.Number() == kServiceReport) return 0;
  std::uint32_t answer10 = kAnswer10;
  if (s.Number() == 24) {
    recorder->overrun = recorder->overrun || recorder->answers24.empty();
    answer10 = recorder->overrun ? 1 : recorder->answers24.front();
    if (!recorder->overrun) recorder->answers24.pop_front();
  }
  dpb->Set(WireField<std::uint32_t>{0x10}, answer10);
  dpb->Set(WireField<std::uint32_t>{0x2C}, kAnswer2C);
  dpb->Set(dpb::DPB_Status, recorder->status);
  if (recorder->spoil_header) {
    dpb->Set(dpb::DPB_Number, 0xEE);
    dpb->Set(dpb::DPB_Flag, 0xEE);
    // In a service-24 record 0x13 is the answer's top byte, not a selector.
    if (s.Number() != 24) dpb->Set(dpb::DPB_SubCode, 0xEE);
  }
  return kDispatcherResult;
}

class RecordingTest : public testing::Test {
 protected:
  void SetUp() override {
    recorder = &recorder_;
    SetInjectEntry(&Record);
  }
  void TearDown() override {
    SetInjectEntry(nullptr);
    recorder = nullptr;
  }
  Recorder recorder_;
};

/// A field of an expected image: `size` bytes of `value`, little-endian.
struct Field {
  std::uint32_t offset, size, value;
};

/// The image of a routine's own record: zero but for the listed fields.
Image ImageOf(std::uint8_t number, std::uint8_t flag, const std::vector<Field>& fields) {
  Image image{};
  image[dpb::DPB_Number.offset] = number;
  image[dpb::DPB_Flag.offset] = flag;
  for (const Field& f : fields) {
    for (std::uint32_t i = 0; i < f.size; ++i) {
      image[f.offset + i] = static_cast<std::uint8_t>(f.value >> (8 * i));
    }
  }
  return image;
}

/// The code report that a checked routine raises on a nonzero status.
const Image kFatal30 = ImageOf(32, 0, {{0x13, 1, 2}, {0x14, 1, 30}});

// Distinct argument values, so that a swapped or misplaced argument shows.
constexpr std::uint8_t kS = 0xA5;
constexpr std::uint32_t kA = 0x11223344, kB = 0x55667788, kC = 0x99AABBCC;
constexpr std::uint32_t kD = 0xDDEEFF01, kE = 0x23456789, kN = 0x0BADF00D;
std::array<std::uint8_t, 16> buffer;
void* const kP = buffer.data();
const std::uint32_t kPWord = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(kP));

enum class Returns { kNothing, kWord10, kWord2C, kStatus, kResult };
enum class Check { kNone, kCode30 };
enum class HostPointer { kNone, kBuffer };

struct RoutineCase {
  const char* name;
  std::function<std::int64_t()> call;
  std::uint8_t number, flag;
  std::vector<Field> fields;
  Returns returns;
  Check check;
  HostPointer pointer;  // what stands beside the word at 0x20
};

void PrintTo(const RoutineCase& c, std::ostream* os) { *os << c.name; }

RoutineCase Row(const char* name, std::function<std::int64_t()> call, std::uint8_t number,
                std::uint8_t flag, std::vector<Field> fields, Returns returns, Check check,
                HostPointer pointer = HostPointer::kNone) {
  return {name, std::move(call), number, flag, std::move(fields), returns, check, pointer};
}

/// A routine's call as a row's: its answer, or 0 for a routine that answers
/// nothing.
template <typename Call>
std::function<std::int64_t()> Answer(Call call) {
  return [call] { return static_cast<std::int64_t>(call()); };
}
template <typename Call>
std::function<std::int64_t()> Nothing(Call call) {
  return [call] {
    call();
    return std::int64_t{0};
  };
}

// Each row as the service-call table gives it. A memory-buffer descriptor
// shows as Kind 1 at 0x1F, Base at 0x20, Offset 0, Length at 0x28.
std::vector<RoutineCase> Routines() {
  const Field s{0x13, 1, kS}, a10{0x10, 4, kA}, a14{0x14, 4, kA}, b18{0x18, 4, kB};
  const Field kind{0x1F, 1, 1}, p{0x20, 4, kPWord}, n{0x28, 4, kN};
  auto sub = [](std::uint32_t code) { return Field{0x13, 1, code}; };
  using R = Returns;
  constexpr Check kCode30 = Check::kCode30, kNone = Check::kNone;
  constexpr HostPointer kBuffer = HostPointer::kBuffer;
  return {
      Row("DpbCall04", Nothing([] { DpbCall04(kS, kA, kB); }), 4, 0, {s, a14, b18}, R::kNothing,
          kCode30),
      Row("DpbCall05", Nothing([] { DpbCall05(kS); }), 5, 0, {s}, R::kNothing, kCode30),
      Row("DpbQuery06", Answer([] { return DpbQuery06(); }), 6, 0, {}, R::kWord10, kCode30),
      Row("DpbQuery09", Answer([] { return DpbQuery09(); }), 9, 0, {}, R::kWord10, kCode30),
      Row("DpbCall10", Answer([] { return DpbCall10(kS); }), 10, 5, {s}, R::kStatus, kNone),
      Row("DpbCall11", Nothing([] { DpbCall11(kA, kS); }), 11, 0, {a10, {0x17, 1, kS}}, R::kNothing,
          kCode30),
      Row("DpbCall12", Nothing([] { DpbCall12(kS); }), 12, 0, {s}, R::kNothing, kCode30),
      Row("DpbCall15", Answer([] { return DpbCall15(kA); }), 15, 0, {a10}, R::kResult, kNone),
      Row("DpbCall16", Nothing([] { DpbCall16(kA); }), 16, 0, {a10}, R::kNothing, kCode30),
      Row("DpbCall20Sub1", Answer([] { return DpbCall20Sub1(kA, kP, kN, kB); }), 20, 5,
          {sub(1), a14, b18, kind, p, n}, R::kWord2C, kCode30, kBuffer),
      Row("DpbCall20Sub2", Answer([] { return DpbCall20Sub2(kA, kP, kN, kB); }), 20, 5,
          {sub(2), a14, b18, kind, p, n}, R::kWord2C, kCode30, kBuffer),
      Row("DpbCall20Sub3", Answer([] { return DpbCall20Sub3(kA, kP, kN, kB); }), 20, 5,
          {sub(3), a14, b18, kind, p, n}, R::kWord2C, kCode30, kBuffer),
      Row("DpbCall20Sub4", Answer([] { return DpbCall20Sub4(kA, kP, kN); }), 20, 5,
          {sub(4), a14, kind, p, n}, R::kWord2C, kCode30, kBuffer),
      Row("DpbCall20Sub5", Answer([] { return DpbCall20Sub5(kA); }), 20, 5, {sub(5), a14, kind},
          R::kWord2C, kCode30),
      Row("DpbCall20Sub5Buffer", Answer([] { return DpbCall20Sub5Buffer(kA, kP, kN); }), 20, 5,
          {sub(5), a14, kind, p, n}, R::kWord2C, kCode30, kBuffer),
      Row("DpbCall20Sub6", Answer([] { return DpbCall20Sub6(kA); }), 20, 0, {sub(6), a14},
          R::kResult, kNone),
      Row("DpbQuery21", Answer([] { return DpbQuery21(); }), 21, 0, {}, R::kWord10, kCode30),
      Row("DpbCall22", Nothing([] { DpbCall22(kA); }), 22, 0, {a10}, R::kNothing, kCode30),
      Row("DpbCall23", Nothing([] { DpbCall23(kA, kS, kB, kC, kD, kE); }), 23, 0,
          {s, a14, b18, {0x1C, 4, kC}, {0x20, 4, kD}, {0x24, 4, kE}}, R::kNothing, kCode30),
      Row("DpbCall25", Nothing([] { DpbCall25(kA); }), 25, 0, {a10}, R::kNothing, kCode30),
      Row("DpbCall26", Nothing([] { DpbCall26(kA, kB, kC, kD); }), 26, 0,
          {a10, {0x14, 4, kB}, {0x18, 4, kC}, {0x1C, 4, kD}}, R::kNothing, kCode30),
      Row("DpbCall27", Nothing([] { DpbCall27(kA); }), 27, 0, {a10}, R::kNothing, kCode30),
      Row("DpbCall28", Nothing([] { DpbCall28(kS, kA); }), 28, 0, {s, a14}, R::kNothing, kCode30),
      Row("DpbCall29", Nothing([] { DpbCall29(kS); }), 29, 0, {s}, R::kNothing, kCode30),
      Row("DpbQuery33", Answer([] { return DpbQuery33(); }), 33, 0, {}, R::kWord10, kCode30),
  };
}

std::int64_t Expected(Returns returns, std::int8_t status) {
  switch (returns) {
    case Returns::kWord10:
      return kAnswer10;
    case Returns::kWord2C:
      return kAnswer2C;
    case Returns::kStatus:
      return status;
    case Returns::kResult:
      return kDispatcherResult;
    case Returns::kNothing:
      break;
  }
  return 0;
}

class RoutineTest : public RecordingTest, public testing::WithParamInterface<RoutineCase> {};

TEST_P(RoutineTest, FillsItsRecordAndReturnsItsField) {
  const RoutineCase& c = GetParam();
  EXPECT_EQ(c.call(), Expected(c.returns, kStatusOk));
  ASSERT_EQ(recorder_.seen.size(), 1u);
  EXPECT_EQ(recorder_.seen[0].bytes, ImageOf(c.number, c.flag, c.fields));
  EXPECT_EQ(recorder_.seen[0].host20, c.pointer == HostPointer::kBuffer ? kP : nullptr);
}

// A failed service costs the caller the code report (when the row checks)
// and nothing else: the returned field is still what the service left.
TEST_P(RoutineTest, NonzeroStatusRaisesItsCodeOrNone) {
  const RoutineCase& c = GetParam();
  for (const std::int8_t status : {kStatusFailed, kStatusNoPort, std::int8_t{1}}) {
    recorder_.seen.clear();
    recorder_.status = status;
    EXPECT_EQ(c.call(), Expected(c.returns, status)) << "status " << int{status};
    ASSERT_EQ(recorder_.seen.size(), c.check == Check::kCode30 ? 2u : 1u)
        << "status " << int{status};
    EXPECT_EQ(recorder_.seen[0].Number(), c.number);
    if (c.check == Check::kCode30) {
      EXPECT_EQ(recorder_.seen[1].bytes, kFatal30);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryRoutine, RoutineTest, testing::ValuesIn(Routines()),
                         [](const auto& row) { return std::string(row.param.name); });

// ---------------------------------------------------------------------------
// The submit routines work on the caller's record.

void NoteCompletion(DPB*) {}

struct SubmitCase {
  const char* name;
  std::int32_t (*submit)(DPB*);
  std::uint8_t number;
  bool clears_node;
};

void PrintTo(const SubmitCase& c, std::ostream* os) { *os << c.name; }

class SubmitTest : public RecordingTest, public testing::WithParamInterface<SubmitCase> {};

TEST_P(SubmitTest, WritesOnlyNumberAndFlagAndHandsBackTheResult) {
  const SubmitCase& c = GetParam();
  DPB caller;
  Image pattern;
  for (std::uint32_t i = 0; i < dpb::kRecordSize; ++i)
    pattern[i] = static_cast<std::uint8_t>(0x80 | i);
  caller.SetWireBytes(0, pattern.data(), dpb::kRecordSize);
  caller.SetCallback(&NoteCompletion);
  caller.SetPointer(PointerField{0x20}, kP);
  Image expected;
  std::copy(caller.bytes(), caller.bytes() + dpb::kRecordSize, expected.begin());
  expected[dpb::DPB_Number.offset] = c.number;
  expected[dpb::DPB_Flag.offset] = kFlagCallback;
  if (c.clears_node) std::fill_n(expected.begin() + dpb::Node.offset, 4, 0);

  recorder_.status = kStatusFailed;  // never tested: no code report follows
  EXPECT_EQ(c.submit(&caller), kDispatcherResult);
  ASSERT_EQ(recorder_.seen.size(), 1u);
  EXPECT_EQ(recorder_.seen[0].bytes, expected);
  EXPECT_EQ(recorder_.seen[0].callback, &NoteCompletion);
  EXPECT_EQ(recorder_.seen[0].host20, c.clears_node ? nullptr : kP);
}

INSTANTIATE_TEST_SUITE_P(EverySubmit, SubmitTest,
                         testing::Values(SubmitCase{"DpbSubmit19", &DpbSubmit19, 19, false},
                                         SubmitCase{"DpbSubmit19Node0", &DpbSubmit19Node0, 19,
                                                    true},
                                         SubmitCase{"DpbSubmit20", &DpbSubmit20, 20, false}),
                         [](const auto& row) { return std::string(row.param.name); });

// ---------------------------------------------------------------------------
// DpbWait24 polls service 24 with one service 10 between two polls.

class WaitTest : public RecordingTest {
 protected:
  std::vector<std::uint8_t> Numbers() const {
    std::vector<std::uint8_t> numbers;
    for (const Seen& s : recorder_.seen) numbers.push_back(s.Number());
    return numbers;
  }
};

const Image kPoll = ImageOf(24, 0, {});

TEST_F(WaitTest, ReturnsTheFirstNonzeroAnswerWithOneServiceTenBetweenPolls) {
  recorder_.answers24 = {0, 0, 0x77, 0x99};
  recorder_.spoil_header = true;
  EXPECT_EQ(DpbWait24(), 0x77u);
  EXPECT_FALSE(recorder_.overrun);
  EXPECT_EQ(Numbers(), (std::vector<std::uint8_t>{24, 10, 24, 10, 24}));
  for (const Seen& s : recorder_.seen) {
    const bool poll = s.Number() == 24;
    EXPECT_EQ(s.bytes[dpb::DPB_Flag.offset], poll ? kFlagReturn : kFlagRunNow);
    if (!poll) {
      EXPECT_EQ(s.bytes[dpb::DPB_SubCode.offset], 0xFF);
    }
  }
}

TEST_F(WaitTest, AFirstNonzeroAnswerEndsAtOnce) {
  recorder_.answers24 = {0xFFFFFFFF};
  EXPECT_EQ(DpbWait24(), 0xFFFFFFFFu);
  ASSERT_EQ(recorder_.seen.size(), 1u);
  EXPECT_EQ(recorder_.seen[0].bytes, kPoll);
}

TEST_F(WaitTest, EachFailedServiceRaisesCode30AndTheWaitGoesOn) {
  recorder_.status = kStatusFailed;
  recorder_.answers24 = {0, 5};
  EXPECT_EQ(DpbWait24(), 5u);
  EXPECT_EQ(Numbers(), (std::vector<std::uint8_t>{24, 32, 10, 32, 24, 32}));
  for (const Seen& s : recorder_.seen) {
    if (s.Number() == kServiceReport) {
      EXPECT_EQ(s.bytes, kFatal30);
    }
  }
}

// ---------------------------------------------------------------------------
// With the system's own dispatcher (and no adapter ports at all).

class WithInjectTest : public testing::Test {
 protected:
  void SetUp() override { SetInjectEntry(&Inject); }
  void TearDown() override { SetInjectEntry(nullptr); }
};

TEST_F(WithInjectTest, Query06AnswersOne) { EXPECT_EQ(DpbQuery06(), 1u); }

/// Inject, recording each block's number and status as Inject left them.
struct AfterInject {
  static inline std::vector<std::pair<std::uint8_t, std::int8_t>> served;
  static inline std::vector<std::uint8_t> codes;
  static std::int32_t Dispatch(DPB* dpb) {
    const std::int32_t result = Inject(dpb);
    served.emplace_back(dpb->Get(dpb::DPB_Number), dpb->Get(dpb::DPB_Status));
    if (dpb->Get(dpb::DPB_Number) == kServiceReport) codes.push_back(dpb->Get(dpb::ReportCode));
    return result;
  }
};

// The short records of the transaction numbers are not served locally nor
// refused: they reach the pass-through, which finds no port for them (there
// are none here) and says so in the status; the routines that check it
// raise code 30, and the answer word stays as the routine left it.
TEST_F(WithInjectTest, ShortTransactionRecordsComeBackFromThePassThrough) {
  SetInjectEntry(&AfterInject::Dispatch);
  using Served = std::vector<std::pair<std::uint8_t, std::int8_t>>;
  AfterInject::served.clear();
  AfterInject::codes.clear();
  EXPECT_EQ(DpbCall10(0), kStatusNoPort);
  EXPECT_EQ(AfterInject::served, (Served{{10, kStatusNoPort}}));
  AfterInject::served.clear();
  EXPECT_EQ(DpbCall20Sub6(7), 0);
  EXPECT_EQ(AfterInject::served, (Served{{20, kStatusNoPort}}));
  AfterInject::served.clear();
  EXPECT_EQ(DpbCall20Sub1(1, buffer.data(), static_cast<std::uint32_t>(buffer.size()), 2), 0u);
  EXPECT_EQ(AfterInject::served, (Served{{20, kStatusNoPort}, {kServiceReport, kStatusOk}}));
  EXPECT_EQ(AfterInject::codes, std::vector<std::uint8_t>{kCodeServiceStatus});
}

int completions = 0;
std::uint8_t flag_at_completion = 0;
std::int8_t status_at_completion = 0;

void CountCompletion(DPB* dpb) {
  ++completions;
  flag_at_completion = dpb->Get(dpb::DPB_Flag);
  status_at_completion = dpb->Get(dpb::DPB_Status);
}

TEST_F(WithInjectTest, Submit19OnAFullTransactionRecordIsAFlagTwoTransaction) {
  std::array<std::uint8_t, 8> parms{1, 2, 3, 4, 5, 6, 7, 8};
  std::array<std::uint8_t, 8> answer{};
  DPB transaction;
  transaction.Set(dpb::DPB_Flag, kFlagRunNow);  // the submit routine makes it 2
  transaction.SetCallback(&CountCompletion);
  transaction.Set(dpb::Node, 11);
  transaction.Set(dpb::TxUnit, 1);
  transaction.Set(dpb::TxCode, 0x0102);
  transaction.Set(dpb::TxClass, 3);
  transaction.SetDescriptor(dpb::ParmOut, {descriptor::kMemoryBuffer, parms.data(), 0, 8});
  transaction.SetDescriptor(dpb::DataOut, {descriptor::kNoBuffer, nullptr, 0, 0});
  transaction.SetDescriptor(dpb::DataIn, {descriptor::kMemoryBuffer, answer.data(), 0, 8});
  transaction.SetDescriptor(dpb::ParmIn, {descriptor::kNoBuffer, nullptr, 0, 0});
  completions = 0;

  EXPECT_EQ(DpbSubmit19(&transaction), 0);
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(flag_at_completion, kFlagCallback);
  EXPECT_EQ(status_at_completion, kStatusNoPort);  // the pass-through ran first
  EXPECT_EQ(transaction.Get(dpb::DPB_Number), 19);
  EXPECT_EQ(transaction.Get(dpb::DPB_Flag), kFlagCallback);
}

struct RefusedCase {
  const char* name;
  void (*call)();
  int number;
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class RefusedTest : public testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedTest, EndsTheProcessWithStatus11AndTheNumber) {
  const RefusedCase& c = GetParam();
  const std::string message = "^Inject: DPB_Number=" + std::to_string(c.number) + "\n$";
  EXPECT_EXIT(
      {
        SetInjectEntry(&Inject);
        c.call();
      },
      testing::ExitedWithCode(11), message);
}

INSTANTIATE_TEST_SUITE_P(ByInject, RefusedTest,
                         testing::Values(RefusedCase{"DpbCall04", [] { DpbCall04(1, 2, 3); }, 4},
                                         RefusedCase{"DpbCall05", [] { DpbCall05(1); }, 5},
                                         RefusedCase{"DpbQuery09", [] { DpbQuery09(); }, 9},
                                         RefusedCase{"DpbCall12", [] { DpbCall12(1); }, 12},
                                         RefusedCase{"DpbCall15", [] { DpbCall15(1); }, 15},
                                         RefusedCase{"DpbCall16", [] { DpbCall16(1); }, 16},
                                         RefusedCase{"DpbCall26", [] { DpbCall26(1, 2, 3, 4); },
                                                     26},
                                         RefusedCase{"DpbCall27", [] { DpbCall27(1); }, 27},
                                         RefusedCase{"DpbCall28", [] { DpbCall28(1, 2); }, 28},
                                         RefusedCase{"DpbCall29", [] { DpbCall29(1); }, 29},
                                         RefusedCase{"DpbQuery33", [] { DpbQuery33(); }, 33}),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
