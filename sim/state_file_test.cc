#include "sim/state_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "sim/machine.h"
#include "sim/test_packets.h"
#include "sim/windows_api.h"

namespace sim {
namespace {

using namespace test_packets;

std::string ReadFile(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

/// A directory of its own for each test, removed with what it holds.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = ::testing::TempDir() + "sim_state_XXXXXX";
    path_ = mkdtemp(pattern.data());
  }
  ~ScratchDir() {
    for (const std::string& name : Names()) unlink((path_ + "/" + name).c_str());
    rmdir(path_.c_str());
  }
  std::string Path(const std::string& name) const { return path_ + "/" + name; }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    DIR* dir = opendir(path_.c_str());
    while (dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    if (dir != nullptr) closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::string path_;
};

auto Key(const KeptEntry& e) {
  return std::make_tuple(e.node, e.serial, e.firmware.length, e.firmware.lrc,
                         std::string(e.firmware.code_id, e.firmware.code_id + kCodeIdSize),
                         e.firmware.download_count);
}

std::vector<KeptEntry> Sorted(std::vector<KeptEntry> entries) {
  std::sort(entries.begin(), entries.end(),
            [](const KeptEntry& a, const KeptEntry& b) { return Key(a) < Key(b); });
  return entries;
}

bool SameEntries(const std::vector<KeptEntry>& a, const std::vector<KeptEntry>& b) {
  const std::vector<KeptEntry> x = Sorted(a), y = Sorted(b);
  return std::equal(x.begin(), x.end(), y.begin(), y.end(),
                    [](const KeptEntry& l, const KeptEntry& r) { return Key(l) == Key(r); });
}

// Serial numbers drawn to hit the escapes: '%', control bytes, bytes above
// 0x7F, NULs and plain digits.
std::string RandomSerial(std::mt19937& random) {
  static const char kAlphabet[] = {'0', '1', 'A', '%', ' ', '\0', '\x7f', '\x80', '\xff', '\n'};
  std::string serial;
  const int length = static_cast<int>(random() % 12);
  for (int i = 0; i < length; ++i) {
    serial += random() % 3 == 0 ? static_cast<char>(random() % 256)
                                : kAlphabet[random() % sizeof kAlphabet];
  }
  return serial;
}

TEST(SimStateFile, GeneratedStatesReadBackAsTheyWereWritten) {
  std::mt19937 random(21);
  for (int round = 0; round < 300; ++round) {
    std::vector<KeptEntry> entries;
    const int count = static_cast<int>(random() % 7);
    for (int i = 0; i < count; ++i) {
      KeptEntry entry;
      // Few nodes, so that one node often has several serials.
      entry.node = random() % 2 == 0 ? random() % 3 : static_cast<std::uint32_t>(random());
      entry.serial = RandomSerial(random);
      entry.firmware.length = static_cast<std::uint32_t>(random());
      entry.firmware.lrc = static_cast<std::uint32_t>(random());
      for (std::uint8_t& byte : entry.firmware.code_id) byte = static_cast<std::uint8_t>(random());
      entry.firmware.download_count = random() % 2 == 0 ? 1 + random() % 3 : UINT32_MAX;
      const bool taken = std::any_of(entries.begin(), entries.end(), [&](const KeptEntry& e) {
        return e.node == entry.node && e.serial == entry.serial;
      });
      if (!taken) entries.push_back(entry);
    }
    const std::string text = FormatStateFile(entries);
    std::vector<KeptEntry> read;
    ASSERT_EQ(ParseStateFile(text, read), "") << text;
    EXPECT_TRUE(SameEntries(read, entries)) << text;
    EXPECT_EQ(FormatStateFile(read), text) << "the text is the same whatever the order";
  }
}

TEST(SimStateFile, TextIsOneAdapterALineOrderedByNode) {
  KeptEntry a{12, "SN 12%", {1000, 0xAAAAAAABu, {'C', 'O', 'D', 'E', 'I', 'D', '0', '1'}, 2}};
  KeptEntry b{3, std::string("\x01\xfe", 2), {8, 7, {}, 1}};
  EXPECT_EQ(FormatStateFile({a, b}),
            "{\"adapters\": [\n"
            "  {\"node\":3,\"sn\":\"%01%fe\",\"length\":8,\"lrc\":7,"
            "\"code_id\":\"0000000000000000\",\"downloads\":1},\n"
            "  {\"node\":12,\"sn\":\"SN 12%25\",\"length\":1000,\"lrc\":2863311531,"
            "\"code_id\":\"434f444549443031\",\"downloads\":2}\n"
            "]}\n");
  EXPECT_EQ(FormatStateFile({}), "{\"adapters\": []}\n");
  std::vector<KeptEntry> read{a};
  EXPECT_EQ(ParseStateFile("", read), "");
  EXPECT_TRUE(read.empty()) << "an empty file (mktemp's) keeps nothing";
}

TEST(SimStateFile, RejectsWhatDoesNotFitTheFormat) {
  const std::string entry =
      R"("node": 12, "sn": "0000000000", "length": 8, "lrc": 7, "code_id": "434f444549443031")";
  const auto state = [&](const std::string& fields) {
    return R"({"adapters": [{)" + entry + ", " + fields + "}]}";
  };
  struct Case {
    std::string text;
    std::string error;
  };
  const Case cases[] = {
      {"{",
       "not valid JSON: parse error at line 1, column 2: syntax error while parsing object key - "
       "unexpected end of input; "
       "expected string literal"},
      {"[]", "the state must be a JSON object"},
      {"{}", "missing required field \"adapters\""},
      {R"({"ports": [], "adapters": []})", "unknown field \"ports\""},
      {R"({"adapters": {}})", "adapters: must be an array"},
      {R"({"adapters": [1]})", "adapters[0]: must be an object"},
      {R"({"adapters": [{"node": 1}]})", "adapters[0]: missing required field \"sn\""},
      {state(R"("downloads": 1, "extra": 0)"), "adapters[0]: unknown field \"extra\""},
      {state(R"("downloads": 0)"),
       "adapters[0].downloads: must be an integer from 1 to 4294967295"},
      {state(R"("downloads": 1.0)"),
       "adapters[0].downloads: must be an integer from 1 to 4294967295"},
      {state(R"("downloads": 4294967296)"),
       "adapters[0].downloads: must be an integer from 1 to 4294967295"},
      {state(R"("downloads": 1, "downloads": 2)"), "adapters[0]: duplicate field \"downloads\""},
      {R"({"adapters": [{"node": -1, "sn": "", "length": 8, "lrc": 7, "code_id": "", )"
       R"("downloads": 1}]})",
       "adapters[0].node: must be an integer from 0 to 4294967295"},
      {R"({"adapters": [{"node": 1, "sn": "%4", "length": 8, "lrc": 7, "code_id": "", )"
       R"("downloads": 1}]})",
       "adapters[0].sn: must be a string of printable ASCII characters, with %XX for other bytes"},
      {R"({"adapters": [{"node": 1, "sn": "\t", "length": 8, "lrc": 7, "code_id": "", )"
       R"("downloads": 1}]})",
       "adapters[0].sn: must be a string of printable ASCII characters, with %XX for other bytes"},
      {R"({"adapters": [{"node": 1, "sn": "", "length": 8, "lrc": 7, "code_id": "434f44454944303g", )"
       R"("downloads": 1}]})",
       "adapters[0].code_id: must be a string of 16 hex digits (8 bytes)"},
      {R"({"adapters": [{)" + entry + R"(, "downloads": 1}, {)" + entry + R"(, "downloads": 3}]})",
       "adapters[1]: node 12 with this \"sn\" is already adapters[0]"},
  };
  for (const Case& c : cases) {
    std::vector<KeptEntry> read{KeptEntry{}};
    EXPECT_EQ(ParseStateFile(c.text, read), c.error) << c.text;
    EXPECT_TRUE(read.empty()) << c.text;
  }
}

TEST(SimStateFile, SerialIsTheVpdRecordsSnValue) {
  std::uint8_t record[kVpdSize];
  BuildVpdRecord('1', 'A', record);
  EXPECT_EQ(VpdSerial(record), "0000000000");
  BuildVpdRecord('1', 'A', "ABC", 3, record);  // padded with a NUL to whole units
  EXPECT_EQ(VpdSerial(record), "ABC");
  BuildVpdRecord('1', 'A', "SN-12345", 8, record);
  EXPECT_EQ(VpdSerial(record), "SN-12345");
  std::fill(record, record + kVpdSize, 0);
  EXPECT_EQ(VpdSerial(record), "");
  // Keyword lengths that would run past the area or stand still.
  BuildVpdRecord('1', 'A', record);
  record[7 + 3] = 0;
  EXPECT_EQ(VpdSerial(record), "");
  BuildVpdRecord('1', 'A', record);
  record[4] = 3;
  EXPECT_EQ(VpdSerial(record), "") << "*SN lies beyond the area's end";
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    for (std::uint8_t& byte : record)
      byte = static_cast<std::uint8_t>(random() % 4 ? random() : '*');
    EXPECT_LE(VpdSerial(record).size(), std::size_t{kVpdSize});
  }
}

TEST(SimStateFile, WriteReplacesTheFileWholeAndLeavesNothingElse) {
  const ScratchDir dir;
  const std::string path = dir.Path("state.json");
  ASSERT_EQ(WriteFileWhole(path, "old text\n"), "");
  const int reader = open(path.c_str(), O_RDONLY);
  ASSERT_GE(reader, 0);
  ASSERT_EQ(WriteFileWhole(path, "new text, longer than the old one\n"), "");
  EXPECT_EQ(ReadFile(path), "new text, longer than the old one\n");
  // A reader of the old file (or a crash meanwhile) sees the old text whole:
  // the new one is a file of its own, put in place by a rename.
  char old_text[64] = {};
  EXPECT_EQ(read(reader, old_text, sizeof old_text), 9);
  EXPECT_STREQ(old_text, "old text\n");
  close(reader);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"state.json"});

  const std::string blocked = dir.Path("blocked");
  ASSERT_EQ(mkdir(blocked.c_str(), 0755), 0);
  EXPECT_EQ(WriteFileWhole(blocked, "text"), "Is a directory");
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"blocked", "state.json"}))
      << "the temporary file is removed";
  rmdir(blocked.c_str());
  EXPECT_EQ(WriteFileWhole(dir.Path("no/such/dir"), "text"), "No such file or directory");
}

