#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "embedded_python/embedded_python.hpp"
#include "stdout_capture.hpp"

namespace embedded_python {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

TEST(Runtime, StartsDebiansPythonIsolatedWithoutSignalHandlers) {
  Namespace ns;
  const std::string out = execute(ns, R"(
import os, signal, subprocess, sys
print(sys.executable)
print(sys.version_info[:2] == (3, 11))
print(sys.flags.isolated, sys.flags.ignore_environment)
print(os.environ["MPLBACKEND"])
import pandas, numpy, matplotlib
print(matplotlib.get_backend().lower())
)");
  EXPECT_EQ(out, "/usr/bin/python3\nTrue\n1 1\nagg\nagg\n");
  // The host keeps its own signal dispositions.
  for (int signal_number : {SIGINT, SIGTERM, SIGPIPE}) {
    struct sigaction action {};
    ASSERT_EQ(sigaction(signal_number, nullptr, &action), 0);
    EXPECT_EQ(action.sa_handler, SIG_DFL) << signal_number;
  }
}

struct RunCase {
  const char* name;
  const char* source;
  bool success;
  const char* output;  // expected output on success
  const char* error;   // expected error on failure
};

void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }

class RunCases : public ::testing::TestWithParam<RunCase> {};

TEST_P(RunCases, FreshNamespaceWithDatetime) {
  const RunCase& c = GetParam();
  Namespace ns = Namespace::with_datetime();
  RunResult result = run(ns, c.source);
  EXPECT_EQ(result.success, c.success) << result.error;
  if (c.success) {
    EXPECT_EQ(result.output, c.output);
    EXPECT_EQ(result.error, "");
  } else {
    EXPECT_EQ(result.error, c.error);
    EXPECT_EQ(result.error, result.error_type + ": " + result.error_message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RunCases,
    ::testing::Values(
        RunCase{"print", "print('hello')", true, "hello\n", ""},
        RunCase{"silent", "x = 1", true, "", ""}, RunCase{"empty", "", true, "", ""},
        RunCase{"datetime_without_import", "print(datetime.timedelta(days=1))", true,
                "1 day, 0:00:00\n", ""},
        RunCase{"function_sees_top_level", "rate = 3\ndef f(x):\n    return x * rate\nprint(f(2))",
                true, "6\n", ""},
        RunCase{"line_numbers_are_the_users",
                "import sys\ntry:\n    1 / 0\nexcept ZeroDivisionError as e:\n"
                "    print(e.__traceback__.tb_lineno)",
                true, "3\n", ""},
        RunCase{"comprehension_sees_top_level", "n = 2\nprint([i * n for i in range(3)])", true,
                "[0, 2, 4]\n", ""},
        RunCase{"write_returns_length", "import sys\nn = sys.stdout.write('abc')\nprint(n)", true,
                "abc3\n", ""},
        RunCase{"parse_error", "print((1", false, "",
                "SyntaxError: '(' was never closed (<unknown>, line 1)"},
        RunCase{"compile_error", "return 5", false, "",
                "SyntaxError: 'return' outside function (<ast>, line 1)"},
        RunCase{"print_then_raise", "print('lost')\n1 / 0", false, "",
                "ZeroDivisionError: division by zero"},
        RunCase{"key_error", "d = {}\nd['k']", false, "", "KeyError: 'k'"},
        RunCase{"missing_module", "import xyz_not_here", false, "",
                "ModuleNotFoundError: No module named 'xyz_not_here'"},
        RunCase{"empty_message", "raise ValueError()", false, "", "ValueError: "},
        RunCase{"nested_class_name", "import json\njson.loads('{')", false, "",
                "JSONDecodeError: Expecting property name enclosed in double quotes: line 1 "
                "column 2 (char 1)"},
        RunCase{"write_non_str", "import sys\nsys.stdout.write(5)", false, "",
                "TypeError: string argument expected, got 'int'"},
        RunCase{"os_not_bound", "print(os.getcwd())", false, "",
                "NameError: name 'os' is not defined"},
        RunCase{"invalid_utf8", "print('\xff')", false, "",
                "UnicodeDecodeError: 'utf-8' codec can't decode byte 0xff in position 7: invalid "
                "start byte"}),
    [](const ::testing::TestParamInfo<RunCase>& param_info) {
      return std::string(param_info.param.name);
    });

TEST(Runtime, FreshNamespacesShareNothingButPersistentOnesKeepNames) {
  Namespace first = Namespace::with_datetime();
  ASSERT_TRUE(run(first, "x = 41").success);
  Namespace second = Namespace::with_datetime();
  EXPECT_EQ(run(second, "print(x)").error, "NameError: name 'x' is not defined");
  EXPECT_EQ(second.names(), (std::vector<std::string>{"datetime", "__builtins__"}));

  EXPECT_EQ(execute(first, "print(x + 1)"), "42\n");
  EXPECT_EQ(first.text("x"), "41");
  EXPECT_FALSE(first.text("nothing").has_value());
  ASSERT_TRUE(run(first, "y = None").success);
  EXPECT_TRUE(first.contains("y"));
  EXPECT_FALSE(first.text("y").has_value());
}

TEST(Runtime, ExecuteRaisesAndKeepsNamesBoundBeforeTheError) {
  Namespace ns;
  try {
    execute(ns, "before = 1\nprint('partial')\nraise RuntimeError('boom')\nafter = 2");
    FAIL() << "no error";
  } catch (const PythonError& error) {
    EXPECT_STREQ(error.what(), "RuntimeError: boom");
    EXPECT_EQ(error.type_name(), "RuntimeError");
    EXPECT_EQ(error.message(), "boom");
    EXPECT_TRUE(error.ordinary());
  }
  EXPECT_TRUE(ns.contains("before"));
  EXPECT_FALSE(ns.contains("after"));
}

TEST(Runtime, SyntaxErrorRunsNothing) {
  Namespace ns;
  StdoutCapture capture;
  try {
    execute(ns, "import sys\nsys.stdout = None\nran = True\nprint('x'\n");
    FAIL() << "no error";
  } catch (const PythonError& error) {
    EXPECT_EQ(error.type_name(), "SyntaxError");
    EXPECT_THAT(error.message(), HasSubstr("(<unknown>, line 4)"));
  }
  EXPECT_FALSE(ns.contains("ran"));
  print_line("still the real stream");
  EXPECT_EQ(capture.finish(), "still the real stream\n");
}

TEST(Runtime, OutputIsRestoredAfterAFailedRun) {
  Namespace ns;
  StdoutCapture capture;
  RunResult failed = run(ns, R"(
import io, sys
print('captured before the switch')
sys.stdout = io.StringIO()
print('into the replacement')
raise OSError(5, 'device gone')
)");
  EXPECT_EQ(failed.error, "OSError: [Errno 5] device gone");
  EXPECT_EQ(failed.output, "captured before the switch\n");
  print_line("host line from Python");
  std::cout << "host line from C++" << std::endl;
  RunResult after = run(ns, "import io, sys\nprint(isinstance(sys.stdout, io.StringIO))");
  EXPECT_EQ(after.output, "True\n");
  EXPECT_EQ(capture.finish(), "host line from Python\nhost line from C++\n");
}

TEST(Runtime, ConcurrentRunsEachCaptureOnlyTheirOwnOutput) {
  // Both runs wait until the other has started, then print in small steps with thread switches
  // in between, so their prints interleave in time. The host prints meanwhile, outside any run.
  constexpr const char* kSource = R"(
import sys, time
sys.askdb_test_started = getattr(sys, 'askdb_test_started', 0) + 1
while sys.askdb_test_started < 2:
    time.sleep(0.001)
for i in range(200):
    print(tag, i)
    time.sleep(0)
)";
  StdoutCapture capture;
  std::vector<RunResult> results(2);
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([t, &results] {
      Namespace ns;
      ns.set("tag", std::string(t == 0 ? "left" : "right"));
      results[t] = run(ns, kSource);
    });
  }
  for (int i = 0; i < 5; ++i) print_line("host");
  for (auto& thread : threads) thread.join();
  const std::string host = capture.finish();

  for (int t = 0; t < 2; ++t) {
    ASSERT_TRUE(results[t].success) << results[t].error;
    std::string expected;
    for (int i = 0; i < 200; ++i)
      expected += std::string(t == 0 ? "left " : "right ") + std::to_string(i) + "\n";
    EXPECT_EQ(results[t].output, expected);
  }
  EXPECT_EQ(host, "host\nhost\nhost\nhost\nhost\n");
}

