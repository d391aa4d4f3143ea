#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "answer_graph/run_trace.hpp"
#include "state_graph/graph.hpp"

namespace askdb_cli {

// The observer of one `askdb ask` run: feeds the trace and shows progress on standard error.
// On a terminal, a live status line names the node running and the seconds so far, and each
// finished node leaves one line; otherwise plain lines only. Colour only on a terminal and
// without NO_COLOR. Quiet: the trace alone.
class Progress : public state_graph::RunObserver, public answer_graph::ModelCallListener {
 public:
  Progress(answer_graph::RunTrace& trace, bool quiet);
  ~Progress() override;
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void on_node_start(int step, const std::string& node) override;
  void on_node_end(int step, const std::string& node, std::chrono::nanoseconds elapsed,
                   const state_graph::Update& update) override;
  void on_step_end(int step, const state_graph::State& state) override;
  void on_model_call(const std::string& client, const std::string& node,
                     const chat_model::CallEvent& call) override;

  // Clears the live line (before the answer or an error is printed).
  void finish();

 private:
  void draw_status_locked();
  void ticker();

  answer_graph::RunTrace& trace_;
  bool quiet_;
  bool live_;
  bool colour_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  bool status_shown_ = false;
  struct Running {
    std::string node;
    std::chrono::steady_clock::time_point since;
  };
  std::vector<Running> running_;
  std::chrono::steady_clock::time_point started_;
  std::thread ticker_;
};

}  // namespace askdb_cli
