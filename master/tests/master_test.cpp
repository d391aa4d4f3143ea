#include "master/master.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <type_traits>
#include <vector>

#include "envtool_test_support.hpp"

namespace master {
namespace {

using envtool_test::FdCapture;
using envtool_test::in_fresh_process;
using envtool_test::lines_of;
using envtool_test::read_file;
using envtool_test::TempDir;
using envtool_test::write_file;
using ::testing::ElementsAre;
namespace fs = std::filesystem;

std::string printed(const std::function<void()>& call) {
  FdCapture out(1);
  call();
  return out.finish();
}

TEST(Master, OffersEnvtoolsOperationsThemselves) {
  EXPECT_EQ(&master::initialize_environment, &envtool::initialize_environment);
  EXPECT_EQ(&master::ensure_virtual_environment, &envtool::ensure_virtual_environment);
  EXPECT_EQ(&master::install_defaults, &envtool::install_defaults);
  EXPECT_EQ(&master::install_dependencies, &envtool::install_dependencies);
  EXPECT_EQ(&master::execute_code, &envtool::execute_code);
  EXPECT_NE(&master::safe_install_modules, &envtool::safe_install_modules);
  EXPECT_EQ(master::execute_code("print(6 * 7)"), "42\n");
}

TEST(Master, SafeInstallModulesBeforeInitialisationAndWithAnEmptyList) {
  if (!in_fresh_process()) return;
  EXPECT_EQ(printed([] { master::safe_install_modules({"pandas"}); }),
            "An error occurred during installation: expected str, bytes or os.PathLike object, "
            "not NoneType\n");
  EXPECT_EQ(printed([] { master::safe_install_modules({}); }), "Installation successful.\n");
}

TEST(Master, SafeInstallModulesHandsEveryNameToPipAndReportsErrorsAsLines) {
  if (!in_fresh_process()) return;
  TempDir dir;
  const fs::path log = dir.path() / "calls.log";
  const fs::path script = dir.path() / "recording-python";
  write_file(script, "#!/bin/sh\necho \"$*\" >> '" + log.string() + "'\nexit 1\n");
  fs::permissions(script, fs::perms::owner_all);
  master::execute_code("python_executable = '" + script.string() + "'");
  EXPECT_EQ(printed([] {
              master::safe_install_modules({"alpha", "beta"});
            }),
            "Installation successful.\n");
  EXPECT_THAT(lines_of(read_file(log)), ElementsAre("-m pip install alpha", "-m pip install beta"));

  // master's entry point goes through envtool's install_dependencies as currently bound.
  struct Case {
    const char* replacement;
    const char* line;
  };
  for (const Case& c :
       {Case{"def install_dependencies(names):\n    raise ValueError()",
             "An error occurred during installation: \n"},
        Case{"def install_dependencies(names):\n    raise OSError(13, 'Permission denied')",
             "An error occurred during installation: [Errno 13] Permission denied\n"}}) {
    master::execute_code(c.replacement);
    EXPECT_EQ(printed([] { master::safe_install_modules({"x"}); }), c.line);
  }
  // Not an ordinary error: it is not turned into a line.
  master::execute_code("def install_dependencies(names):\n    raise SystemExit(2)");
  try {
    master::safe_install_modules({"x"});
    FAIL() << "SystemExit was swallowed";
  } catch (const PythonError& error) {
    EXPECT_EQ(error.type_name(), "SystemExit");
    EXPECT_FALSE(error.ordinary());
  }
}

TEST(Master, InitializeEnvOnAnExistingDirectoryPrintsNothing) {
  if (!in_fresh_process()) return;
  TempDir dir;
  EXPECT_EQ(printed([&] { master::initialize_env(dir.path().string()); }), "");
  EXPECT_EQ(envtool::env_path(), dir.path().string());
  EXPECT_EQ(envtool::python_executable(), (dir.path() / "bin" / "python").string());
}

TEST(Master, InitializeEnvWhereTheDirectoryCannotBeCreatedPrintsOneLine) {
  if (!in_fresh_process()) return;
  TempDir dir;
  write_file(dir.path() / "file", "");
  const std::string blocked = (dir.path() / "file" / "env").string();
  EXPECT_EQ(
      printed([&] { master::initialize_env(blocked); }),
      "An error occurred during initilization: [Errno 20] Not a directory: '" + blocked + "'\n");
  // State reached before the error stays.
  EXPECT_EQ(envtool::env_path(), blocked);
  EXPECT_EQ(envtool::python_executable(), std::nullopt);
}

TEST(Master, InitializeEnvOnANewPathCreatesTheEnvironmentAndInstallsTheDefaults) {
  if (!in_fresh_process()) return;
  envtool_test::isolate_pip();
  TempDir dir;
  const fs::path env = dir.path() / "env";
  std::string out_text;
  std::string err_text;
  {
    FdCapture out(1);
    FdCapture err(2);
    master::initialize_env(env.string());
    err_text = err.finish();
    out_text = out.finish();
  }
  // Besides pip's own output, the only line is envtool's success line.
  const auto lines = lines_of(out_text);
  ASSERT_FALSE(lines.empty()) << err_text;
  EXPECT_EQ(lines.back(), "Installation successful.");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Installation successful."), 1);
  for (const auto& line : lines) EXPECT_EQ(line.find("An error occurred"), std::string::npos);
  std::vector<std::string> not_found;
  for (const auto& line : lines_of(err_text)) {
    const std::string prefix = "ERROR: No matching distribution found for ";
    if (line.rfind(prefix, 0) == 0) not_found.push_back(line.substr(prefix.size()));
  }
  EXPECT_EQ(not_found, envtool::default_packages());
  EXPECT_TRUE(fs::exists(env / "bin" / "python"));
}

}  // namespace
}  // namespace master
