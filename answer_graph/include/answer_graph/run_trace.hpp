#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "answer_graph/export.hpp"
#include "chat_model/client.hpp"
#include "state_graph/graph.hpp"
#include "state_graph/value.hpp"

namespace answer_graph {

// A run observer that also wants the model calls of its run implements this: AnswerGraph hooks
// every client it owns, and hands each call to the observer of the run whose node made it, named
// by the client ("sql_generation_model", ...) and the node.
class ANSWER_GRAPH_EXPORT ModelCallListener {
 public:
  virtual ~ModelCallListener() = default;
  virtual void on_model_call(const std::string& client, const std::string& node,
                             const chat_model::CallEvent& call) = 0;
};

// A run observer that records what one run did: per node its step, when it started (seconds
// from the start of the run), how long it took and the fields its update wrote; per model call
// the node it was made in, its seconds, tokens and retries; and totals. Hand it to
// AnswerGraph::invoke; read to_json() afterwards (or while the run goes on, from another thread).
//
// One RunTrace per run. Thread-safe: the engine and the model clients may report from several
// threads.
class ANSWER_GRAPH_EXPORT RunTrace : public state_graph::RunObserver, public ModelCallListener {
 public:
  struct NodeRecord {
    int step = 0;
    std::string node;
    double start = 0;                 // seconds from the run's start
    double seconds = 0;               // how long the node took
    std::vector<std::string> fields;  // fields its update wrote, in the update's order
  };
  struct ModelCallRecord {
    std::string client;
    std::string node;
    double start = 0;
    double seconds = 0;
    chat_model::TokenUsage usage;
    int attempts = 0;  // HTTP requests, retries included
    bool ok = true;
    std::string error;
  };

  RunTrace();

  void on_node_start(int step, const std::string& node) override;
  void on_node_end(int step, const std::string& node, std::chrono::nanoseconds elapsed,
                   const state_graph::Update& update) override;
  void on_step_end(int step, const state_graph::State& state) override;
  void on_model_call(const std::string& client, const std::string& node,
                     const chat_model::CallEvent& call) override;

  std::vector<NodeRecord> nodes() const;
  std::vector<ModelCallRecord> model_calls() const;
  // Nodes started but not yet ended (the one a failure happened in, after a failed run).
  std::vector<std::string> running() const;
  int steps() const;

  // {"nodes": [...], "model_calls": [...], "totals": {seconds, steps, node_runs, model_calls,
  //  model_seconds, prompt_tokens, completion_tokens, cached_tokens, retries}}
  state_graph::Value to_json() const;

 private:
  double since_start() const;

  mutable std::mutex mutex_;
  std::chrono::steady_clock::time_point started_;
  std::vector<NodeRecord> nodes_;
  std::vector<ModelCallRecord> calls_;
  std::vector<std::pair<int, std::string>> running_;
  int steps_ = 0;
};

}  // namespace answer_graph