// The machine as a process sees it: the state file is read when the machine
// loads and written after each good download.
class SimStateOfPlatform : public ::testing::Test {
 protected:
  static constexpr char kMachine[] = R"({
    "ports": [{"port": 1, "driver": "qarmix", "node": 11}],
    "adapters": [{"node": 11, "vpd": {"ll": "1A", "sn": "SN0011"},
                  "answers": {"identify": {"code": 4}},
                  "after_download": {"mode": "fail", "identify": {"status": -2}}},
                 {"node": 12, "vpd": {"ll": "1A"}}]})";

  void SetUp() override { setenv("QXFW_STATE", state_.c_str(), 1); }
  void TearDown() override {
    unsetenv("QXFW_STATE");
    UnloadMachine();
  }

  void Load(const std::string& machine = kMachine) { ASSERT_EQ(LoadMachine(machine), ""); }

  // Serves one request on port 1; false when DeviceIoControl returned 0.
  static bool Send(const Request& request, Bytes* answer = nullptr) {
    const HANDLE device = CreateFileA("\\\\.\\Scsi1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    Bytes packet = Transaction(request);
    DWORD returned = 0;
    const auto size = static_cast<DWORD>(packet.size());
    const BOOL ok = DeviceIoControl(device, IOCTL_SCSI_MINIPORT, packet.data(), size, packet.data(),
                                    size, &returned, nullptr);
    CloseHandle(device);
    if (answer != nullptr) *answer = packet;
    return ok != 0;
  }

  static Request ToNode(Request request, std::uint32_t node) {
    request.node = node;
    return request;
  }

  std::vector<KeptEntry> Entries() const {
    std::vector<KeptEntry> entries;
    EXPECT_EQ(ParseStateFile(ReadFile(state_), entries), "");
    return entries;
  }

  const ScratchDir dir_;
  const std::string state_ = dir_.Path("state.json");
  const Bytes image_ = Bytes(4096, 0x5A);
  const KeptFirmware kept_once_{
      4096, DownloadLrc(image_.data(), 4096), {'C', 'O', 'D', 'E', 'I', 'D', '0', '1'}, 1};
};

