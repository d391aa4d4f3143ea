#include <gtest/gtest.h>
#include <unistd.h>

#include <barrier>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "analysis_support.hpp"
#include "answer_nodes/analysis_nodes.hpp"
#include "embedded_python/embedded_python.hpp"
#include "python_text/python_text.hpp"
#include "test_support/fake_chat_server.hpp"

namespace answer_nodes {
namespace {

using state_graph::State;
using state_graph::Update;
using state_graph::Value;
using test_support::FakeChatServer;
using testing_support::model_of;
using testing_support::state_with;

Value success(const std::string& output) {
  return Value{{"python_executed_output", output}, {"python_execution_success", true}};
}

Value failure(const std::string& message) {
  return Value{{"python_execution_success", false}, {"python_error_message", message}};
}

class PandasExecutorTest : public ::testing::Test {
 protected:
  Update run(const std::string& code) {
    return executor_.invoke(state_with(Value{{"pandas_code", code}}));
  }

  void TearDown() override {
    // The executor never asks the model.
    EXPECT_EQ(server_.request_count(), 0u);
  }

  FakeChatServer server_;
  PandasExecutor executor_{model_of(server_)};
};

TEST_F(PandasExecutorTest, OutcomesOfTheCode) {
  struct Case {
    const char* what;
    std::string code;
    Value update;
  };
  const std::vector<Case> cases = {
      {"print", "print('hello')", success("hello\n")},
      {"nothing printed", "x = 1", success("")},
      {"datetime without import", "print(datetime.timedelta(days=1))", success("1 day, 0:00:00\n")},
      {"only datetime in a fresh namespace",
       "print(sorted(k for k in globals() if k != '__builtins__'))", success("['datetime']\n")},
      {"a function sees top-level names", "n = 3\ndef twice():\n    return n * 2\nprint(twice())",
       success("6\n")},
      {"pandas",
       "import pandas as pd\n"
       "df = pd.DataFrame({'a': [1, 1, 2], 'b': [3, 4, 5]})\n"
       "print(df.groupby('a')['b'].sum().to_dict())",
       success("{1: 7, 2: 5}\n")},
      {"print then raise", "print('partial')\n1 / 0",
       failure("ZeroDivisionError: division by zero")},
      {"parse error", "print((", failure("SyntaxError: '(' was never closed (<unknown>, line 1)")},
      {"compile error", "return 1",
       failure("SyntaxError: 'return' outside function (<ast>, line 1)")},
      {"key error", "{}['k']", failure("KeyError: 'k'")},
      {"missing module", "import xyz_not_installed",
       failure("ModuleNotFoundError: No module named 'xyz_not_installed'")},
      {"line numbers are the code's own", "x = 1\n\ny = (\n",
       failure("SyntaxError: '(' was never closed (<unknown>, line 3)")},
      {"empty message", "raise ValueError()", failure("ValueError: ")},
  };
  for (const auto& c : cases) {
    const Update u = run(c.code);
    EXPECT_EQ(u.values, c.update) << c.what;
    EXPECT_TRUE(u.overwrites.empty()) << c.what;
  }
}

TEST_F(PandasExecutorTest, NothingSurvivesIntoTheNextRun) {
  EXPECT_EQ(run("x = 41\nimport json").values, success(""));
  EXPECT_EQ(run("print(x + 1)").values, failure("NameError: name 'x' is not defined"));
  EXPECT_EQ(run("print(json.dumps(1))").values, failure("NameError: name 'json' is not defined"));
}

TEST_F(PandasExecutorTest, CodeFieldMissingOrNotText) {
  EXPECT_EQ(executor_.invoke(state_with(Value::object())).values,
            failure("KeyError: 'pandas_code'"));
  EXPECT_EQ(executor_.invoke(state_with(Value{{"pandas_code", nullptr}})).values,
            failure("TypeError: pandas_code must hold Python source text, not null"));
}

TEST_F(PandasExecutorTest, HostPrintAfterAFailureGoesToTheRealStandardOutput) {
  ::testing::internal::CaptureStdout();
  const Update u = run("print('lost')\nraise RuntimeError('boom')");
  embedded_python::print_line("printed by the host");
  const std::string real_output = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(u.values, failure("RuntimeError: boom"));
  EXPECT_EQ(real_output, "printed by the host\n");
  // And the next run captures only its own output.
  EXPECT_EQ(run("print('next')").values, success("next\n"));
}

// Scripts that end with exit() are failures of the code to correct, not the end of the run.
TEST_F(PandasExecutorTest, SystemExitIsAFailureOfTheCode) {
  struct Case {
    std::string code;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"print('done')\nexit()", "SystemExit: None"},
      {"quit()", "SystemExit: None"},
      {"exit(0)", "SystemExit: 0"},
      {"import sys\nsys.exit('stopping here')", "SystemExit: stopping here"},
      {"import sys\nsys.exit()", "SystemExit: "},
      {"raise SystemExit(3)", "SystemExit: 3"},
      // Any other exception outside Exception is the code's failure too.
      {"class Stop(BaseException):\n    pass\nraise Stop('early')", "Stop: early"},
  };
  for (const auto& c : cases) EXPECT_EQ(run(c.code).values, failure(c.message)) << c.code;
  EXPECT_EQ(run("print('still running')").values, success("still running\n"));
}

TEST_F(PandasExecutorTest, KeyboardInterruptEndsTheRun) {
  ::testing::internal::CaptureStdout();
  try {
    run("print('interrupted')\nraise KeyboardInterrupt");
    ADD_FAILURE() << "expected PythonError";
  } catch (const embedded_python::PythonError& e) {
    EXPECT_EQ(e.type_name(), "KeyboardInterrupt");
    EXPECT_FALSE(e.ordinary());
  }
  // Standard output is restored on the way out.
  embedded_python::print_line("host again");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "host again\n");
}

