// The command line as an operator meets it: the built qxfwload, its standard
// output, standard error and exit status, byte for byte.
#include <gtest/gtest.h>

#include "testing/run_process.h"
#include "testing/scenario.h"

namespace {

using testing_support::BuiltProgram;
using testing_support::kBanner;
using testing_support::ProcessResult;
using testing_support::RunProcess;

const char kUsage[] =
    "usage: qxfwload [-a node] [-q] [-p] firmware.Lxx\n"
    "flags: -a node       identify adapter by node number (default all adapters)\n"
    "       -q            quiet mode (default is verbose)\n"
    "       -p            pause just before loading firmware\n"
    "       firmware.Lxx  input adapter firmware image file (xx is LL field)\n";

ProcessResult RunQxfwload(std::vector<std::string> args) {
  testing_support::ProcessOptions options;
  options.unset = {"QXFW_MACHINE", "QXFW_TRACE"};  // an empty machine
  return RunProcess(BuiltProgram("qxfwload"), args, options);
}

struct Expected {
  std::vector<std::string> args;
  std::string out;
  std::string err;
  int status;
};

void ExpectRun(const Expected& e) {
  const ProcessResult r = RunQxfwload(e.args);
  const std::string what = ::testing::PrintToString(e.args);
  EXPECT_EQ(r.out, e.out) << what;
  EXPECT_EQ(r.err, e.err) << what;
  EXPECT_EQ(r.status, e.status) << what;
}

TEST(CommandLineRun, UsageErrors) {
  const std::string usage = kUsage;
  const std::string banner = kBanner;
  const Expected cases[] = {
      {{}, banner, usage, 1},            // verbose: banner first
      {{"-q"}, "", usage, 1},            // quiet: usage only
      {{"-x", "fw.L12"}, "", usage, 1},  // inside the loop: no banner
      {{"-"}, "", usage, 1},
      {{"-a"}, "", usage, 1},
      {{"-q", "-n"}, "", usage, 1},
      {{"fw.L12", "-q"}, banner, usage, 1},  // an option after the name is surplus
      {{"-f", "fw.bin", "extra"}, banner, usage, 1},
      {{"-q", "-f", "a", "b"}, "", usage, 1},
  };
  for (const Expected& e : cases) ExpectRun(e);
}

TEST(CommandLineRun, ErrorLines) {
  const std::string banner = kBanner;
  const Expected cases[] = {
      {{"-a", "-5", "fw.L12"}, "", "qxfwload: bad node argument\n", 1},
      {{"-a", "-q", "fw.L12"}, "", "qxfwload: bad node argument\n", 1},
      {{"-a", "0x", "fw.L12"}, "", "qxfwload: bad node argument\n", 1},
      {{"-a", "0x80000000", "fw.L12"}, "", "qxfwload: node should not be negative\n", 1},
      {{"fw.bin", "extra"},
       banner,
       "qxfwload: firmware must be named name.Lxx where xx is the LL field\n",
       1},
      {{"-q", "fw.L1"},
       "",
       "qxfwload: firmware must be named name.Lxx where xx is the LL field\n",
       1},
  };
  for (const Expected& e : cases) ExpectRun(e);
}

TEST(CommandLineRun, AcceptedNamesGoOnToLoading) {
  const std::string banner = kBanner;
  const Expected cases[] = {
      {{"/nonexistent/fw.L12"},
       banner + "Loading firmware file: /nonexistent/fw.L12\n",
       "qxfwload: can't open firmware file: /nonexistent/fw.L12\n",
       1},
      {{"-q", "-f", "/nonexistent/fw.bin"},
       "",
       "qxfwload: can't open firmware file: /nonexistent/fw.bin\n",
       1},
      {{"-q", "-a", "0", "/nonexistent/%s%n.L0a"},
       "",
       "qxfwload: can't open firmware file: /nonexistent/%s%n.L0a\n",
       1},
  };
  for (const Expected& e : cases) ExpectRun(e);
}

TEST(CommandLineRun, LongPathIsCutSafely) {
  const std::string path = "/nonexistent/" + std::string(4000, 'p') + ".L12";
  const ProcessResult r = RunQxfwload({"-q", path});
  EXPECT_EQ(r.status, 1);
  // "qxfwload: " + 259 characters ending in "..." + newline.
  ASSERT_EQ(r.err.size(), 10u + 259u + 1u);
  EXPECT_EQ(r.err.substr(0, 36), "qxfwload: can't open firmware file: ");
  EXPECT_EQ(r.err.substr(r.err.size() - 4), "...\n");
}

}  // namespace
