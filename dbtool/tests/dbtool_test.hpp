#pragma once

// Helpers of the dbtool tests: the test servers' parameters, loopback listeners, captured
// standard output. Child processes, unique names and the server variables are test_support's.

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "test_support/environment.hpp"

namespace dbtool_test {

using ServerParams = test_support::ServerAddress;

inline constexpr const char* kPostgresVariable = test_support::kPostgresUriVariable;
inline constexpr const char* kMysqlVariable = test_support::kMysqlUriVariable;

// Declares `params`, the server of `variable`, or skips the test saying how to start the servers.
#define DBTOOL_REQUIRE_SERVER(variable, params)                       \
  std::optional<::dbtool_test::ServerParams> params##_optional =      \
      ::test_support::server_from_environment(variable);              \
  if (!params##_optional) {                                           \
    GTEST_SKIP() << ::test_support::missing_server_message(variable); \
  }                                                                   \
  const ::dbtool_test::ServerParams params = *params##_optional

// A TCP listener on 127.0.0.1 with an ephemeral port. With accept_silently it accepts every
// connection on a thread and then never sends a byte; the accepted sockets are closed when the
// listener is destroyed.
class Listener {
 public:
  explicit Listener(bool accept_silently);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  int port() const { return port_; }
  // Whether a connection waits in the backlog (only meaningful without accept_silently).
  bool has_pending_connection() const;

 private:
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  std::vector<int> accepted_;
};

// A loopback port on which nothing listens (bound once, then released).
int closed_port();

// Standard output written while fn runs.
std::string captured_stdout(const std::function<void()>& fn);

}  // namespace dbtool_test
