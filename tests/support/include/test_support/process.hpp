#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace test_support {

// The outcome of a child program.
struct ProcessResult {
  int exit_code = -1;  // the exit status, or 128 + signal number when a signal ended it
  std::string out;     // standard output
  std::string err;     // standard error
  bool timed_out = false;
};

struct ProcessOptions {
  // Variables set (or, with std::nullopt, removed) on top of this process's environment.
  std::map<std::string, std::optional<std::string>> env;
  // Start with an empty environment instead (then only `env` is set).
  bool clean_env = false;
  std::string working_directory;  // empty: this process's
  std::string stdin_text;         // written to the child's standard input, which is then closed
  // The child is killed (SIGKILL) after this long and timed_out set.
  std::chrono::milliseconds timeout = std::chrono::seconds(120);
};

// Runs argv[0] (looked up on PATH when it has no slash) with the arguments, no shell, and waits
// for it. Throws std::runtime_error when it cannot be started.
ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// A child started in the background: its output goes to files read by wait().
class BackgroundProcess {
 public:
  BackgroundProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});
  ~BackgroundProcess();  // kills the child if it still runs
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  int pid() const noexcept { return pid_; }
  void signal(int signal_number) const;
  // Waits for the end (killing it after `timeout`) and collects its output.
  ProcessResult wait(std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // What it has written to standard error / output so far.
  std::string err_so_far() const;
  std::string out_so_far() const;

 private:
  int pid_ = -1;
  std::string out_path_;
  std::string err_path_;
  bool reaped_ = false;
};

// A path under the system temp directory that does not exist yet, unique to this process.
std::string unique_temp_path(const std::string& stem);

}  // namespace test_support
