#include "dbtool_test.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace dbtool_test {

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
