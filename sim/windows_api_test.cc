#include "sim/windows_api.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/machine.h"
#include "sim/test_packets.h"

namespace sim {
namespace {

using namespace test_packets;

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr char kPort1[] = "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 1";
constexpr char kPort2[] = "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 2";

constexpr char kMachine[] = R"({
  "ports": [{"port": 0, "driver": "atapi"},
            {"port": 1, "driver": "qarmix", "node": 11},
            {"port": 2, "driver": "abcdefghijklmnop"},
            {"port": 3, "driver": "qarmix", "device": "missing"},
            {"port": 4}],
  "adapters": [{"node": 11}]})";

std::string Hex(const Bytes& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 0xF];
  }
  return out;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "sim_" + std::to_string(getpid()) + "_" + name;
}

LSTATUS Open(const char* path, HKEY* key, REGSAM access = KEY_QUERY_VALUE) {
  return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, key);
}

HANDLE OpenDevice(const char* name, DWORD access = kReadWrite) {
  return CreateFileA(name, access, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Sends `packet` the way the transport does: one buffer, in and out.
BOOL Send(HANDLE device, Bytes& packet, DWORD* returned) {
  const auto size = static_cast<DWORD>(packet.size());
  return DeviceIoControl(device, IOCTL_SCSI_MINIPORT, packet.data(), size, packet.data(), size,
                         returned, nullptr);
}

std::intptr_t Number(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

class SimPlatform : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(LoadMachine(kMachine), ""); }
  void TearDown() override { StopTraceRecording(); }
};

TEST_F(SimPlatform, RegistryHoldsAKeyPerListedPortWhateverTheCase) {
  struct Case {
    const char* path;
    LSTATUS result;
  };
  for (const Case& c :
       {Case{kPort1, ERROR_SUCCESS}, Case{"hardware\\devicemap\\SCSI\\scsi port 4", ERROR_SUCCESS},
        Case{"HARDWARE\\DEVICEMAP\\Scsi", ERROR_SUCCESS},
        Case{"HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 5", ERROR_FILE_NOT_FOUND},
        Case{"HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 01", ERROR_FILE_NOT_FOUND},
        Case{"HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 1\\x", ERROR_FILE_NOT_FOUND}}) {
    HKEY key = nullptr;
    EXPECT_EQ(Open(c.path, &key), c.result) << c.path;
    EXPECT_EQ(key == nullptr, c.result != ERROR_SUCCESS) << c.path;
    if (key != nullptr) {
      EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    }
  }
  HKEY scsi = nullptr;
  HKEY port = nullptr;
  ASSERT_EQ(Open("HARDWARE\\DEVICEMAP\\Scsi", &scsi), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExA(scsi, "Scsi Port 1", 0, KEY_QUERY_VALUE, &port), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(port), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(port), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExA(port, "x", 0, KEY_QUERY_VALUE, &port), ERROR_INVALID_HANDLE);

  ASSERT_EQ(LoadMachine("{}"), "");
  EXPECT_EQ(Open(kPort1, &port), ERROR_FILE_NOT_FOUND) << "the empty machine has no port keys";
}

TEST_F(SimPlatform, DriverValueIsAStringWithItsNul) {
  HKEY key = nullptr;
  ASSERT_EQ(Open(kPort1, &key), ERROR_SUCCESS);
  BYTE buffer[16];
  DWORD size = sizeof buffer;
  DWORD type = 0;
  ASSERT_EQ(RegQueryValueExA(key, "dRIVER", nullptr, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size), std::string("qarmix\0", 7));
  EXPECT_EQ(RegQueryValueExA(key, "Drivers", nullptr, nullptr, buffer, &size),
            ERROR_FILE_NOT_FOUND);

  // Sixteen characters and the NUL do not fit sixteen bytes.
  ASSERT_EQ(Open(kPort2, &key), ERROR_SUCCESS);
  std::fill(std::begin(buffer), std::end(buffer), 0xEE);
  size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExA(key, "Driver", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 17u);
  EXPECT_EQ(std::count(std::begin(buffer), std::end(buffer), 0xEE), 16) << "nothing written";
  size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "Driver", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 17u);

  ASSERT_EQ(Open("HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 4", &key), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(key, "Driver", nullptr, nullptr, buffer, &size), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(Open(kPort1, &key, 0), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(key, "Driver", nullptr, nullptr, buffer, &size), 5)
      << "a key opened without KEY_QUERY_VALUE";
}

TEST_F(SimPlatform, OnlyListedPresentDevicesOpen) {
  EXPECT_EQ(Number(OpenDevice("\\\\.\\Scsi1:")), kFirstDeviceHandle);
  EXPECT_EQ(Number(OpenDevice("\\\\.\\scsi0:")), kFirstDeviceHandle + 1) << "another driver";
  EXPECT_EQ(Number(OpenDevice("\\\\.\\Scsi4:")), kFirstDeviceHandle + 2) << "no driver value";
  for (const char* name :
       {"\\\\.\\Scsi3:", "\\\\.\\Scsi5:", "\\\\.\\Scsi1", "\\\\.\\Scsi01:", "Scsi1:"}) {
    EXPECT_EQ(OpenDevice(name), INVALID_HANDLE_VALUE) << name;
  }
  EXPECT_EQ(CreateFileA("\\\\.\\Scsi1:", kReadWrite, 0, nullptr, 2, 0, nullptr),
            INVALID_HANDLE_VALUE)
      << "devices open only with OPEN_EXISTING";
  const HANDLE first = reinterpret_cast<HANDLE>(kFirstDeviceHandle);
  EXPECT_EQ(CloseHandle(first), 1);
  EXPECT_EQ(CloseHandle(first), 0);
  EXPECT_EQ(CloseHandle(INVALID_HANDLE_VALUE), 0);

  ASSERT_EQ(LoadMachine(kMachine), "");
  EXPECT_EQ(Number(OpenDevice("\\\\.\\Scsi1:")), kFirstDeviceHandle) << "numbering restarts";
}

TEST_F(SimPlatform, DeviceIoControlReachesTheDriverOnlyAsTheTransportCallsIt) {
  const HANDLE qarmix = OpenDevice("\\\\.\\Scsi1:");
  const HANDLE atapi = OpenDevice("\\\\.\\Scsi0:");
  const HANDLE read_only = OpenDevice("\\\\.\\Scsi1:", GENERIC_READ);
  Bytes packet = Header(kNodeQueryControlCode, 144);
  DWORD returned = 99;
  ASSERT_EQ(Send(qarmix, packet, &returned), 1);
  EXPECT_EQ(packet[140], 11);
  EXPECT_EQ(returned, 144u);

  EXPECT_EQ(Send(atapi, packet, &returned), 0);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(Send(read_only, packet, &returned), 0);
  EXPECT_EQ(Send(qarmix, packet, nullptr), 0);
  Bytes other(packet.size());
  EXPECT_EQ(DeviceIoControl(qarmix, IOCTL_SCSI_MINIPORT, packet.data(), 144, other.data(), 144,
                            &returned, nullptr),
            0);
  EXPECT_EQ(
      DeviceIoControl(qarmix, 0x4D004, packet.data(), 144, packet.data(), 144, &returned, nullptr),
      0);
  ASSERT_EQ(CloseHandle(qarmix), 1);
  EXPECT_EQ(Send(qarmix, packet, &returned), 0);
}

TEST_F(SimPlatform, AdaptersKeepTheirFirmwareUntilTheNextLoad) {
  EXPECT_EQ(AdapterFirmware(11), KeptFirmware{});
  EXPECT_EQ(AdapterFirmware(12), std::nullopt);
  const HANDLE device = OpenDevice("\\\\.\\Scsi1:");
  const Bytes image(4096, 0x5A);
  Bytes packet = Transaction(GoodDownload(image));
  DWORD returned = 0;
  ASSERT_EQ(Send(device, packet, &returned), 1);
  const KeptFirmware expected{
      4096, DownloadLrc(image.data(), 4096), {'C', 'O', 'D', 'E', 'I', 'D', '0', '1'}, 1};
  EXPECT_EQ(AdapterFirmware(11), expected);
  ASSERT_EQ(LoadMachine(kMachine), "");
  EXPECT_EQ(AdapterFirmware(11), KeptFirmware{});
}

TEST_F(SimPlatform, FailedLoadKeepsTheCurrentMachine) {
  EXPECT_EQ(LoadMachine(R"({"ports": [{"port": 99}]})"),
            "ports[0].port: must be an integer from 0 to 15");
  HKEY key = nullptr;
  EXPECT_EQ(Open(kPort1, &key), ERROR_SUCCESS);
}

TEST_F(SimPlatform, TraceLinesOfEveryCall) {
  StartTraceRecording();
  HKEY key = nullptr;
  HKEY long_key = nullptr;
  BYTE buffer[16];
  DWORD size = sizeof buffer;
  Open(kPort1, &key);
  RegQueryValueExA(key, "Driver", nullptr, nullptr, buffer, &size);
  Open(kPort2, &long_key);
  size = sizeof buffer;
  RegQueryValueExA(long_key, "Driver", nullptr, nullptr, buffer, &size);
  RegCloseKey(key);
  RegCloseKey(key);
  const HANDLE device = OpenDevice("\\\\.\\Scsi1:");
  OpenDevice("\\\\.\\Scsi3:");
  Bytes packet = Header(kNodeQueryControlCode, 144);
  const std::string sent = Hex(packet);
  DWORD returned = 0;
  Send(device, packet, &returned);
  CloseHandle(device);
  CloseHandle(device);
  StopTraceRecording();
  OpenDevice("\\\\.\\Scsi1:");

  const std::vector<std::string> expected = {
      R"({"op":"RegOpenKeyExA","path":"HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 1","access":1,)"
      R"("result":0})",
      R"({"op":"RegQueryValueExA","name":"Driver","size":16,"result":0,)"
      R"("value":"7161726d697800"})",
      R"({"op":"RegOpenKeyExA","path":"HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 2","access":1,)"
      R"("result":0})",
      R"({"op":"RegQueryValueExA","name":"Driver","size":16,"result":234})",
      R"({"op":"RegCloseKey","path":"HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 1","result":0})",
      R"({"op":"RegCloseKey","result":6})",
      R"({"op":"CreateFileA","name":"\\\\.\\Scsi1:","access":3221225472,"share":1,)"
      R"("disposition":3,"flags":0,"handle":4})",
      R"({"op":"CreateFileA","name":"\\\\.\\Scsi3:","access":3221225472,"share":1,)"
      R"("disposition":3,"flags":0,"handle":-1})",
      R"({"op":"DeviceIoControl","handle":4,"port":1,"code":315400,"size":144,"sent":")" + sent +
          R"(","answer":")" + Hex(packet) + R"(","result":1})",
      R"({"op":"CloseHandle","handle":4,"port":1})",
      R"({"op":"CloseHandle","handle":4})",
  };
  EXPECT_EQ(RecordedTrace(), expected);
  EXPECT_NE(sent, Hex(packet)) << "the answer shows the node byte";
}

