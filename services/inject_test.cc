#include "services/inject.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <io.h>  // dup, dup2
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <string>
#include <vector>

#include "record/platform_memory.h"
#include "services/issuing.h"
#include "services/startup.h"

namespace {

/// Records every block that reaches InjectEntry, then serves it with Inject.
struct Recorder {
  static inline std::vector<DPB> seen;
  static inline const DPB* outer = nullptr;
  static inline std::uint8_t outer_flag_seen = 0xEE;

  static std::int32_t Dispatch(DPB* dpb) {
    seen.push_back(*dpb);
    if (outer != nullptr) outer_flag_seen = outer->Get(dpb::DPB_Flag);
    return Inject(dpb);
  }
};

class InjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Recorder::seen.clear();
    Recorder::outer = nullptr;
    SetInjectEntry(Recorder::Dispatch);
  }
};

DPB Block(std::uint8_t number, std::uint8_t flag) {
  DPB block;
  block.Set(dpb::DPB_Number, number);
  block.Set(dpb::DPB_Flag, flag);
  return block;
}

void ComplainIfCalled(DPB*) { std::fputs("callback ran\n", stderr); }

TEST_F(InjectTest, RefusedFlagsEndWithStatus10AndNameTheFlag) {
  for (int flag : {1, 3, 4, 6, 255}) {
    DPB block = Block(kServiceQuery, static_cast<std::uint8_t>(flag));
    block.SetCallback(ComplainIfCalled);
    EXPECT_EXIT(Inject(&block), testing::ExitedWithCode(10),
                "^Inject: DPB_Flag=" + std::to_string(flag) + "\n$");
  }
  // The number is never looked at: a bad number with a bad flag is a flag refusal.
  DPB both = Block(12, 1);
  EXPECT_EXIT(Inject(&both), testing::ExitedWithCode(10), "DPB_Flag=1");
}

TEST_F(InjectTest, UnknownNumbersEndWithStatus11WithoutTheCallback) {
  for (int number : {0, 5, 7, 9, 12, 15, 18, 26, 30, 33, 255}) {
    DPB block = Block(static_cast<std::uint8_t>(number), kFlagCallback);
    block.SetCallback(ComplainIfCalled);
    EXPECT_EXIT(Inject(&block), testing::ExitedWithCode(11),
                "^Inject: DPB_Number=" + std::to_string(number) + "\n$");
  }
}

struct CallbackLog {
  static inline int calls = 0;
  static inline std::uint8_t flag = 0;
  static inline std::int8_t status = 0;
  static inline void* block = nullptr;
  static void Record(DPB* dpb) {
    ++calls;
    flag = dpb->Get(dpb::DPB_Flag);
    status = dpb->Get(dpb::DPB_Status);
    block = dpb->Pointer(dpb::AllocBlock);
  }
};

TEST_F(InjectTest, FlagTwoCallsTheRoutineOnceAfterTheService) {
  CallbackLog::calls = 0;
  DPB block = Block(kServiceAllocate, kFlagCallback);
  block.Set(dpb::AllocSize, kLargeAllocation + 1);
  block.SetCallback(CallbackLog::Record);
  block.Set(dpb::DPB_Status, -8);  // cleared before the service
  Recorder::outer = &block;
  EXPECT_EQ(Inject(&block), 0);
  EXPECT_EQ(CallbackLog::calls, 1);
  EXPECT_EQ(CallbackLog::flag, kFlagCallback);
  EXPECT_EQ(CallbackLog::status, 0);
  EXPECT_NE(CallbackLog::block, nullptr);  // the service had run
  // While the service ran (the nested code report), the block read 5.
  EXPECT_EQ(Recorder::outer_flag_seen, kFlagRunNow);
  EXPECT_EQ(block.Get(dpb::DPB_Flag), kFlagCallback);
  PlatformFree(block.Pointer(dpb::AllocBlock));
}

TEST_F(InjectTest, FlagTwoWithoutRoutineIsServedAndNotCalled) {
  DPB block = Block(kServiceQuery, kFlagCallback);
  EXPECT_EQ(Inject(&block), 0);
  EXPECT_EQ(block.Get(dpb::Word10), 1u);
}

TEST_F(InjectTest, CodeReportIsAcceptedAndStillCallsBack) {
  CallbackLog::calls = 0;
  DPB block = Block(kServiceReport, kFlagCallback);
  block.Set(dpb::DPB_SubCode, 7);
  block.SetCallback(CallbackLog::Record);
  EXPECT_EQ(Inject(&block), 0);
  EXPECT_EQ(block.Get(dpb::DPB_Status), 0);
  EXPECT_EQ(CallbackLog::calls, 1);
}

TEST_F(InjectTest, LargeAllocationsAreReportedAndStillMade) {
  void* exact = DpbAllocate(kLargeAllocation, 0);
  ASSERT_NE(exact, nullptr);
  ASSERT_EQ(Recorder::seen.size(), 1u);  // the allocation alone
  void* larger = DpbAllocate(kLargeAllocation + 1, 0);
  ASSERT_NE(larger, nullptr);
  ASSERT_EQ(Recorder::seen.size(), 3u);  // allocation, then its nested code report
  const DPB& report = Recorder::seen[2];
  EXPECT_EQ(report.Get(dpb::DPB_Number), kServiceReport);
  EXPECT_EQ(report.Get(dpb::DPB_SubCode), 1);
  EXPECT_EQ(report.Get(dpb::ReportCode), 21);
  DpbFree(exact);
  DpbFree(larger);
}