TEST_F(SimStateOfPlatform, AfterDownloadAnswersFromTheDownloadOfThisRunOn) {
  Load();
  EXPECT_EQ(dir_.Names(), std::vector<std::string>{}) << "nothing is written before a download";
  Bytes answer;
  ASSERT_TRUE(Send(Identify(), &answer));
  EXPECT_EQ(GetLe16(answer, 136), 4) << "answers, before any download";
  EXPECT_TRUE(Send(ModeQuery()));
  ASSERT_TRUE(Send(GoodDownload(image_), &answer));
  EXPECT_EQ(answer[39], 0);
  EXPECT_EQ(AdapterFirmware(11), kept_once_);
  EXPECT_FALSE(Send(ModeQuery())) << "after_download, from the download on";
  ASSERT_TRUE(Send(Identify(), &answer));
  EXPECT_EQ(static_cast<std::int8_t>(answer[39]), -2);
  ASSERT_TRUE(Send(ToNode(ModeQuery(), 12))) << "an adapter without after_download is as before";
  ASSERT_TRUE(Send(ToNode(GoodDownload(image_), 12)));
  ASSERT_TRUE(Send(ToNode(ModeQuery(), 12)));

  const std::vector<KeptEntry> entries = Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].node, 11u);
  EXPECT_EQ(entries[0].serial, "SN0011");
  EXPECT_EQ(entries[0].firmware.lrc, kept_once_.lrc);
  EXPECT_EQ(entries[0].firmware.download_count, 1u);
  EXPECT_EQ(entries[1].serial, "0000000000");
  EXPECT_EQ(dir_.Names(), std::vector<std::string>{"state.json"});
}