TEST_F(SimPlatform, TraceFileIsAppendedLineByLine) {
  const std::string path = TempPath("trace.jsonl");
  { std::ofstream(path) << "earlier\n"; }
  setenv("QXFW_TRACE", path.c_str(), 1);
  UnloadMachine();
  ASSERT_EQ(LoadMachine(kMachine), "");
  StartTraceRecording();
  OpenDevice("\\\\.\\Scsi1:");
  CloseHandle(reinterpret_cast<HANDLE>(kFirstDeviceHandle));
  const std::string written = ReadFile(path);
  unsetenv("QXFW_TRACE");
  UnloadMachine();
  const std::vector<std::string> lines = RecordedTrace();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(written, "earlier\n" + lines[0] + "\n" + lines[1] + "\n");
  std::remove(path.c_str());
}

TEST_F(SimPlatform, FirstCallLoadsTheMachineFileNamedInTheEnvironment) {
  const std::string path = TempPath("machine.json");
  { std::ofstream(path) << R"({"ports": [{"port": 7, "driver": "qarmix"}]})"; }
  setenv("QXFW_MACHINE", path.c_str(), 1);
  UnloadMachine();
  HKEY key = nullptr;
  EXPECT_EQ(Open("HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 7", &key), ERROR_SUCCESS);
  EXPECT_EQ(Open(kPort1, &key), ERROR_FILE_NOT_FOUND);
  unsetenv("QXFW_MACHINE");
  UnloadMachine();
  EXPECT_EQ(Open("HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 7", &key), ERROR_FILE_NOT_FOUND)
      << "no QXFW_MACHINE: the empty machine";
  std::remove(path.c_str());
}