TEST(Runtime, ExitAndInterruptReachTheCallerAndNeverEndTheProcess) {
  struct Case {
    const char* source;
    const char* type;
    const char* message;
  };
  for (const Case& c : {Case{"print('x')\nraise SystemExit(3)", "SystemExit", "3"},
                        Case{"import sys\nsys.exit()", "SystemExit", ""},
                        Case{"raise KeyboardInterrupt", "KeyboardInterrupt", ""}}) {
    Namespace ns;
    StdoutCapture capture;
    try {
      run(ns, c.source);
      ADD_FAILURE() << c.source << ": no error";
    } catch (const PythonError& error) {
      EXPECT_EQ(error.type_name(), c.type);
      EXPECT_EQ(error.message(), c.message);
      EXPECT_FALSE(error.ordinary());
    }
    EXPECT_THROW(execute(ns, c.source), PythonError);
    print_line("alive");
    EXPECT_EQ(capture.finish(), "alive\n");
  }
}

TEST(Runtime, TimeLimitStopsRunawayCode) {
  const RunOptions limited{std::chrono::milliseconds(200)};
  for (const char* source : {
           "while True: pass",
           // Code that swallows everything is interrupted again until it gives up.
           "while True:\n    try:\n        while True: pass\n    except BaseException:\n"
           "        pass",
           "print('started')\nwhile True:\n    try:\n        while True: pass\n"
           "    except Exception:\n        print('never')",
       }) {
    Namespace ns;
    RunResult result = run(ns, source, limited);
    EXPECT_FALSE(result.success) << source;
    EXPECT_EQ(result.error, "TimeoutError: the code ran longer than its time limit of 200 ms");
    EXPECT_THAT(result.output, Not(HasSubstr("never")));
  }
  Namespace ns;
  try {
    execute(ns, "while True: pass", limited);
    FAIL() << "no error";
  } catch (const PythonError& error) {
    EXPECT_EQ(error.type_name(), "TimeoutError");
    EXPECT_TRUE(error.ordinary());
  }
  // A run that ends in time succeeds, and nothing left over interrupts the next run.
  RunResult quick = run(ns, "print('quick')", RunOptions{std::chrono::milliseconds(60000)});
  EXPECT_TRUE(quick.success);
  RunResult later = run(ns, "import time\nfor _ in range(20):\n    time.sleep(0.01)\nprint('ok')");
  EXPECT_EQ(later.output, "ok\n") << later.error;
}