TEST_F(SimStateOfPlatform, NextLoadKeepsTheFirmwareAndItsAfterDownloadAnswers) {
  Load();
  ASSERT_TRUE(Send(GoodDownload(image_)));
  Load();  // as the next process does
  EXPECT_EQ(AdapterFirmware(11), kept_once_);
  EXPECT_EQ(AdapterFirmware(12), KeptFirmware{});
  EXPECT_FALSE(Send(ModeQuery())) << "after_download, from the state file";
  const Bytes other(64, 1);
  Bytes answer;
  ASSERT_TRUE(Send(Download(other, 64, 0), &answer));
  EXPECT_EQ(GetLe16(answer, 136), kDownloadRejectedCode);
  EXPECT_EQ(Entries()[0].firmware.download_count, 1u) << "a rejected download changes nothing";
  ASSERT_TRUE(Send(GoodDownload(other)));
  Load();
  EXPECT_EQ(AdapterFirmware(11)->download_count, 2u);
  EXPECT_EQ(AdapterFirmware(11)->length, 64u);
}

TEST_F(SimStateOfPlatform, AdapterSwappedAtItsNodeHasNoneOfTheOthersFirmware) {
  Load();
  ASSERT_TRUE(Send(GoodDownload(image_)));
  std::string swapped = kMachine;
  swapped.replace(swapped.find("SN0011"), 6, "SN0099");
  Load(swapped);
  EXPECT_EQ(AdapterFirmware(11), KeptFirmware{});
  EXPECT_TRUE(Send(ModeQuery())) << "no kept firmware: answers, not after_download";
  ASSERT_TRUE(Send(GoodDownload(Bytes(8, 2))));
  ASSERT_EQ(Entries().size(), 2u) << "the first adapter's entry stays for when it comes back";
  Load();
  EXPECT_EQ(AdapterFirmware(11), kept_once_);
  Load(R"({"adapters": [{"node": 12, "vpd": {"ll": "1A"}}]})");
  EXPECT_EQ(Entries().size(), 2u) << "a machine without the adapters forgets nothing";
}