TEST_F(SimPlatform, ExecutionStateIsKeptAndTraced) {
  StartTraceRecording();
  EXPECT_EQ(SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED), ES_CONTINUOUS);
  // Without ES_CONTINUOUS the call keeps nothing.
  EXPECT_EQ(SetThreadExecutionState(ES_SYSTEM_REQUIRED), ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  EXPECT_EQ(SetThreadExecutionState(ES_CONTINUOUS), ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  EXPECT_EQ(RecordedTrace(),
            (std::vector<std::string>{
                R"({"op":"SetThreadExecutionState","flags":2147483649,"result":2147483648})",
                R"({"op":"SetThreadExecutionState","flags":1,"result":2147483649})",
                R"({"op":"SetThreadExecutionState","flags":2147483648,"result":2147483649})"}));
}

void CountAlarm(int) {}

// An adapter's download time is spent in full, also when a signal that the
// program handles arrives meanwhile.
TEST_F(SimPlatform, DownloadTakesTheAdaptersTimeWhateverSignalsCome) {
  ASSERT_EQ(LoadMachine(R"({"ports": [{"port": 1, "driver": "qarmix", "node": 11}],
                           "adapters": [{"node": 11, "download_ms": 150}]})"),
            "");
  struct sigaction alarm = {};
  alarm.sa_handler = CountAlarm;
  alarm.sa_flags = SA_RESTART;
  struct sigaction before;
  sigaction(SIGALRM, &alarm, &before);
  const itimerval every_20_ms = {{0, 20000}, {0, 20000}};
  setitimer(ITIMER_REAL, &every_20_ms, nullptr);
  const HANDLE device = OpenDevice("\\\\.\\Scsi1:");
  Bytes packet = Transaction(GoodDownload(Bytes(64, 5)));
  DWORD returned = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(Send(device, packet, &returned));
  const auto took = std::chrono::steady_clock::now() - start;
  const itimerval stop = {};
  setitimer(ITIMER_REAL, &stop, nullptr);
  sigaction(SIGALRM, &before, nullptr);
  EXPECT_GE(took, std::chrono::milliseconds(150));
  EXPECT_EQ(AdapterFirmware(11)->download_count, 1u);
}

