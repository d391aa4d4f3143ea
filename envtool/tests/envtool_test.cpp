#include "envtool/envtool.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "envtool_test_support.hpp"

namespace envtool {
namespace {

using envtool_test::FdCapture;
using envtool_test::in_fresh_process;
using envtool_test::lines_of;
using envtool_test::read_file;
using envtool_test::run_program;
using envtool_test::TempDir;
using envtool_test::write_file;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

std::string expect_python_error(const std::function<void()>& call, const std::string& type) {
  try {
    call();
  } catch (const PythonError& error) {
    EXPECT_EQ(error.type_name(), type) << error.what();
    return error.message();
  }
  ADD_FAILURE() << "no " << type << " raised";
  return {};
}

// A stand-in interpreter that records each argument list it is started with, one line per
// child, arguments separated by "|", and exits with a failure status.
fs::path recording_interpreter(const fs::path& dir) {
  const fs::path script = dir / "recording-python";
  write_file(script, "#!/bin/sh\nprintf '%s|' \"$@\" >> '" + (dir / "calls.log").string() +
                         "'\necho >> '" + (dir / "calls.log").string() + "'\nexit 3\n");
  fs::permissions(script, fs::perms::owner_all);
  return script;
}

TEST(EnvtoolNamespace, HoldsTheDocumentedNamesBeforeAnyCodeRuns) {
  if (!in_fresh_process()) return;
  EXPECT_EQ(execute_code("print(sorted(globals()))"),
            "['StringIO', '__builtins__', 'ast', 'ensure_virtual_environment', 'env_path', "
            "'execute_code', 'initialize_environment', 'install_defaults', "
            "'install_dependencies', 'os', 'python_executable', 'safe_install_modules', "
            "'subprocess', 'sys', 'tempfile', 'venv']\n");
  EXPECT_EQ(execute_code(R"(
import io, importlib
print(all(globals()[m] is importlib.import_module(m)
          for m in ('ast', 'os', 'subprocess', 'sys', 'tempfile', 'venv')))
print(StringIO is io.StringIO, env_path, python_executable)
print(initialize_environment.__name__, callable(execute_code))
)"),
            "True\nTrue None None\ninitialize_environment True\n");
  EXPECT_EQ(env_path(), std::nullopt);
  EXPECT_EQ(python_executable(), std::nullopt);
}

TEST(ExecuteCode, ReturnsWhatTheCodePrinted) {
  struct Case {
    const char* code;
    const char* output;
  };
  for (const Case& c : {Case{"print('a'); print('b')", "a\nb\n"}, Case{"y = 2", ""}, Case{"", ""},
                        Case{"print(os.sep, sys.version_info.major)", "/ 3\n"},
                        Case{"print('no newline', end='')", "no newline"}}) {
    EXPECT_EQ(execute_code(c.code), c.output) << c.code;
  }
}

TEST(ExecuteCode, OutputOfTheCodesThreadsIsCapturedInAnInMemoryStream) {
  struct Case {
    const char* code;
    const char* output;
  };
  FdCapture real(1);
  for (const Case& c : {
           Case{"import threading\nt = threading.Thread(target=print, args=('t',))\nt.start()\n"
                "t.join()",
                "t\n"},
           Case{"from concurrent.futures import ThreadPoolExecutor\n"
                "with ThreadPoolExecutor(2) as pool:\n"
                "    print(sorted(pool.map(lambda w: (print(w), w)[1], ['w1', 'w2'])))",
                "__pool__"},
           Case{"import threading\ndef outer():\n"
                "    t = threading.Thread(target=print, args=('nested',))\n    t.start()\n"
                "    t.join()\nt = threading.Thread(target=outer)\nt.start()\nt.join()",
                "nested\n"},
           Case{"print('a')\nprint(repr(sys.stdout.getvalue()))", "a\n'a\\n'\n"},
           Case{"import io\nprint(isinstance(sys.stdout, StringIO), isinstance(sys.stdout, "
                "io.TextIOBase), sys.stdout.isatty())\ntry:\n    sys.stdout.fileno()\n"
                "except io.UnsupportedOperation as e:\n    print('unsupported:', e)",
                "True True False\nunsupported: fileno\n"},
       }) {
    const std::string output = execute_code(c.code);
    if (std::string(c.output) == "__pool__") {
      // The two workers print in either order; the result line comes last.
      EXPECT_TRUE(output == "w1\nw2\n['w1', 'w2']\n" || output == "w2\nw1\n['w1', 'w2']\n")
          << output;
    } else {
      EXPECT_EQ(output, c.output) << c.code;
    }
  }
  EXPECT_EQ(real.finish(), "");
}

TEST(ExecuteCode, AThreadPrintingAfterTheCallEndedReachesTheRealOutput) {
  EXPECT_EQ(execute_code("import threading\ngate = threading.Event()\n"
                         "def late():\n    gate.wait()\n    print('late line')\n"
                         "late_thread = threading.Thread(target=late)\nlate_thread.start()"),
            "");
  FdCapture real(1);
  EXPECT_EQ(execute_code("gate.set()\nlate_thread.join()\nprint('joined')"), "joined\n");
  EXPECT_EQ(real.finish(), "late line\n");
}

TEST(ExecuteCode, NamesPersistAcrossCallsAndNestedCallsShareThem) {
  EXPECT_EQ(execute_code("x = 41"), "");
  EXPECT_EQ(execute_code("print(x + 1)"), "42\n");
  EXPECT_EQ(execute_code("inner = execute_code('z = x * 2\\nprint(z)')\nprint(repr(inner), z)"),
            "'82\\n' 82\n");
}

TEST(ExecuteCode, ErrorAfterPrintReachesTheCallerAndRestoresOutput) {
  FdCapture out(1);
  const std::string message = expect_python_error(
      [] { execute_code("bound_before = 1\nprint('lost')\nundefined_name"); }, "NameError");
  EXPECT_EQ(message, "name 'undefined_name' is not defined");
  std::cout << "host line" << std::endl;
  embedded_python::print_line("host line from the runtime");
  EXPECT_EQ(out.finish(), "host line\nhost line from the runtime\n");
  EXPECT_EQ(execute_code("print(bound_before)"), "1\n");
}

TEST(ExecuteCode, SyntaxErrorLeavesBeforeAnythingRuns) {
  const std::string message =
      expect_python_error([] { execute_code("ran_anyway = True\nprint('x')\nif"); }, "SyntaxError");
  EXPECT_EQ(message, "invalid syntax (<unknown>, line 3)");
  EXPECT_EQ(execute_code("print('ran_anyway' in globals())"), "False\n");
}

TEST(InstallModules, ErrorsBecomeOnePrintedLine) {
  if (!in_fresh_process()) return;
  // Before any initialisation python_executable is None.
  {
    FdCapture out(1);
    safe_install_modules({"pandas"});
    EXPECT_EQ(out.finish(),
              "An error occurred during installation: expected str, bytes or os.PathLike object, "
              "not NoneType\n");
  }
  EXPECT_EQ(expect_python_error([] { install_dependencies({"pandas"}); }, "TypeError"),
            "expected str, bytes or os.PathLike object, not NoneType");
  {
    // With no names there is no child to start, so no error either.
    FdCapture out(1);
    safe_install_modules({});
    EXPECT_EQ(out.finish(), "Installation successful.\n");
  }

  // A rebinding by code is what envtool uses from then on.
  execute_code("python_executable = '/nonexistent/bin/python'");
  EXPECT_EQ(python_executable(), "/nonexistent/bin/python");
  {
    FdCapture out(1);
    safe_install_modules({"first", "second"});
    EXPECT_EQ(out.finish(),
              "An error occurred during installation: [Errno 2] No such file or directory: "
              "'/nonexistent/bin/python'\n");
  }
  EXPECT_EQ(expect_python_error([] { install_dependencies({"x"}); }, "FileNotFoundError"),
            "[Errno 2] No such file or directory: '/nonexistent/bin/python'");
  // Called from code, the line is part of the captured output.
  EXPECT_EQ(execute_code("safe_install_modules(['x'])"),
            "An error occurred during installation: [Errno 2] No such file or directory: "
            "'/nonexistent/bin/python'\n");
}

TEST(InstallModules, OnePipChildPerNameInOrderWhateverItsStatus) {
  if (!in_fresh_process()) return;
  TempDir dir;
  const fs::path interpreter = recording_interpreter(dir.path());
  execute_code("python_executable = " + std::string("'") + interpreter.string() + "'");
  {
    FdCapture out(1);
    safe_install_modules({"first", "two words", "third"});
    EXPECT_EQ(out.finish(), "Installation successful.\n");
  }
  EXPECT_THAT(
      lines_of(read_file(dir.path() / "calls.log")),
      ElementsAre("-m|pip|install|first|", "-m|pip|install|two words|", "-m|pip|install|third|"));

  // Operations are live entries too: install_defaults calls whatever safe_install_modules is now.
  execute_code("def safe_install_modules(names):\n    print('replaced', names)");
  FdCapture out(1);
  install_defaults();
  EXPECT_EQ(out.finish(),
            "replaced ['matplotlib', 'scikit-learn', 'numpy', 'statsmodels', 'pandas', "
            "'scipy']\n");
}

TEST(InitializeEnvironment, ExistingEntryOnlySetsTheSettings) {
  if (!in_fresh_process()) return;
  TempDir dir;
  write_file(dir.path() / "plain-file", "not an environment\n");
  struct Case {
    std::string env_path;
    std::string python_executable;
  };
  const std::string base = dir.path().string();
  for (const Case& c : {Case{base, base + "/bin/python"}, Case{base + "/", base + "/bin/python"},
                        Case{base + "/plain-file", base + "/plain-file/bin/python"}}) {
    FdCapture out(1);
    initialize_environment(c.env_path);
    EXPECT_EQ(out.finish(), "") << c.env_path;
    EXPECT_EQ(env_path(), c.env_path);
    EXPECT_EQ(python_executable(), c.python_executable);
  }
  EXPECT_FALSE(fs::exists(dir.path() / "bin"));
  EXPECT_EQ(read_file(dir.path() / "plain-file"), "not an environment\n");
}

TEST(InitializeEnvironment, UnusablePathLeavesAsAnErrorAndKeepsTheInterpreterPath) {
  if (!in_fresh_process()) return;
  TempDir dir;
  write_file(dir.path() / "file", "");
  const std::string blocked = (dir.path() / "file" / "env").string();
  EXPECT_EQ(expect_python_error([&] { initialize_environment(blocked); }, "NotADirectoryError"),
            "[Errno 20] Not a directory: '" + blocked + "'");
  EXPECT_EQ(env_path(), blocked);
  EXPECT_EQ(python_executable(), std::nullopt);

  EXPECT_EQ(expect_python_error([] { execute_code("initialize_environment(None)"); }, "TypeError"),
            "stat: path should be string, bytes, os.PathLike or integer, not NoneType");
}

TEST(InitializeEnvironment, NewPathCreatesTheEnvironmentAndRunsSixPipChildrenInOrder) {
  if (!in_fresh_process()) return;
  // No index is reachable: each child reports its package as not found, in the order it ran.
  envtool_test::isolate_pip();
  TempDir dir;
  const fs::path env = dir.path() / "env";
  std::string out_text;
  std::string err_text;
  {
    FdCapture out(1);
    FdCapture err(2);
    initialize_environment(env.string());
    err_text = err.finish();
    out_text = out.finish();
  }
  EXPECT_EQ(python_executable(), (env / "bin" / "python").string());
  std::vector<std::string> not_found;
  for (const auto& line : lines_of(err_text)) {
    const std::string prefix = "ERROR: No matching distribution found for ";
    if (line.rfind(prefix, 0) == 0) not_found.push_back(line.substr(prefix.size()));
  }
  EXPECT_EQ(not_found, default_packages()) << err_text;
  const auto out_lines = lines_of(out_text);
  ASSERT_FALSE(out_lines.empty());
  EXPECT_EQ(out_lines.back(), "Installation successful.");
  EXPECT_EQ(std::count(out_lines.begin(), out_lines.end(), "Installation successful."), 1);
  EXPECT_THAT(out_text, Not(HasSubstr("An error occurred")));

  // A real environment: its own interpreter with pip, without the system's site packages.
  const std::string python = (env / "bin" / "python").string();
  EXPECT_EQ(run_program({python, "-m", "pip", "--version"}), 0);
  EXPECT_NE(run_program({python, "-c", "import pandas"}), 0);
}

TEST(InstallModules, LocalWheelInstallsAfterAFailedChild) {
  if (!in_fresh_process()) return;
  TempDir dir;
  const fs::path wheels = dir.path() / "wheels";
  ASSERT_TRUE(envtool_test::build_probe_wheel(dir.path(), wheels));
  // An environment made beforehand: initialisation installs nothing into it.
  const fs::path env = dir.path() / "env";
  ASSERT_EQ(run_program({"/usr/bin/python3", "-m", "venv", env.string()}), 0);
  envtool_test::isolate_pip(wheels.string());
  initialize_environment(env.string());

  std::string out_text;
  {
    FdCapture out(1);
    FdCapture err(2);
    safe_install_modules({"askdb-package-that-does-not-exist", "askdb_probe"});
    err.finish();
    out_text = out.finish();
  }
  EXPECT_EQ(lines_of(out_text).back(), "Installation successful.") << out_text;
  EXPECT_EQ(run_program({(env / "bin" / "python").string(), "-c",
                         "import askdb_probe, sys; sys.exit(askdb_probe.VALUE != 42)"}),
            0);
}

}  // namespace
}  // namespace envtool