TEST_F(PandasExecutorTest, TimeLimitTurnsRunawayCodeIntoAFailure) {
  EXPECT_EQ(executor_.options().time_limit, std::chrono::milliseconds(std::chrono::seconds(120)));
  PandasExecutor limited(model_of(server_), ExecutorOptions{std::chrono::milliseconds(200)});
  const Update u = limited.invoke(
      state_with(Value{{"pandas_code", "print('spinning')\nwhile True:\n    pass"}}));
  ASSERT_EQ(u.values.size(), 2u);
  EXPECT_EQ(u.values.at("python_execution_success"), false);
  const std::string message = u.values.at("python_error_message").get<std::string>();
  EXPECT_EQ(message.rfind("TimeoutError: ", 0), 0u) << message;
  // The limit does not outlive its run.
  EXPECT_EQ(limited.invoke(state_with(Value{{"pandas_code", "print(1)"}})).values, success("1\n"));
}

TEST_F(PandasExecutorTest, ConcurrentExecutionsKeepTheirOwnOutput) {
  constexpr int kLines = 3000;
  auto code_for = [](const std::string& tag) {
    return "for i in range(" + std::to_string(kLines) + "):\n    print('" + tag + "', i)";
  };
  auto expected_for = [](const std::string& tag) {
    std::string out;
    for (int i = 0; i < kLines; ++i) out += tag + " " + std::to_string(i) + "\n";
    return out;
  };
  const std::vector<std::string> tags = {"left", "right"};
  std::vector<Update> updates(tags.size());
  std::barrier start(static_cast<std::ptrdiff_t>(tags.size()));
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < tags.size(); ++t) {
    threads.emplace_back([&, t] {
      const State s = state_with(Value{{"pandas_code", code_for(tags[t])}});
      start.arrive_and_wait();
      updates[t] = executor_.invoke(s);
    });
  }
  for (auto& th : threads) th.join();
  for (std::size_t t = 0; t < tags.size(); ++t)
    EXPECT_EQ(updates[t].values, success(expected_for(tags[t]))) << tags[t];
}

TEST_F(PandasExecutorTest, ChartIsSavedUnderSavePath) {
  const auto save_path = std::filesystem::path(::testing::TempDir()) /
                         ("askdb_charts_" + std::to_string(getpid())) / "run";
  std::filesystem::remove_all(save_path.parent_path());
  const std::string dir = python_text::str_repr(save_path.string());
  const std::string code =
      "import os\n"
      "import matplotlib.pyplot as plt\n"
      "os.makedirs(" +
      dir +
      ", exist_ok=True)\n"
      "fig, ax = plt.subplots()\n"
      "ax.bar(['north', 'south'], [12.5, 7.0])\n"
      "ax.set_title('Sales per region')\n"
      "path = os.path.join(" +
      dir +
      ", 'sales.png')\n"
      "fig.savefig(path)\n"
      "plt.close(fig)\n"
      "print(path)\n";
  const Update u = run(code);
  const auto png = save_path / "sales.png";
  EXPECT_EQ(u.values, success(png.string() + "\n"));
  ASSERT_TRUE(std::filesystem::is_regular_file(png));
  std::ifstream in(png, std::ios::binary);
  std::string magic(8, '\0');
  in.read(magic.data(), 8);
  EXPECT_EQ(magic, std::string("\x89PNG\r\n\x1a\n", 8));
  EXPECT_GT(std::filesystem::file_size(png), 1000u);
  std::filesystem::remove_all(save_path.parent_path());
}

TEST_F(PandasExecutorTest, GuardConfinesWritesToSavePathUnlessSwitchedOff) {
  // A directory outside the system temporary directory, so only save_path can open it.
  const auto outside =
      std::filesystem::current_path() / ("askdb_guard_" + std::to_string(getpid()));
  std::filesystem::remove_all(outside);
  std::filesystem::create_directories(outside);
  const auto target = outside / "note.txt";
  const std::string code =
      "open(" + python_text::str_repr(target.string()) + ", 'w').write('x')\nprint('written')";

  const Update refused = executor_.invoke(state_with(Value{{"pandas_code", code}}));
  EXPECT_EQ(refused.values["python_execution_success"], false);
  EXPECT_EQ(refused.values["python_error_message"].get<std::string>().rfind("PermissionError: ", 0),
            0u)
      << refused.values.dump();
  EXPECT_FALSE(std::filesystem::exists(target));

  const Update under_save_path =
      executor_.invoke(state_with(Value{{"pandas_code", code}, {"save_path", outside.string()}}));
  EXPECT_EQ(under_save_path.values, success("written\n"));
  EXPECT_TRUE(std::filesystem::exists(target));
  std::filesystem::remove(target);

  const Update process = executor_.invoke(
      state_with(Value{{"pandas_code", "import os\nos.system('touch " + target.string() + "')"}}));
  EXPECT_EQ(process.values["python_execution_success"], false);
  EXPECT_FALSE(std::filesystem::exists(target));

  ExecutorOptions open_options;
  open_options.guarded = false;
  PandasExecutor unguarded(model_of(server_), open_options);
  EXPECT_EQ(unguarded.invoke(state_with(Value{{"pandas_code", code}})).values,
            success("written\n"));
  EXPECT_TRUE(std::filesystem::exists(target));
  std::filesystem::remove_all(outside);
}

}  // namespace
}  // namespace answer_nodes
