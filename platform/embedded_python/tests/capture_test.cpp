// Captured standard output: it follows the threads the code starts, and the code sees it as an
// in-memory text stream.

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "embedded_python/embedded_python.hpp"
#include "stdout_capture.hpp"

namespace embedded_python {
namespace {

std::vector<std::string> sorted_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

struct StreamCase {
  const char* name;
  const char* source;
  bool success;
  const char* expected;    // the output on success, the error otherwise
  bool any_order = false;  // lines printed by concurrent threads
};

void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

class StreamCases : public ::testing::TestWithParam<StreamCase> {};

// Each case runs as analysis code does: in a fresh namespace holding datetime, with a time limit.
// Nothing may reach the real standard output.
TEST_P(StreamCases, AsAnalysisCodeSeesThem) {
  const StreamCase& c = GetParam();
  StdoutCapture real;
  Namespace ns = Namespace::with_datetime();
  RunResult result = run(ns, c.source, RunOptions{std::chrono::milliseconds(60000)});
  const std::string leaked = real.finish();
  ASSERT_EQ(result.success, c.success) << result.error;
  if (!c.success) {
    EXPECT_EQ(result.error, c.expected);
  } else if (c.any_order) {
    EXPECT_EQ(sorted_lines(result.output), sorted_lines(c.expected));
  } else {
    EXPECT_EQ(result.output, c.expected);
  }
  EXPECT_EQ(leaked, "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, StreamCases,
    ::testing::Values(
        StreamCase{"thread",
                   "import threading\n"
                   "t = threading.Thread(target=print, args=('from thread',))\n"
                   "t.start(); t.join()\nprint('main')",
                   true, "from thread\nmain\n"},
        StreamCase{"pool",
                   "from concurrent.futures import ThreadPoolExecutor\n"
                   "with ThreadPoolExecutor(2) as pool:\n    list(pool.map(print, ['w1', 'w2']))",
                   true, "w1\nw2\n", true},
        StreamCase{"nested_threads",
                   "import threading\n"
                   "def inner():\n    print('inner')\n"
                   "def outer():\n    t = threading.Thread(target=inner)\n    t.start()\n"
                   "    t.join()\n    print('outer')\n"
                   "t = threading.Thread(target=outer); t.start(); t.join()",
                   true, "inner\nouter\n"},
        StreamCase{"low_level_thread",
                   "import _thread, threading\ndone = threading.Event()\n"
                   "def work():\n    print('low level')\n    done.set()\n"
                   "_thread.start_new_thread(work, ())\ndone.wait()",
                   true, "low level\n"},
        StreamCase{"timer",
                   "import threading\nt = threading.Timer(0.01, print, ['timer'])\n"
                   "t.start(); t.join()",
                   true, "timer\n"},
        StreamCase{"getvalue_is_this_runs_text",
                   "import sys\nprint('a')\nseen = sys.stdout.getvalue()\nprint(repr(seen))", true,
                   "a\n'a\\n'\n"},
        StreamCase{"getvalue_in_a_thread",
                   "import sys, threading\nprint('before')\n"
                   "t = threading.Thread(target=lambda: print(len(sys.stdout.getvalue())))\n"
                   "t.start(); t.join()",
                   true, "before\n7\n"},
        StreamCase{"is_an_in_memory_text_stream",
                   "import io, sys\nprint(isinstance(sys.stdout, io.StringIO),\n"
                   "      isinstance(sys.stdout, io.TextIOBase), sys.stdout.isatty(),\n"
                   "      sys.stdout.writable(), sys.stdout.closed)",
                   true, "True True False True False\n"},
        StreamCase{"fileno_unsupported",
                   "import io, os, sys\ntry:\n    os.write(sys.stdout.fileno(), b'to the fd')\n"
                   "except io.UnsupportedOperation as e:\n    print('unsupported:', e)",
                   true, "unsupported: fileno\n"},
        StreamCase{"writelines_flush_tell",
                   "import sys\nsys.stdout.writelines(['a', 'b\\n'])\nsys.stdout.flush()\n"
                   "print(sys.stdout.tell())",
                   true, "ab\n3\n"},
        StreamCase{"print_to_file_argument",
                   "import sys\nprint('explicit', file=sys.stdout, flush=True)", true,
                   "explicit\n"},
        StreamCase{"close_keeps_what_was_printed", "import sys\nprint('kept')\nsys.stdout.close()",
                   true, "kept\n"},
        StreamCase{"print_after_close", "import sys\nsys.stdout.close()\nprint('x')", false,
                   "ValueError: I/O operation on closed file"},
        StreamCase{"no_binary_buffer", "import sys\nsys.stdout.buffer.write(b'x')", false,
                   "AttributeError: '_io.StringIO' object has no attribute 'buffer'"}),
    [](const ::testing::TestParamInfo<StreamCase>& param_info) {
      return std::string(param_info.param.name);
    });

TEST(Capture, StreamTypeCannotBeChangedByCode) {
  Namespace ns;
  RunResult result = run(ns, "import sys\ntype(sys.stdout).write = lambda *a: 0");
  EXPECT_EQ(result.error_type, "TypeError") << result.error;
  StdoutCapture real;
  print_line("host line");
  EXPECT_EQ(real.finish(), "host line\n");
}

TEST(Capture, ThreadStillPrintingAfterItsRunGoesToTheRealOutput) {
  Namespace ns;
  RunResult first = run(ns, R"(
import sys, threading
gate = threading.Event()
def late():
    print('during')
    gate.wait()
    print('after the run')
t = threading.Thread(target=late)
t.start()
while 'during' not in sys.stdout.getvalue():
    pass
)");
  ASSERT_TRUE(first.success) << first.error;
  EXPECT_EQ(first.output, "during\n");

  StdoutCapture real;
  RunResult second = run(ns, "gate.set()\nt.join()\nprint('second run')");
  const std::string host = real.finish();
  ASSERT_TRUE(second.success) << second.error;
  EXPECT_EQ(second.output, "second run\n");
  EXPECT_EQ(host, "after the run\n");
}

TEST(Capture, ConcurrentRunsEachGetTheirOwnThreadsOutput) {
  // Each run starts two threads that print in small steps with switches in between; the runs
  // wait for each other first, so everything interleaves in time.
  constexpr const char* kSource = R"(
import sys, threading, time
sys.askdb_runs_started = getattr(sys, 'askdb_runs_started', 0) + 1
while sys.askdb_runs_started < 2:
    time.sleep(0.001)
def work(worker):
    for i in range(100):
        print(tag, worker, i)
        time.sleep(0)
threads = [threading.Thread(target=work, args=(w,)) for w in ('a', 'b')]
for t in threads: t.start()
for t in threads: t.join()
)";
  StdoutCapture real;
  std::vector<RunResult> results(2);
  std::vector<std::thread> hosts;
  for (int r = 0; r < 2; ++r) {
    hosts.emplace_back([r, &results, kSource] {
      Namespace ns = Namespace::with_datetime();
      ns.set("tag", std::string(r == 0 ? "left" : "right"));
      results[r] = run(ns, kSource);
    });
  }
  for (auto& host : hosts) host.join();
  EXPECT_EQ(real.finish(), "");
  for (int r = 0; r < 2; ++r) {
    ASSERT_TRUE(results[r].success) << results[r].error;
    std::string expected;
    for (const char* worker : {"a", "b"}) {
      for (int i = 0; i < 100; ++i) {
        expected +=
            std::string(r == 0 ? "left " : "right ") + worker + " " + std::to_string(i) + "\n";
      }
    }
    EXPECT_EQ(sorted_lines(results[r].output), sorted_lines(expected));
  }
}

TEST(Capture, TimeLimitCoversThreadsTheCodeStarted) {
  Namespace ns;
  // The run returns at once; its thread spins on until the run's limit stops it.
  RunResult quick = run(ns, R"(
import sys, threading
sys.askdb_spin_errors = []
threading.excepthook = lambda args: sys.askdb_spin_errors.append(args.exc_type.__name__)
def spin():
    while True:
        pass
spinner = threading.Thread(target=spin, daemon=True)
spinner.start()
print('returned')
)",
                        RunOptions{std::chrono::milliseconds(300)});
  ASSERT_TRUE(quick.success) << quick.error;
  EXPECT_EQ(quick.output, "returned\n");
  // A run that times out takes its threads with it, threads of threads included.
  RunResult stuck = run(ns, R"(
inner = []
def nested():
    inner.append(threading.Thread(target=spin, daemon=True))
    inner[0].start()
    spin()
outer = threading.Thread(target=nested, daemon=True)
outer.start()
spin()
)",
                        RunOptions{std::chrono::milliseconds(300)});
  EXPECT_EQ(stuck.error, "TimeoutError: the code ran longer than its time limit of 300 ms");
  RunResult after = run(ns, R"(
for t in [spinner, outer] + inner:
    t.join(60)
print([t.is_alive() for t in [spinner, outer] + inner], sorted(set(sys.askdb_spin_errors)))
threading.excepthook = threading.__excepthook__
)");
  EXPECT_EQ(after.output, "[False, False, False] ['RunTimeLimitExceeded']\n") << after.error;
}

TEST(Capture, NestedRunnerCapturesSeparatelyAndRestoresTheOuterCapture) {
  Namespace ns;
  ns.bind_runner("run_here");
  RunResult result = run(ns, R"py(
import threading
inner = run_here("import threading\nt = threading.Thread(target=print, args=('inner thread',))\nt.start(); t.join()")
t = threading.Thread(target=print, args=('outer thread',))
t.start(); t.join()
print(repr(inner))
)py");
  ASSERT_TRUE(result.success) << result.error;
  EXPECT_EQ(result.output, "outer thread\n'inner thread\\n'\n");
}

}  // namespace
}  // namespace embedded_python
