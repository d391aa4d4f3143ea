#include "answer_graph/run_trace.hpp"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace answer_graph {
namespace {

double seconds_of(std::chrono::nanoseconds d) { return std::chrono::duration<double>(d).count(); }

// Trace figures are for people: microsecond precision is plenty and keeps the file readable.
double rounded(double seconds) { return static_cast<double>(std::llround(seconds * 1e6)) / 1e6; }

}  // namespace

RunTrace::RunTrace() : started_(std::chrono::steady_clock::now()) {}

double RunTrace::since_start() const {
  return seconds_of(std::chrono::steady_clock::now() - started_);
}

void RunTrace::on_node_start(int step, const std::string& node) {
  std::lock_guard lock(mutex_);
  running_.emplace_back(step, node);
}

void RunTrace::on_node_end(int step, const std::string& node, std::chrono::nanoseconds elapsed,
                           const state_graph::Update& update) {
  NodeRecord record;
  record.step = step;
  record.node = node;
  record.seconds = seconds_of(elapsed);
  record.start = since_start() - record.seconds;
  for (const auto& [field, value] : update.values.items()) record.fields.push_back(field);
  for (const auto& [field, value] : update.overwrites.items()) record.fields.push_back(field);
  std::lock_guard lock(mutex_);
  auto it = std::find(running_.begin(), running_.end(), std::make_pair(step, node));
  if (it != running_.end()) running_.erase(it);
  nodes_.push_back(std::move(record));
}

void RunTrace::on_step_end(int step, const state_graph::State&) {
  std::lock_guard lock(mutex_);
  steps_ = std::max(steps_, step);
}

void RunTrace::on_model_call(const std::string& client, const std::string& node,
                             const chat_model::CallEvent& call) {
  ModelCallRecord record;
  record.client = client;
  record.node = node;
  record.seconds = seconds_of(call.elapsed);
  record.start = since_start() - record.seconds;
  record.usage = call.usage;
  record.attempts = call.attempts;
  record.ok = call.ok;
  record.error = call.error;
  std::lock_guard lock(mutex_);
  calls_.push_back(std::move(record));
}

std::vector<RunTrace::NodeRecord> RunTrace::nodes() const {
  std::lock_guard lock(mutex_);
  return nodes_;
}

std::vector<RunTrace::ModelCallRecord> RunTrace::model_calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<std::string> RunTrace::running() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  for (const auto& [step, node] : running_) names.push_back(node);
  return names;
}

int RunTrace::steps() const {
  std::lock_guard lock(mutex_);
  return steps_;
}

state_graph::Value RunTrace::to_json() const {
  using state_graph::Value;
  std::lock_guard lock(mutex_);
  Value nodes = Value::array();
  for (const auto& n : nodes_) {
    nodes.push_back(Value{{"step", n.step},
                          {"node", n.node},
                          {"start", rounded(n.start)},
                          {"seconds", rounded(n.seconds)},
                          {"fields", n.fields}});
  }
  Value calls = Value::array();
  double model_seconds = 0;
  chat_model::TokenUsage tokens;
  int retries = 0;
  for (const auto& c : calls_) {
    Value call{{"client", c.client},
               {"node", c.node},
               {"start", rounded(c.start)},
               {"seconds", rounded(c.seconds)},
               {"prompt_tokens", c.usage.prompt_tokens},
               {"completion_tokens", c.usage.completion_tokens},
               {"cached_tokens", c.usage.cached_tokens},
               {"retries", std::max(0, c.attempts - 1)},
               {"ok", c.ok}};
    if (!c.ok) call["error"] = c.error;
    calls.push_back(std::move(call));
    model_seconds += c.seconds;
    tokens.prompt_tokens += c.usage.prompt_tokens;
    tokens.completion_tokens += c.usage.completion_tokens;
    tokens.cached_tokens += c.usage.cached_tokens;
    retries += std::max(0, c.attempts - 1);
  }
  Value totals{{"seconds", rounded(since_start())},
               {"steps", steps_},
               {"node_runs", nodes_.size()},
               {"model_calls", calls_.size()},
               {"model_seconds", rounded(model_seconds)},
               {"prompt_tokens", tokens.prompt_tokens},
               {"completion_tokens", tokens.completion_tokens},
               {"cached_tokens", tokens.cached_tokens},
               {"retries", retries}};
  return Value{{"nodes", nodes}, {"model_calls", calls}, {"totals", totals}};
}

}  // namespace answer_graph