std::string EscapeRegex(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (std::string_view(".[]{}()\\*+?^$|").find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  return out;
}

// Loads the machine the way the first platform call of a process does.
void FirstCallWith(const std::string& machine) {
  setenv("QXFW_MACHINE", machine.c_str(), 1);
  UnloadMachine();
  RegCloseKey(HKEY_LOCAL_MACHINE);
}

TEST(SimPlatformDeathTest, BadMachineFileStopsTheProcessWithOneLine) {
  const std::string bad = TempPath("bad.json");
  { std::ofstream(bad) << R"({"ports": [{"port": 1, "drive": "qarmix"}]})"; }
  const std::string missing = TempPath("missing.json");
  struct Case {
    std::string machine;
    std::string line;
  };
  for (const Case& c :
       {Case{bad, bad + ": ports[0]: unknown field \"drive\""},
        Case{missing, missing + ": cannot be read: No such file or directory"},
        Case{::testing::TempDir(), ::testing::TempDir() + ": cannot be read: Is a directory"},
        Case{"", "QXFW_MACHINE is set but names no file"}}) {
    // Built by appending: g++ 12 warns falsely (-Wrestrict) about "^" + a string.
    std::string whole_line = "^";
    whole_line += EscapeRegex("qxfwload: simulated machine: " + c.line + "\n");
    whole_line += "$";
    EXPECT_EXIT(FirstCallWith(c.machine), ::testing::ExitedWithCode(2), whole_line);
  }
  std::remove(bad.c_str());
}

// Each statement runs in a child process of its own.
void SendDownloadWithTrace(const char* trace) {
  setenv("QXFW_TRACE", trace, 1);
  UnloadMachine();
  if (!LoadMachine(kMachine).empty()) std::_Exit(9);
  const HANDLE device = OpenDevice("\\\\.\\Scsi1:");
  Bytes packet = Transaction(GoodDownload(Bytes(64, 5)));
  DWORD returned = 0;
  Send(device, packet, &returned);
  std::_Exit(0);
}

TEST(SimPlatformDeathTest, TraceThatCantBeWrittenEndsTheProcessBeforeTheAnswer) {
  EXPECT_EXIT(SendDownloadWithTrace("/dev/full"), ::testing::ExitedWithCode(2),
              "^qxfwload: simulated machine: trace file cannot be written: No space left on "
              "device\n$");
}

// With standard output closed, the trace must not take its descriptor: the
// program's output would go into it.
void OpenTraceWithStandardOutputClosed(const std::string& trace) {
  close(STDOUT_FILENO);
  setenv("QXFW_TRACE", trace.c_str(), 1);
  UnloadMachine();
  RegCloseKey(HKEY_LOCAL_MACHINE);
  const bool still_closed = fcntl(STDOUT_FILENO, F_GETFD) < 0 && errno == EBADF;
  std::_Exit(still_closed ? 0 : 1);
}

TEST(SimPlatformDeathTest, TraceNeverTakesAStandardStreamsDescriptor) {
  const std::string trace = TempPath("closed_out.jsonl");
  EXPECT_EXIT(OpenTraceWithStandardOutputClosed(trace), ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(ReadFile(trace), "{\"op\":\"RegCloseKey\",\"result\":0}\n");
  std::remove(trace.c_str());
}

}  // namespace
}  // namespace sim