TEST_F(InjectTest, ZeroBytesAndNullFreeSucceed) {
  void* block = DpbAllocate(0, 0);
  EXPECT_NE(block, nullptr);
  DpbFree(block);
  DpbFree(nullptr);
  for (const DPB& seen : Recorder::seen) EXPECT_NE(seen.Get(dpb::DPB_Number), kServiceReport);
}

/// A dispatcher that answers every allocation with a chosen status.
struct AllocationRefuser {
  static inline std::int8_t status = kStatusFailed;
  static inline std::vector<std::uint8_t> codes;
  static std::int32_t Dispatch(DPB* dpb) {
    if (dpb->Get(dpb::DPB_Number) == kServiceReport) {
      codes.push_back(dpb->Get(dpb::ReportCode));
    } else {
      dpb->Set(dpb::DPB_Status, status);
    }
    return 0;
  }
};

TEST(IssuingRoutines, AllocateReportsOnlyUnexpectedStatuses) {
  SetInjectEntry(AllocationRefuser::Dispatch);
  AllocationRefuser::codes.clear();
  AllocationRefuser::status = kStatusFailed;
  EXPECT_EQ(DpbAllocate(16, 0), nullptr);
  EXPECT_TRUE(AllocationRefuser::codes.empty());
  AllocationRefuser::status = -5;
  DpbAllocate(16, 0);
  DpbFree(nullptr);
  EXPECT_EQ(AllocationRefuser::codes, (std::vector<std::uint8_t>{28, 29}));
}

/// What `action` wrote to standard output by the time it returned (the
/// stream is not flushed for it).
template <typename Action>
std::string StandardOutputOf(Action action) {
  std::FILE* capture = std::tmpfile();
  if (capture == nullptr) return "(no capture file)";
  std::fflush(stdout);
  const int saved = dup(1);
  dup2(fileno(capture), 1);
  action();
  dup2(saved, 1);
  close(saved);
  std::string seen(256, '\0');
  std::rewind(capture);
  seen.resize(std::fread(seen.data(), 1, seen.size(), capture));
  std::fclose(capture);
#ifdef _WIN32
  // Standard output is a text stream there: its lines end in CR LF.
  const std::size_t line_end = seen.rfind("\r\n");
  if (line_end != std::string::npos) seen.erase(line_end, 1);
#endif
  return seen;
}

TEST_F(InjectTest, PrintIsOnStandardOutputBeforeInjectReturns) {
  EXPECT_EQ(StandardOutputOf([] { DpbPrint("node=%lu %s\n", 17u, "ok"); }), "node=17 ok\n");
}

TEST_F(InjectTest, PrintWithAnotherChannelPrintsNothing) {
  // Nothing on standard output, even once the stream is flushed...
  EXPECT_EQ(StandardOutputOf([] {
              DpbPrintOn(3, "visible\n", {});
              std::fflush(stdout);
            }),
            "");
  // ...nor on standard error, and the process goes on.
  EXPECT_EXIT(
      {
        DpbPrintOn(3, "visible\n", {});
        std::exit(0);
      },
      testing::ExitedWithCode(0), "^$");
}

TEST_F(InjectTest, FatalPrintEndsWithStatus30BeforeTheCallback) {
  DPB block = Block(kServicePrint, kFlagCallback);
  block.Set(dpb::DPB_SubCode, kPrintFatal);
  block.SetPointer(dpb::PrintFormat, "fatal %d\n");
  block.Set(WireField<std::uint32_t>{dpb::kPrintArgOffset}, 4);
  block.SetCallback(ComplainIfCalled);
  EXPECT_EXIT(Inject(&block), testing::ExitedWithCode(30), "^fatal 4\n$");
}

TEST_F(InjectTest, AssertWritesItsLineAndEndsWithStatus30) {
  EXPECT_EXIT(Assert("x", 7, "y"), testing::ExitedWithCode(30), "^Assert x\\(7\\): y\n$");
}

std::uint32_t seen_a = 0, seen_b = 0;
std::int32_t Routine(std::uint32_t a, std::uint32_t b) {
  seen_a = a;
  seen_b = b;
  return 77;
}

TEST(Startup, RunApplicationPassesItsWordsAndAnswersOne) {
  EXPECT_EQ(RunApplication(Routine, 0xF000, 3, 4), 1);
  EXPECT_EQ(seen_a, 3u);
  EXPECT_EQ(seen_b, 4u);
}

TEST(Startup, TerminateEndsWithTheGivenStatus) {
  for (int status : {0, 1, 42}) EXPECT_EXIT(Terminate(status), testing::ExitedWithCode(status), "");
}

int ReturningAppMain(int, char**) { return 5; }

TEST(Startup, ProgramEndsWithStatusZeroWhenAppMainReturns) {
  char name[] = "qxfwload";
  char* argv[] = {name, nullptr};
  EXPECT_EXIT(RunProgram("qxfwload", 1, argv, ReturningAppMain), testing::ExitedWithCode(0), "");
}

}  // namespace
