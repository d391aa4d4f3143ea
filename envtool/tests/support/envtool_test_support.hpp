#pragma once

// Helpers of the envtool and master tests: descriptor-level output capture, fresh processes for
// cases that need the process-wide settings untouched, temporary directories, child programs and
// a locally built wheel (no package index is reachable from the test machines). Child programs
// run through test_support::run_process.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "embedded_python/embedded_python.hpp"
#include "test_support/process.hpp"

namespace envtool_test {

namespace fs = std::filesystem;

// Everything written to one descriptor (1 or 2) while alive: by C++, C stdio, the runtime's real
// stream and child processes that share it.
class FdCapture {
 public:
  explicit FdCapture(int fd) : fd_(fd) {
    flush_all();
    file_ = std::tmpfile();
    saved_ = dup(fd_);
    dup2(fileno(file_), fd_);
  }
  ~FdCapture() {
    if (saved_ >= 0) finish();
  }
  FdCapture(const FdCapture&) = delete;
  FdCapture& operator=(const FdCapture&) = delete;

  std::string finish() {
    flush_all();
    dup2(saved_, fd_);
    close(saved_);
    saved_ = -1;
    std::rewind(file_);
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;) {
      text.append(buffer, n);
    }
    std::fclose(file_);
    return text;
  }

 private:
  static void flush_all() {
    embedded_python::flush_output();
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
  }
  int fd_;
  std::FILE* file_ = nullptr;
  int saved_ = -1;
};

inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Runs argv (no shell) and returns its exit status (128 + the signal number when a signal ended
// it). What the program wrote is then written to this process's standard output and error.
inline int run_program(const std::vector<std::string>& argv) {
  test_support::ProcessOptions options;
  options.timeout = std::chrono::minutes(10);
  const test_support::ProcessResult result = test_support::run_process(argv, options);
  std::cout << result.out << std::flush;
  std::cerr << result.err << std::flush;
  return result.exit_code;
}

// The settings of envtool are process-wide and start empty only once per process. A test that
// needs them untouched starts with `if (!in_fresh_process()) return;`: in the first process this
// re-runs the same test alone in a new process of this binary, reports its outcome and returns
// false; in that new process it returns true and the test body runs.
inline bool in_fresh_process() {
  constexpr const char* kMarker = "ASKDB_ENVTOOL_FRESH_TEST";
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string test = std::string(info->test_suite_name()) + "." + info->name();
  if (const char* running = std::getenv(kMarker); running != nullptr && test == running) {
    return true;
  }
  setenv(kMarker, test.c_str(), 1);
  const int status = run_program({"/proc/self/exe", "--gtest_filter=" + test});
  unsetenv(kMarker);
  EXPECT_EQ(status, 0) << test << " failed in its own process (output above)";
  return false;
}

// A temporary directory removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "askdb-envtool-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

inline void write_file(const fs::path& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
}

inline std::string read_file(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// pip reads nothing of the machine's configuration and never looks for an index; a wheel
// directory may be offered as the only source.
inline void isolate_pip(const std::string& find_links = {}) {
  setenv("PIP_NO_INDEX", "1", 1);
  setenv("PIP_CONFIG_FILE", "/dev/null", 1);
  setenv("PIP_DISABLE_PIP_VERSION_CHECK", "1", 1);
  setenv("PIP_NO_CACHE_DIR", "1", 1);
  if (find_links.empty()) {
    unsetenv("PIP_FIND_LINKS");
  } else {
    setenv("PIP_FIND_LINKS", find_links.c_str(), 1);
  }
}

// Builds the wheel of a one-module package "askdb_probe" (askdb_probe.VALUE == 42) into
// wheel_dir with Debian's pip, setuptools and wheel; returns whether that worked.
inline bool build_probe_wheel(const fs::path& work_dir, const fs::path& wheel_dir) {
  const fs::path package = work_dir / "askdb_probe_src";
  fs::create_directories(package);
  write_file(package / "setup.py",
             "from setuptools import setup\n"
             "setup(name='askdb_probe', version='1.0', py_modules=['askdb_probe'])\n");
  write_file(package / "askdb_probe.py", "VALUE = 42\n");
  isolate_pip();
  return run_program({"/usr/bin/python3", "-m", "pip", "wheel", "--quiet", "--no-build-isolation",
                      "--no-deps", package.string(), "-w", wheel_dir.string()}) == 0;
}

}  // namespace envtool_test
