#include "sim/driver_core.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "sim/machine_file.h"
#include "sim/test_packets.h"

namespace sim {
namespace {

using namespace test_packets;

std::int8_t Status(const Bytes& b) { return static_cast<std::int8_t>(b[39]); }
std::uint8_t Flag(const Bytes& b) { return b[138]; }
std::int16_t Code(const Bytes& b) { return GetLe16(b, 136); }

class SimDriverCore : public ::testing::Test {
 protected:
  void Load(const std::string& json) {
    ASSERT_EQ(ParseMachineFile(json, *config_), "");
    *state_ = MachineState{};
  }

  bool Serve(Bytes& b, int port = 1) {
    return ServeMiniportRequest(*config_, *state_, port, b.data(),
                                static_cast<std::uint32_t>(b.size()));
  }

  // Serves a request that must be accepted and answered with a zero status.
  Bytes Answer(const Request& r, int port = 1) {
    Bytes b = Transaction(r);
    EXPECT_TRUE(Serve(b, port));
    EXPECT_EQ(b[139], kUnset) << "byte 139 is reserved";
    return b;
  }

  static constexpr const char* kMachine = R"({
    "ports": [{"port": 1, "driver": "qarmix", "node": -5},
              {"port": 2, "driver": "qarmix", "node_query": "silent"},
              {"port": 3, "driver": "qarmix", "node_query": "fail", "transactions": "fail"},
              {"port": 4, "driver": "atapi"},
              {"port": 5}],
    "adapters": [{"node": 11, "mode": 0, "vpd": {"ll": "1A"}},
                 {"node": 12, "mode": 1, "partner": true},
                 {"node": 13, "mode": 2}]})";

  void SetUp() override { Load(kMachine); }

  std::unique_ptr<MachineConfig> config_ = std::make_unique<MachineConfig>();
  std::unique_ptr<MachineState> state_ = std::make_unique<MachineState>();
};

TEST_F(SimDriverCore, NodeQueryFollowsThePortsMode) {
  struct Case {
    int port;
    bool result;
    std::uint8_t byte140;
  };
  for (const Case& c : {Case{1, true, 0xFB}, Case{2, true, kUnset}, Case{3, false, kUnset},
                        Case{4, false, kUnset}, Case{5, false, kUnset}, Case{6, false, kUnset}}) {
    Bytes b = Header(kNodeQueryControlCode, 144);
    EXPECT_EQ(Serve(b, c.port), c.result) << "port " << c.port;
    EXPECT_EQ(b[140], c.byte140) << "port " << c.port;
    b[140] = kUnset;
    EXPECT_EQ(b, Header(kNodeQueryControlCode, 144)) << "only byte 140 may change";
  }
}

