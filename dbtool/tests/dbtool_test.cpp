#include "test_support.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>

namespace dbtool_test {

std::optional<ServerParams> server_from_environment(const char* variable) {
  const char* value = std::getenv(variable);
  if (value == nullptr || *value == '\0') return std::nullopt;
  const std::string uri = value;
  const std::size_t scheme_end = uri.find("://");
  const std::size_t at = uri.rfind('@');
  if (scheme_end == std::string::npos || at == std::string::npos) {
    throw std::invalid_argument(std::string(variable) + " is not scheme://user:pw@host:port/db");
  }
  const std::string credentials = uri.substr(scheme_end + 3, at - scheme_end - 3);
  const std::string rest = uri.substr(at + 1);
  const std::size_t colon = credentials.find(':');
  const std::size_t slash = rest.find('/');
  const std::size_t port_colon = rest.rfind(':', slash);
  ServerParams params;
  params.user = credentials.substr(0, colon);
  params.password = colon == std::string::npos ? "" : credentials.substr(colon + 1);
  params.host = rest.substr(0, port_colon);
  params.port = std::stoll(rest.substr(port_colon + 1, slash - port_colon - 1));
  params.database = rest.substr(slash + 1);
  return params;
}

Listener::Listener(bool accept_silently) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd_, 16) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("cannot open a loopback listener");
  }
  port_ = ntohs(address.sin_port);
  if (accept_silently) {
    acceptor_ = std::thread([this] {
      while (!stop_) {
        pollfd wait{fd_, POLLIN, 0};
        if (poll(&wait, 1, 50) <= 0) continue;
        const int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) accepted_.push_back(client);
      }
    });
  }
}

Listener::~Listener() {
  stop_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  for (int client : accepted_) ::close(client);
  ::close(fd_);
}

bool Listener::has_pending_connection() const {
  pollfd wait{fd_, POLLIN, 0};
  return poll(&wait, 1, 0) > 0;
}

int closed_port() {
  Listener listener(false);
  return listener.port();
}

std::string unique_name(const std::string& prefix) {
  static std::atomic<int> counter{0};
  return prefix + "_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
}

std::string run_with_environment(const std::string& program, const std::vector<std::string>& env) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  std::vector<std::string> entries = env;
  std::vector<char*> envp;
  for (std::string& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string arg0 = program;
  char* argv[] = {arg0.data(), nullptr};
  pid_t pid = -1;
  const int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (error != 0) {
    ::close(out[0]);
    throw std::runtime_error("cannot start " + program);
  }
  std::string output;
  char buffer[4096];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0) output.append(buffer, n);
  ::close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error(program + " failed: " + output);
  }
  return output;
}

std::string captured_stdout(const std::function<void()>& fn) {
  testing::internal::CaptureStdout();
  try {
    fn();
  } catch (...) {
    testing::internal::GetCapturedStdout();
    throw;
  }
  return testing::internal::GetCapturedStdout();
}

}  // namespace dbtool_test
