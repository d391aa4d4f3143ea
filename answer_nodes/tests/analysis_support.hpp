#pragma once

// Small fixtures shared by the analysis-path tests.

#include <cstdlib>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "answer_graph/sql_state.hpp"
#include "chat_model/client.hpp"
#include "logging/logging.hpp"
#include "state_graph/state.hpp"
#include "test_support/fake_chat_server.hpp"

namespace answer_nodes::testing_support {

using state_graph::State;
using state_graph::Value;

// An answer record holding the given values.
inline State state_with(const Value& values) {
  State s = answer_graph::SQLState::make();
  s.merge(values);
  return s;
}

// A client of the fake server. Loopback requests never go through a proxy the machine may set.
inline chat_model::AzureChatOpenAI model_of(const test_support::FakeChatServer& server) {
  setenv("NO_PROXY", "127.0.0.1,localhost", 1);
  setenv("no_proxy", "127.0.0.1,localhost", 1);
  return chat_model::AzureChatOpenAI(
      server.azure_settings(),
      Value{{"max_tokens", 256}, {"temperature", 0}, {"model_kwargs", Value{{"top_p", 0.95}}}});
}

// Collects the logger's lines while alive; the logger goes back to standard error afterwards.
class LogLines {
 public:
  LogLines() {
    logging::to_callback([this](logging::Level, std::string_view message) {
      std::lock_guard lock(mutex_);
      lines_.emplace_back(message);
    });
  }
  ~LogLines() { logging::to_stderr(); }
  LogLines(const LogLines&) = delete;
  LogLines& operator=(const LogLines&) = delete;

  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace answer_nodes::testing_support