TEST_F(SimDriverCore, ModeQueryAndIdentifyAnswerInParmIn) {
  Bytes b = Answer(ModeQuery());
  EXPECT_EQ(ParmIn(ModeQuery(), b), (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(Status(b), 0);
  EXPECT_EQ(Flag(b), 0);
  EXPECT_EQ(Code(b), 0);

  Request to12 = ModeQuery();
  to12.node = 12;
  EXPECT_EQ(ParmIn(to12, Answer(to12, 2)), (Bytes{1, 0, 0, 0})) << "any served port";

  EXPECT_EQ(ParmIn(Identify(), Answer(Identify())), (Bytes{0, 0, 0, 0, 0, 0, 0xFF, 0}));
  Request partner = Identify();
  partner.node = 12;
  EXPECT_EQ(ParmIn(partner, Answer(partner)), Bytes(8, 0));
}

TEST_F(SimDriverCore, MemoryHoldsTheVpdRecordAtTheModesAddress) {
  std::uint8_t vpd[kVpdSize];
  BuildVpdRecord('1', 'A', vpd);
  const Bytes record(vpd, vpd + kVpdSize);
  EXPECT_EQ(DataIn(Read(0x70010, 256, 256), Answer(Read(0x70010, 256, 256))), record);

  // Straddling the record's start: zero bytes, then the record.
  const Request edge = Read(0x7000C, 8, 8);
  EXPECT_EQ(DataIn(edge, Answer(edge)), (Bytes{0, 0, 0, 0, 'V', 'P', 'D', 0}));

  // A count beyond the receiving area fills only the area; a shorter count
  // leaves the rest of it alone.
  const Request longer = Read(0x70010, 1000, 3);
  EXPECT_EQ(DataIn(longer, Answer(longer)), (Bytes{'V', 'P', 'D'}));
  const Request shorter = Read(0x70010, 2, 4);
  EXPECT_EQ(DataIn(shorter, Answer(shorter)), (Bytes{'V', 'P', kUnset, kUnset}));

  Request mode1 = Read2(0x783FFF00, 3, 3);
  mode1.node = 12;
  EXPECT_EQ(ParmIn(mode1, Answer(mode1)), (Bytes{'V', 'P', 'D'}));
  Request mode1_old_address = Read2(0x70010, 3, 3);
  mode1_old_address.node = 12;
  EXPECT_EQ(ParmIn(mode1_old_address, Answer(mode1_old_address)), Bytes(3, 0));
  Request mode2 = Read(0x70010, 3, 3);
  mode2.node = 13;
  EXPECT_EQ(DataIn(mode2, Answer(mode2)), Bytes(3, 0)) << "mode 2 has no record";
  const Request top = Read(0xFFFFFFFE, 4, 4);
  EXPECT_EQ(DataIn(top, Answer(top)), Bytes(4, 0));
}

TEST_F(SimDriverCore, TooShortParmOutIsRejectedWithFlag1) {
  for (Request r : {Read(0x70010, 4, 4), Read2(0x70010, 4, 4), GoodDownload(Bytes(8, 1))}) {
    r.parm_out.resize(r.code == 7 ? 15 : 7);
    const Bytes b = Answer(r);
    EXPECT_EQ(Flag(b), 1) << "code " << r.code;
    EXPECT_EQ(state_->firmware[0].download_count, 0u);
  }
}

TEST(SimDownloadLrc, SumsWholeLittleEndianWordsFromTheSeed) {
  EXPECT_EQ(DownloadLrc(nullptr, 0), 0xAAAAAAAAu);
  const Bytes words = {1, 0, 0, 0, 0, 1, 0, 0, 0xFF};
  EXPECT_EQ(DownloadLrc(words.data(), 9), 0xAAAAAAAAu + 1 + 256) << "the partial word is skipped";
  const Bytes wrap = Le32s({0x55555556});
  EXPECT_EQ(DownloadLrc(wrap.data(), 4), 0u);
}

// The sum runs in lanes over whole blocks of words and singly over the rest:
// every block count, tail and start alignment must give the plain sum.
TEST(SimDownloadLrc, MatchesTheWordByWordSumForEveryLengthAndAlignment) {
  Bytes bytes(4 + 200);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 151 + 7);
  for (std::size_t offset = 0; offset < 4; ++offset) {
    for (std::uint32_t length = 0; length <= 200; ++length) {
      std::uint32_t expected = 0xAAAAAAAAu;
      for (std::uint32_t at = 0; at + 4 <= length; at += 4) expected += GetLe32(bytes, offset + at);
      ASSERT_EQ(DownloadLrc(bytes.data() + offset, length), expected)
          << "offset " << offset << " length " << length;
    }
  }
}

TEST_F(SimDriverCore, GoodDownloadsAreKeptAndCounted) {
  Bytes image(1000);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7);
  const Request r = GoodDownload(image);
  Bytes b = Answer(r);
  EXPECT_EQ(Code(b), 0);
  EXPECT_EQ(Flag(b), 0);
  EXPECT_EQ(Slice(b, 140 + LayoutOf(r).data_out, image.size()), image) << "image left alone";
  Answer(r, 2);
  const FirmwareRecord& kept = state_->firmware[0];
  EXPECT_EQ(kept.length, 1000u);
  EXPECT_EQ(kept.lrc, DownloadLrc(image.data(), 1000));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(kept.code_id), 8), "CODEID01");
  EXPECT_EQ(kept.download_count, 2u);
  EXPECT_EQ(state_->firmware[1].download_count, 0u);
}

TEST_F(SimDriverCore, MismatchedDownloadsAnswerMinus10AndKeepNothing) {
  const Bytes image(64, 9);
  const std::uint32_t lrc = DownloadLrc(image.data(), 64);
  for (const Request& r :
       {Download(image, 60, lrc), Download(image, 68, lrc), Download(image, 64, lrc + 1)}) {
    const Bytes b = Answer(r);
    EXPECT_EQ(Status(b), 0);
    EXPECT_EQ(Code(b), -10);
    EXPECT_EQ(Flag(b), 0);
  }
  EXPECT_EQ(state_->firmware[0].download_count, 0u);
}