TEST_F(SimStateOfPlatform, UnsetOrEmptyNothingIsKept) {
  unsetenv("QXFW_STATE");
  Load();
  ASSERT_TRUE(Send(GoodDownload(image_)));
  Load();
  EXPECT_EQ(AdapterFirmware(11), KeptFirmware{});
  EXPECT_EQ(dir_.Names(), std::vector<std::string>{});
  setenv("QXFW_STATE", state_.c_str(), 1);
  WriteFile(state_, "");
  Load();
  EXPECT_EQ(AdapterFirmware(11), KeptFirmware{});
  EXPECT_TRUE(Send(ModeQuery()));
}

TEST_F(SimStateOfPlatform, MalformedStateFileIsRefusedAndTheMachineStays) {
  Load();
  ASSERT_TRUE(Send(GoodDownload(image_)));
  const std::string good = ReadFile(state_);
  WriteFile(state_, good.substr(0, good.size() / 2));
  EXPECT_EQ(
      LoadMachine(R"({"adapters": []})").rfind("state file " + state_ + ": not valid JSON", 0), 0u);
  EXPECT_EQ(AdapterFirmware(11), kept_once_) << "the machine loaded before stays";
  WriteFile(state_, good);
  setenv("QXFW_STATE", "", 1);
  EXPECT_EQ(LoadMachine(kMachine), "QXFW_STATE is set but names no file");
}

void FirstCallWithState(const std::string& state, bool download) {
  setenv("QXFW_STATE", state.c_str(), 1);
  UnloadMachine();
  if (!LoadMachine(R"({"ports": [{"port": 1, "driver": "qarmix"}], "adapters": [{"node": 11}]})")
           .empty()) {
    std::_Exit(9);
  }
  if (download) {
    const HANDLE device = CreateFileA("\\\\.\\Scsi1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    Bytes packet = Transaction(GoodDownload(Bytes(64, 5)));
    DWORD returned = 0;
    const auto size = static_cast<DWORD>(packet.size());
    DeviceIoControl(device, IOCTL_SCSI_MINIPORT, packet.data(), size, packet.data(), size,
                    &returned, nullptr);
  }
  std::_Exit(0);
}

void FirstCallWithMachineAndState(const std::string& machine, const std::string& state) {
  setenv("QXFW_MACHINE", machine.c_str(), 1);
  setenv("QXFW_STATE", state.c_str(), 1);
  UnloadMachine();
  RegCloseKey(HKEY_LOCAL_MACHINE);
  std::_Exit(0);
}

TEST(SimStateDeathTest, StateThatCantBeReadOrWrittenEndsTheProcessWithOneLine) {
  const ScratchDir dir;
  const std::string machine = dir.Path("machine.json");
  WriteFile(machine, R"({"adapters": [{"node": 11}]})");
  const std::string bad = dir.Path("bad.json");
  WriteFile(bad, R"({"adapters": [{"node": 11}]})");
  EXPECT_EXIT(FirstCallWithMachineAndState(machine, bad), ::testing::ExitedWithCode(2),
              "^qxfwload: simulated machine: state file " + bad +
                  ": adapters\\[0\\]: missing required field \"sn\"\n$");
  EXPECT_EXIT(FirstCallWithMachineAndState(machine, dir.Path("")), ::testing::ExitedWithCode(2),
              "state file .* cannot be read: Is a directory\n$");
  const std::string unwritable = dir.Path("missing/state.json");
  EXPECT_EXIT(FirstCallWithState(unwritable, true), ::testing::ExitedWithCode(2),
              "^qxfwload: simulated machine: state file " + unwritable +
                  " cannot be written: No such file or directory\n$");
  EXPECT_EXIT(FirstCallWithState(unwritable, false), ::testing::ExitedWithCode(0), "")
      << "a state file that doesn't exist yet holds nothing";
  unsetenv("QXFW_MACHINE");
  unsetenv("QXFW_STATE");
  UnloadMachine();
}

}  // namespace
}  // namespace sim
