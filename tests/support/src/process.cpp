#include "test_support/process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "test_support/environment.hpp"

extern char** environ;

namespace test_support {
namespace {

namespace fs = std::filesystem;

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> child_environment(const ProcessOptions& options) {
  std::map<std::string, std::string> vars;
  if (!options.clean_env) {
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      const auto eq = entry.find('=');
      if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
  }
  for (const auto& [name, value] : options.env) {
    if (value) {
      vars[name] = *value;
    } else {
      vars.erase(name);
    }
  }
  std::vector<std::string> out;
  for (const auto& [name, value] : vars) out.push_back(name + "=" + value);
  return out;
}

struct Spawned {
  int pid;
  std::string out_path;
  std::string err_path;
};

Spawned spawn(const std::vector<std::string>& argv, const ProcessOptions& options) {
  if (argv.empty()) throw std::invalid_argument("run_process: empty argv");
  Spawned s;
  s.out_path = unique_temp_path("proc-out");
  s.err_path = unique_temp_path("proc-err");
  const int out_fd = ::open(s.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int err_fd = ::open(s.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int in_pipe[2] = {-1, -1};
  if (out_fd < 0 || err_fd < 0 || ::pipe2(in_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("run_process: cannot set up the child's streams: ") +
                             std::strerror(errno));
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
  if (!options.working_directory.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, options.working_directory.c_str());
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // The child starts with default signal handling, whatever the test runner changed.
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigdefault(&attributes, &all);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const auto env_strings = child_environment(options);
  std::vector<char*> env;
  for (const auto& e : env_strings) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);

  const bool search = argv[0].find('/') == std::string::npos;
  const int rc = search
                     ? posix_spawnp(&s.pid, args[0], &actions, &attributes, args.data(), env.data())
                     : posix_spawn(&s.pid, args[0], &actions, &attributes, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(out_fd);
  ::close(err_fd);
  ::close(in_pipe[0]);
  if (rc != 0) {
    ::close(in_pipe[1]);
    throw std::runtime_error("run_process: cannot start " + argv[0] + ": " + std::strerror(rc));
  }
  const char* data = options.stdin_text.data();
  std::size_t left = options.stdin_text.size();
  while (left > 0) {
    const ssize_t n = ::write(in_pipe[1], data, left);
    if (n <= 0) break;
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  ::close(in_pipe[1]);
  return s;
}

// Waits for pid until the deadline; kills it past the deadline. Returns the exit code.
int wait_for(int pid, std::chrono::milliseconds timeout, bool& timed_out) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (true) {
    const int r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      timed_out = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

std::string unique_temp_path(const std::string& stem) {
  return (fs::temp_directory_path() / unique_name("askdb-" + stem + "-")).string();
}

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options) {
  const Spawned s = spawn(argv, options);
  ProcessResult result;
  result.exit_code = wait_for(s.pid, options.timeout, result.timed_out);
  result.out = read_all(s.out_path);
  result.err = read_all(s.err_path);
  fs::remove(s.out_path);
  fs::remove(s.err_path);
  return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv,
                                     const ProcessOptions& options) {
  const Spawned s = spawn(argv, options);
  pid_ = s.pid;
  out_path_ = s.out_path;
  err_path_ = s.err_path;
}

BackgroundProcess::~BackgroundProcess() {
  if (!reaped_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  std::error_code ec;
  fs::remove(out_path_, ec);
  fs::remove(err_path_, ec);
}

void BackgroundProcess::signal(int signal_number) const {
  if (!reaped_) ::kill(pid_, signal_number);
}

ProcessResult BackgroundProcess::wait(std::chrono::milliseconds timeout) {
  ProcessResult result;
  result.exit_code = wait_for(pid_, timeout, result.timed_out);
  reaped_ = true;
  result.out = read_all(out_path_);
  result.err = read_all(err_path_);
  return result;
}

std::string BackgroundProcess::err_so_far() const { return read_all(err_path_); }
std::string BackgroundProcess::out_so_far() const { return read_all(out_path_); }

}  // namespace test_support