TEST_F(SimDriverCore, NoticesAndUnknownRequests) {
  for (std::uint16_t code : {0x225, 0x224}) {
    const Bytes b = Answer(Notice(code));
    EXPECT_EQ(Status(b), 0);
    EXPECT_EQ(Flag(b), 0);
    EXPECT_EQ(Code(b), 0);
  }
  for (const Request& r :
       {Request{.code = 99}, Request{.tx_class = 2, .unit = 17, .code = 4},
        Request{.tx_class = 2, .unit = 30, .code = 0x225}, Request{.tx_class = 4, .code = 11}}) {
    const Bytes b = Answer(r);
    EXPECT_EQ(Flag(b), 1) << "class " << int{r.tx_class} << " code " << r.code;
    EXPECT_EQ(Status(b), 0);
  }
}

TEST_F(SimDriverCore, UnknownNodeGetsStatus1AndNothingElse) {
  Request r = ModeQuery();
  r.node = 99;
  const Bytes before = Transaction(r);
  Bytes b = before;
  EXPECT_TRUE(Serve(b));
  EXPECT_EQ(b[39], 0x01);
  b[39] = before[39];
  EXPECT_EQ(b, before);
}

TEST_F(SimDriverCore, AnswerOverridesReplaceTheAdaptersAnswer) {
  struct Case {
    const char* name;
    Request request;
  };
  const Bytes image(16, 3);
  const Case cases[] = {{"mode", ModeQuery()},
                        {"read", Read(0x70010, 4, 4)},
                        {"read2", Read2(0x70010, 4, 4)},
                        {"identify", Identify()},
                        {"download", GoodDownload(image)},
                        {"pre_notice", Notice(0x225)},
                        {"post_notice", Notice(0x224)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string answers = std::string(R"({"ports": [{"port": 1, "driver": "qarmix"}],
        "adapters": [{"node": 11, "answers": {")") +
                                c.name;
    const Bytes untouched = Transaction(c.request);

    Load(answers + R"(": {"status": -3, "code": 5}}}]})");
    Bytes b = Answer(c.request);
    EXPECT_EQ(Status(b), -3);
    EXPECT_EQ(Code(b), 5);
    EXPECT_EQ(Flag(b), 0);
    b[39] = untouched[39];
    b[136] = untouched[136];
    b[137] = untouched[137];
    b[138] = untouched[138];
    EXPECT_EQ(b, untouched) << "nothing received is written";

    Load(answers + R"(": {"flag": 2}}}]})");
    b = Answer(c.request);
    EXPECT_EQ(Flag(b), 2);
    EXPECT_EQ(Slice(b, 140, b.size() - 140), Slice(untouched, 140, b.size() - 140));

    // Status and flag 0: carried out, answered with the given code.
    Load(answers + R"(": {"code": -7}}}]})");
    b = Answer(c.request);
    EXPECT_EQ(Code(b), -7);
    EXPECT_EQ(Status(b), 0);
    EXPECT_EQ(Flag(b), 0);
    EXPECT_EQ(state_->firmware[0].download_count, c.request.code == 7 ? 1u : 0u);

    Load(answers + R"(": "fail"}}]})");
    b = untouched;
    EXPECT_FALSE(Serve(b));
    EXPECT_EQ(b, untouched);
    EXPECT_EQ(state_->firmware[0].download_count, 0u);
  }
}

// The core can't wait itself: it tells its caller how long the adapter
// takes over a download, whatever the answer, and that nothing else takes
// time.
TEST_F(SimDriverCore, DownloadTimeIsToldToTheCaller) {
  Load(R"({"ports": [{"port": 1, "driver": "qarmix"}],
           "adapters": [{"node": 11, "download_ms": 250},
                        {"node": 12, "download_ms": 40, "answers": {"download": "fail"}},
                        {"node": 13}]})");
  const Bytes image(16, 3);
  const struct {
    std::uint32_t node;
    Request request;
    std::uint32_t busy_ms;
  } cases[] = {{11, GoodDownload(image), 250}, {11, Download(image, 15, 0), 250},
               {12, GoodDownload(image), 40},  {13, GoodDownload(image), 0},
               {11, Notice(0x225), 0},         {11, Read(0x70010, 4, 4), 0}};
  for (const auto& c : cases) {
    Request r = c.request;
    r.node = c.node;
    Bytes b = Transaction(r);
    std::uint32_t busy_ms = 12345;
    // Node 12's download fails, in its own time.
    EXPECT_EQ(ServeMiniportRequest(*config_, *state_, 1, b.data(),
                                   static_cast<std::uint32_t>(b.size()), &busy_ms),
              c.node != 12);
    EXPECT_EQ(busy_ms, c.busy_ms) << "node " << c.node << " code " << r.code;
  }
}

