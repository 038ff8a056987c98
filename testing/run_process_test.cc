// The runner that every end-to-end test stands on, held to what it promises
// with /bin/sh as the program: a fault here would break every suite at once.
#include "testing/run_process.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace testing_support {
namespace {

using namespace std::chrono_literals;

/// False once the process is gone or a zombie (which no one may reap here).
bool Alive(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t state = text.rfind(") ");
  return state != std::string::npos && text.compare(state + 2, 1, "Z") != 0;
}

ProcessResult Shell(const std::string& script, const ProcessOptions& options = {}) {
  return RunProcess("/bin/sh", {"-c", script}, options);
}

TEST(RunProcess, ExitStatusSignalAndTimeout) {
  const ProcessResult exited = Shell("echo out; echo err >&2; exit 3");
  EXPECT_EQ(exited.out, "out\n");
  EXPECT_EQ(exited.err, "err\n");
  EXPECT_EQ(exited.status, 3);
  EXPECT_EQ(exited.signal, 0);

  const ProcessResult killed = Shell("echo before; kill -TERM $$; echo after");
  EXPECT_EQ(killed.out, "before\n");
  EXPECT_EQ(killed.status, -1);
  EXPECT_EQ(killed.signal, SIGTERM);

  StartedProcess slow("/bin/sh", {"-c", "echo started; exec sleep 60"});
  ASSERT_TRUE(slow.WaitForOutput("started\n", 10s));
  const ProcessResult cut = slow.Wait(200ms);
  EXPECT_EQ(cut.out, "started\n");
  EXPECT_EQ(cut.signal, SIGKILL);
  EXPECT_LT(slow.Elapsed(), 20s);
}

TEST(RunProcess, OutputLargerThanAPipeOnBothStreamsAtOnce) {
  // Each stream gets 256 KiB in turns of 1 KiB: a runner that read one
  // stream to its end before the other would leave the program blocked.
  const ProcessResult r = Shell(
      "i=0; while [ $i -lt 256 ]; do printf '%01024d' 1; printf '%01024d' 2 >&2; i=$((i+1)); done");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.size(), 256u * 1024u);
  EXPECT_EQ(r.err.size(), 256u * 1024u);
  EXPECT_EQ(r.out.find_first_not_of("01"), std::string::npos);
  EXPECT_EQ(r.err.find_first_not_of("02"), std::string::npos);
}

TEST(RunProcess, InputGivenHeldAndClosed) {
  ProcessOptions given;
  given.input = std::string(200000, 'x');  // more than a pipe holds
  EXPECT_EQ(Shell("wc -c", given).out, "200000\n");

  ProcessOptions closed;
  closed.in = StreamSetup::Closed();
  EXPECT_EQ(Shell("[ -e /proc/self/fd/0 ] && echo open || echo closed", closed).out, "closed\n");

  ProcessOptions held;
  held.held_input = true;
  StartedProcess reader("/bin/sh", {"-c", "read line; echo \"got $line\""}, held);
  reader.WriteInput("hello\n");
  EXPECT_EQ(reader.Wait(10s).out, "got hello\n");
}

TEST(RunProcess, AGrandchildThatHoldsThePipesDoesNotHoldTheTest) {
  // The child ends at once; what it left behind in its group keeps both
  // pipes open for a minute. The run ends with the child, what it wrote
  // kept, and the group is ended with it.
  StartedProcess run("/bin/sh", {"-c", "sleep 60 & echo $!; echo done >&2"});
  const ProcessResult r = run.Wait(30s);
  EXPECT_LT(run.Elapsed(), 20s);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "done\n");
  ASSERT_FALSE(r.out.empty());
  const int grandchild = std::stoi(r.out);
  // Its pipes close a moment before it is gone.
  for (int i = 0; i < 100 && Alive(grandchild); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_FALSE(Alive(grandchild)) << "the grandchild outlived the run";
}

}  // namespace
}  // namespace testing_support