TEST(Runtime, RunnerRunsNestedCodeInTheSameNamespace) {
  Namespace ns;
  ns.bind_runner("run_here");
  ns.bind_attribute("StringIO", "io", "StringIO");
  const std::string out = execute(ns, R"(
inner = run_here('value = 7\nprint("inner", value)')
print(repr(inner), value)
try:
    run_here('print("lost")\n1 / 0')
except ZeroDivisionError as e:
    print('caught', e)
print(StringIO.__name__)
)");
  EXPECT_EQ(out, "'inner 7\\n' 7\ncaught division by zero\nStringIO\n");
}

TEST(Runtime, CallLooksUpTheCurrentBindingAndReportsErrors) {
  Namespace ns;
  execute(ns, "def record(a, b, c):\n    global seen\n    seen = (a, b, c)\n    print('called')");
  StdoutCapture capture;
  ns.call("record", {std::string("x"), std::vector<std::string>{"p", "q"}, nullptr});
  EXPECT_EQ(capture.finish(), "called\n");
  EXPECT_EQ(ns.text("seen"), "('x', ['p', 'q'], None)");

  execute(ns, "def record(*args):\n    raise LookupError('rebound')");
  try {
    ns.call("record");
    FAIL() << "no error";
  } catch (const PythonError& error) {
    EXPECT_STREQ(error.what(), "LookupError: rebound");
  }
  try {
    ns.call("missing");
    FAIL() << "no error";
  } catch (const PythonError& error) {
    EXPECT_STREQ(error.what(), "KeyError: 'missing'");
  }
  EXPECT_THROW(ns.bind_module("m", "no_such_module_here"), PythonError);
}

TEST(Runtime, MovedFromNamespaceIsRejected) {
  Namespace ns;
  Namespace other = std::move(ns);
  EXPECT_THROW(run(ns, "x = 1"), std::invalid_argument);  // NOLINT(bugprone-use-after-move)
  EXPECT_TRUE(run(other, "x = 1").success);
}

}  // namespace
}  // namespace embedded_python