TEST_F(SimDriverCore, MalformedPacketsAreRefusedUntouched) {
  struct Case {
    const char* what;
    void (*spoil)(Bytes&);
  };
  const Case cases[] = {{"header length", [](Bytes& b) { PutLe32(b, 0, 29); }},
                        {"length field", [](Bytes& b) { PutLe32(b, 24, GetLe32(b, 24) + 1); }},
                        {"signature", [](Bytes& b) { b[4] = 'Q'; }},
                        {"control code", [](Bytes& b) { PutLe32(b, 16, 0x80000003); }},
                        {"size under 143",
                         [](Bytes& b) {
                           b.resize(142);
                           PutLe32(b, 24, 142 - 28);
                         }},
                        {"data in past the end", [](Bytes& b) { PutLe32(b, 104 + 12, 1000); }},
                        {"parm in base past the end", [](Bytes& b) { PutLe32(b, 120 + 4, 16); }},
                        {"offset wraps around", [](Bytes& b) { PutLe32(b, 72 + 8, 0xFFFFFFFF); }},
                        {"base and length wrap", [](Bytes& b) {
                           PutLe32(b, 88 + 4, 0x80000000);
                           PutLe32(b, 88 + 12, 0x80000000);
                         }}};
  for (const Case& c : cases) {
    Bytes b = Transaction(Read(0x70010, 4, 4));
    c.spoil(b);
    const Bytes before = b;
    EXPECT_FALSE(Serve(b)) << c.what;
    EXPECT_EQ(b, before) << c.what;
  }
  Bytes tiny = Header(kNodeQueryControlCode, 140);
  EXPECT_FALSE(Serve(tiny)) << "node byte outside the buffer";
  Bytes header_only(27, 0);
  EXPECT_FALSE(Serve(header_only));
}

TEST_F(SimDriverCore, FailingTransactionsOnlyFailOnTheirPort) {
  Bytes b = Transaction(ModeQuery());
  EXPECT_FALSE(Serve(b, 3));
  EXPECT_FALSE(Serve(b, 4)) << "another driver";
  EXPECT_TRUE(Serve(b, 2));
}

TEST_F(SimDriverCore, PortFailsFromItsTransactionLimitOn) {
  Load(R"({"ports": [{"port": 1, "driver": "qarmix", "node": 11, "fail_after": 2},
                     {"port": 2, "driver": "qarmix", "fail_after": 0}],
           "adapters": [{"node": 11}]})");
  for (int i = 0; i < 2; ++i) Answer(ModeQuery());
  Bytes third = Transaction(ModeQuery());
  const Bytes sent = third;
  EXPECT_FALSE(Serve(third));
  EXPECT_EQ(third, sent);
  Bytes again = Transaction(Identify());
  EXPECT_FALSE(Serve(again)) << "the device stays gone";
  Bytes query = Header(kNodeQueryControlCode, 144);
  EXPECT_TRUE(Serve(query)) << "only transactions are counted";
  Bytes other = Transaction(ModeQuery());
  EXPECT_FALSE(Serve(other, 2)) << "a limit of 0 fails the first one";
}

TEST_F(SimDriverCore, GarbageCoversAllButWhatTheSystemReadsBack) {
  Load(R"({"ports": [{"port": 1, "driver": "qarmix"}],
           "adapters": [{"node": 11, "garbage": true, "answers": {"read": {"code": -7}}},
                        {"node": 12}]})");
  Request clean = Read(0x70010, 256, 256);
  clean.node = 12;
  const Bytes expected = Answer(clean);
  const Request read = Read(0x70010, 256, 256);
  Bytes b = Transaction(read);
  const Bytes sent = b;
  ASSERT_TRUE(Serve(b));
  EXPECT_EQ(Status(b), 0);
  EXPECT_EQ(Code(b), -7);
  EXPECT_EQ(Flag(b), 0);
  EXPECT_EQ(DataIn(read, b), DataIn(clean, expected));
  std::size_t changed = 0;
  for (std::size_t at = 0; at < 140 + 8; ++at) changed += b[at] != sent[at];
  EXPECT_GT(changed, 100u) << "header, DPB copy and ParmOut are garbage";

  // Garbage in a ParmIn answer leaves the answer itself.
  Bytes mode = Transaction(ModeQuery());
  ASSERT_TRUE(Serve(mode));
  EXPECT_EQ(ParmIn(ModeQuery(), mode), (Bytes{0, 0, 0, 0}));
  // The same bytes after each load, so that runs repeat.
  Load(R"({"ports": [{"port": 1, "driver": "qarmix"}],
           "adapters": [{"node": 11, "garbage": true, "answers": {"read": {"code": -7}}}]})");
  Bytes repeat = Transaction(read);
  ASSERT_TRUE(Serve(repeat));
  EXPECT_EQ(repeat, b);
}

TEST_F(SimDriverCore, SixtyFourMebibyteDownloadIsVerifiedQuickly) {
  Bytes image(64u << 20);
  for (std::size_t i = 0; i < image.size(); i += 4093) image[i] = static_cast<std::uint8_t>(i);
  Bytes b = Transaction(GoodDownload(image));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Serve(b));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(Code(b), 0);
  EXPECT_EQ(state_->firmware[0].length, 64u << 20);
  EXPECT_LT(took, std::chrono::seconds(2));
}

// Generated adapters and request sequences against a model: an adapter
// answers as `answers` say until it holds kept firmware (a good download
// carried out, or firmware it starts with, as from a state file), and as
// `after_download` says from then on, when it has them.
TEST_F(SimDriverCore, AfterDownloadAnswersFollowTheModel) {
  std::mt19937 random(3);
  const Bytes image(24, 9);
  const Request requests[] = {ModeQuery(),   Read(0x70010, 4, 4),   Read2(0x70010, 4, 4),
                              Identify(),    GoodDownload(image),   Notice(0x225),
                              Notice(0x224), Download(image, 24, 1)};
  const Operation ops[] = {Operation::kModeQuery,  Operation::kRead,     Operation::kRead2,
                           Operation::kIdentify,   Operation::kDownload, Operation::kPreNotice,
                           Operation::kPostNotice, Operation::kDownload};
  const auto random_answer = [&] {
    sim::Answer answer;
    switch (random() % 4) {
      case 0:
        break;
      case 1:
        answer.kind = AnswerKind::kFail;
        break;
      case 2:
        answer.kind = AnswerKind::kOverride;
        answer.status = static_cast<std::int8_t>(random() % 2 ? -3 : 0);
        answer.flag = static_cast<std::uint8_t>(random() % 2 ? 2 : 0);
        [[fallthrough]];
      default:
        answer.kind = AnswerKind::kOverride;
        answer.code = static_cast<std::int16_t>(random() % 100 - 50);
    }
    return answer;
  };
  for (int round = 0; round < 400; ++round) {
    Load(R"({"ports": [{"port": 1, "driver": "qarmix"}], "adapters": [{"node": 11}]})");
    AdapterConfig& adapter = config_->adapters[0];
    for (sim::Answer& answer : adapter.answers) answer = random_answer();
    for (sim::Answer& answer : adapter.after_download) answer = random_answer();
    adapter.has_after_download = random() % 4 != 0;
    bool kept = random() % 3 == 0;
    state_->firmware[0].download_count = kept ? 1 : 0;
    for (int step = 0; step < 12; ++step) {
      const std::size_t which = random() % std::size(requests);
      const bool good_download = which == 4;
      const sim::Answer& answer =
          (adapter.has_after_download && kept ? adapter.after_download
                                              : adapter.answers)[static_cast<int>(ops[which])];
      Bytes b = Transaction(requests[which]);
      const bool served = Serve(b);
      SCOPED_TRACE("round " + std::to_string(round) + " step " + std::to_string(step));
      ASSERT_EQ(served, answer.kind != AnswerKind::kFail);
      if (!served) continue;
      const bool carried_out =
          answer.kind == AnswerKind::kCarryOut || (answer.status == 0 && answer.flag == 0);
      EXPECT_EQ(Status(b), carried_out ? 0 : answer.status);
      EXPECT_EQ(Flag(b), carried_out ? 0 : answer.flag);
      const std::int16_t carried_code = which == 7 ? kDownloadRejectedCode : 0;
      EXPECT_EQ(Code(b), answer.kind == AnswerKind::kOverride ? answer.code : carried_code);
      kept = kept || (good_download && carried_out);
      EXPECT_EQ(state_->firmware[0].download_count > 0, kept);
    }
  }
}

TEST_F(SimDriverCore, DownloadCountStopsAtItsLargestValue) {
  state_->firmware[0].download_count = UINT32_MAX;
  Answer(GoodDownload(Bytes(8, 1)));
  EXPECT_EQ(state_->firmware[0].download_count, UINT32_MAX);
  EXPECT_EQ(state_->firmware[0].length, 8u);
}

}  // namespace
}  // namespace sim
